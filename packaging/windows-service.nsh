; The service's registration, used by the installer made in windows-installer.cmake.

; `net stop` waits until the service has stopped, so that its executable is free to be replaced
; or removed. A service that is not installed or not running only makes it fail: ignored.
!macro PlotspoolStopService
  ExecWait '"$SYSDIR\net.exe" stop plotspool'
!macroend

; The program's path is registered in quotes: unquoted, a path with blanks lets the system try
; "C:\Program.exe" first.
!macro PlotspoolRegisterService
  ExecWait '"$SYSDIR\sc.exe" create plotspool binPath= "\"$INSTDIR\plotspool.exe\"" start= auto DisplayName= plotspool'
  ExecWait '"$SYSDIR\sc.exe" description plotspool "Prints, files and hands on the plots dropped into the transfer folders"'
  ExecWait '"$SYSDIR\net.exe" start plotspool'
!macroend

!macro PlotspoolRemoveService
  !insertmacro PlotspoolStopService
  ExecWait '"$SYSDIR\sc.exe" delete plotspool'
!macroend
