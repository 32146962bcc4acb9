# The Windows build (cross-built with cmake/mingw-w64-x86_64.cmake by scripts/build-windows.sh).
# Until src/platform/ has a Windows implementation only the layer below it builds: plotspool_base
# and its tests, and the check of the settings-file table against the Windows functions. The
# service, the tools and the other tests need the platform layer and are left out.
message(NOTICE "plotspool: src/platform/ has no Windows implementation yet; building plotspool_base"
               ", its tests and the settings-file check only (no service, tools or other tests)")

# Built by scripts/build-windows.sh for the platform layer to come; found here so that a broken
# dependency build shows now rather than then.
find_package(TIFF REQUIRED)
find_package(libzip CONFIG REQUIRED)
message(STATUS "plotspool: Windows libtiff ${TIFF_LIBRARIES}, libzip ${libzip_DIR}")

file(GLOB PLOTSPOOL_BASE_SOURCES CONFIGURE_DEPENDS src/base/*.cc)
add_library(plotspool_base STATIC ${PLOTSPOOL_BASE_SOURCES})
target_include_directories(plotspool_base PUBLIC src)

# GoogleTest from Debian's source package, compiled with the cross compiler.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

enable_testing()
include(GoogleTest)
add_executable(plotspool_base_tests tests/convert_test.cc tests/path_strings_test.cc)
target_link_libraries(plotspool_base_tests PRIVATE plotspool_base GTest::gtest_main)
# Listed when ctest runs rather than after the link, so that building needs no Wine.
gtest_discover_tests(plotspool_base_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)

# The table the Linux INI module is tested against, read back through GetPrivateProfileStringA.
add_executable(ini_profile_probe tests/windows/ini_profile_probe.cc)
target_include_directories(ini_profile_probe PRIVATE tests)
add_test(NAME IniProfileTable COMMAND ini_profile_probe)
