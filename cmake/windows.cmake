# The Windows build's dependencies (cross-built with cmake/mingw-w64-x86_64.cmake by
# scripts/build-windows.sh, which builds static libjpeg, libtiff and libzip into
# PLOTSPOOL_WINDOWS_DEPS).
# Everything is linked statically: a program that needs a DLL Wine cannot find exits silently.
find_package(TIFF REQUIRED)
find_package(JPEG REQUIRED)
# A static libtiff does not name the libraries it needs; they must follow it on every link line.
set_property(TARGET TIFF::TIFF APPEND PROPERTY INTERFACE_LINK_LIBRARIES JPEG::JPEG ZLIB::ZLIB)
find_package(libzip CONFIG REQUIRED)
find_package(ZLIB REQUIRED)
message(STATUS "plotspool: Windows libtiff ${TIFF_LIBRARIES}, libzip ${libzip_DIR}")

add_library(plotspool_system INTERFACE)
target_link_libraries(plotspool_system INTERFACE TIFF::TIFF libzip::zip ZLIB::ZLIB
                                                 winspool gdi32 user32 advapi32 shell32)
target_link_options(plotspool_system INTERFACE -static)

# GoogleTest from Debian's source package, compiled with the cross compiler.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The table the Linux INI module is tested against, read back through GetPrivateProfileStringA.
add_executable(ini_profile_probe tests/windows/ini_profile_probe.cc)
target_include_directories(ini_profile_probe PRIVATE tests)
target_link_options(ini_profile_probe PRIVATE -static)

# A stand-in service that sets up the close request and the service host as the service does, so
# that both are tested without the rest of the service (tests/close_request_win32_test.cc).
add_executable(close_request_probe tests/windows/close_request_probe.cc)
target_link_libraries(close_request_probe PRIVATE plotspool_core)
target_link_options(close_request_probe PRIVATE -static)

# Prints through the GDI printer by hand, for looking at what a queue receives.
add_executable(printer_probe tests/windows/printer_probe.cc)
target_link_libraries(printer_probe PRIVATE plotspool_core)
