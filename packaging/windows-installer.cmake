# The Windows installer, made by CPack's NSIS generator (`cpack -G NSIS` in build-windows/, or
# scripts/build-windows.sh with BUILD_INSTALLER=1).
#
# The service derives its settings file and log from its own path, so it lives in a folder of its
# own below Program Files with plotspool.ini and plotspool.log beside it. The installer registers
# it with the service control manager (started at boot) and starts it; the uninstaller stops and
# removes the service and the files it installed. The settings file and the log were written by
# the service, not installed, so they stay, and so does the folder holding them.

install(TARGETS plotspool RUNTIME DESTINATION .)
install(TARGETS plotspool-sample RUNTIME DESTINATION bin)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/operations.md
        DESTINATION doc)

set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_NAME plotspool)
set(CPACK_PACKAGE_VENDOR plotspool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unattended hot-folder plot spooler")
set(CPACK_PACKAGE_INSTALL_DIRECTORY plotspool)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY plotspool)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_DISPLAY_NAME plotspool)
set(CPACK_NSIS_PACKAGE_NAME plotspool)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_LIST_DIR}/windows-notice.txt)
set(CPACK_STRIP_FILES ON)

# The commands live in windows-service.nsh: NSIS quoting does not survive CPack's variables.
set(CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS
    "!include ${CMAKE_CURRENT_LIST_DIR}/windows-service.nsh\n!insertmacro PlotspoolStopService")
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "!insertmacro PlotspoolRegisterService")
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "!insertmacro PlotspoolRemoveService")

include(CPack)
