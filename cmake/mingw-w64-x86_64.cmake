# Cross-builds for 64-bit Windows with Debian's mingw-w64 (POSIX thread model, which std::thread
# and std::mutex need). Programs link statically: a Wine prefix has no mingw runtime DLLs, and a
# program missing one exits silently with 53 instead of running.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PLOTSPOOL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PLOTSPOOL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PLOTSPOOL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PLOTSPOOL_MINGW_TRIPLET}-windres)

# Headers and libraries come from the mingw sysroot and from the dependencies built for it
# (CMAKE_PREFIX_PATH); programs such as pkg-config stay the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${PLOTSPOOL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# ctest runs the cross-built tests through Wine. scripts/test-windows.sh prepares the prefix.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(PLOTSPOOL_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
  find_program(PLOTSPOOL_WINE NAMES wine64 wine)
  if(PLOTSPOOL_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PLOTSPOOL_WINE})
  endif()
endif()

# The static libtiff and libzip that scripts/build-windows.sh builds for Windows.
if(PLOTSPOOL_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${PLOTSPOOL_WINDOWS_DEPS})
endif()
