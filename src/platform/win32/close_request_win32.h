// The close request's Win32 side, shared inside the Win32 back end: the event a wait can include
// in WaitForMultipleObjects, and the hidden window that stands for the service in the session.
#ifndef PLOTSPOOL_PLATFORM_WIN32_CLOSE_REQUEST_WIN32_H_
#define PLOTSPOOL_PLATFORM_WIN32_CLOSE_REQUEST_WIN32_H_

#include <windows.h>

namespace plotspool::platform {

// The window class of the hidden top-level window InstallCloseRequestSignals creates. A WM_CLOSE
// posted to it (found by this class and the process id) asks that process to stop, as the
// session does with WM_ENDSESSION at log-off and shutdown.
inline constexpr char kCloseRequestWindowClass[] = "PlotspoolCloseRequestWindow";

// A manual-reset event, signalled once a close request has arrived and never reset.
HANDLE CloseRequestEvent();

// Under the service control manager a user's log-off is no reason to stop.
void IgnoreLogoffForService();

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_WIN32_CLOSE_REQUEST_WIN32_H_
