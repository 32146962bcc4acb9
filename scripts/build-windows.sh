#!/usr/bin/env bash
# Cross-builds plotspool for 64-bit Windows into build-windows/ (or $BUILD_DIR) with mingw-w64.
# Installs the cross tools and Wine when they are missing (as root, like install-deps.sh) and
# builds static libjpeg, libtiff and libzip for Windows from Debian's own source packages once,
# into <build dir>/deps/; delete that folder to rebuild them. Extra arguments go to cmake's configure
# step; $BUILD_TARGETS (blank-separated) limits the build to those targets.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build_dir=$(realpath -m "${BUILD_DIR:-build-windows}")
deps_dir=$build_dir/deps
triplet=x86_64-w64-mingw32
mingw_root=/usr/$triplet
toolchain=$source_dir/cmake/mingw-w64-x86_64.cmake
jobs=$(nproc)

install_missing() {
  # nsis makes the installer; wine32 runs it (the installer itself is a 32-bit program).
  local packages=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 wine32:i386 nsis
    dpkg-dev cmake make)
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "build-windows: missing ${missing[*]}; run this script as root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# `apt-get source` needs the source lists; they are added beside the binary ones when absent.
enable_source_lists() {
  if grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return 0
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "build-windows: no deb-src entries for apt-get source; run this script as root" >&2
    exit 1
  fi
  local list=/etc/apt/sources.list.d/debian.sources
  if [ -f "$list" ]; then
    sed 's/^Types: deb$/Types: deb-src/' "$list" >/etc/apt/sources.list.d/plotspool-src.sources
  else
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/plotspool-src.list
  fi
  apt-get update -qq
}

# Unpacks Debian's source of package $1 below deps/src and prints the unpacked folder.
debian_source() {
  local package=$1 folder
  mkdir -p "$deps_dir/src"
  folder=$(find "$deps_dir/src" -maxdepth 1 -type d -name "$package-*" | head -n 1)
  if [ -z "$folder" ]; then
    # A security update's source can lag behind its index on a mirror; the release's stays.
    local release
    release=$(. /etc/os-release && echo "$VERSION_CODENAME")
    (cd "$deps_dir/src" && { apt-get source -qq "$package" || apt-get source -qq "$package/$release"; } \
      >/dev/null 2>&1)
    folder=$(find "$deps_dir/src" -maxdepth 1 -type d -name "$package-*" | head -n 1)
  fi
  [ -n "$folder" ] || { echo "build-windows: apt-get source $package failed" >&2; exit 1; }
  echo "$folder"
}

# Configures, builds and installs the CMake project in $1 into deps/, static, with mingw's zlib.
build_dependency() {
  local source=$1 name log
  name=$(basename "$source")
  log=$deps_dir/build/$name.log
  shift
  mkdir -p "$deps_dir/build"
  # Their own warnings are not ours to read: the log is shown only when the build fails.
  if ! {
    cmake -S "$source" -B "$deps_dir/build/$name" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps_dir" -DBUILD_SHARED_LIBS=OFF \
      -DZLIB_INCLUDE_DIR="$mingw_root/include" -DZLIB_LIBRARY="$mingw_root/lib/libz.a" "$@" &&
      cmake --build "$deps_dir/build/$name" -j "$jobs" &&
      cmake --install "$deps_dir/build/$name"
  } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "build-windows: building $name failed; see $log" >&2
    exit 1
  fi
}

build_dependencies() {
  local source
  if [ ! -f "$deps_dir/lib/libjpeg.a" ]; then
    enable_source_lists
    echo "build-windows: building libjpeg for Windows into $deps_dir"
    source=$(debian_source libjpeg-turbo)
    # Without SIMD no assembler is needed; JPEG only decodes the rare JPEG-compressed plot.
    build_dependency "$source" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
      -DWITH_SIMD=OFF -DREQUIRE_SIMD=OFF
  fi
  # A libtiff of an earlier deps folder, built without JPEG, is built again.
  if [ ! -f "$deps_dir/lib/libtiff.a" ] ||
    ! grep -q '^#define OJPEG_SUPPORT' "$deps_dir/include/tiffconf.h"; then
    enable_source_lists
    echo "build-windows: building libtiff for Windows into $deps_dir"
    source=$(debian_source tiff)
    rm -rf "$deps_dir/build/$(basename "$source")"
    build_dependency "$source" -Dtiff-tools=OFF -Dtiff-tests=OFF \
      -Dtiff-contrib=OFF -Dtiff-docs=OFF -Dcxx=OFF -Dzlib=ON -Djpeg=ON -Dold-jpeg=ON \
      -DJPEG_INCLUDE_DIR="$deps_dir/include" -DJPEG_LIBRARY="$deps_dir/lib/libjpeg.a" \
      -Djbig=OFF -Dlerc=OFF -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF -Dlibdeflate=OFF
  fi
  if [ ! -f "$deps_dir/lib/libzip.a" ]; then
    enable_source_lists
    echo "build-windows: building libzip for Windows into $deps_dir"
    source=$(debian_source libzip)
    build_dependency "$source" -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF \
      -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF \
      -DENABLE_ZSTD=OFF -DENABLE_GNUTLS=OFF -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF \
      -DENABLE_COMMONCRYPTO=OFF -DENABLE_WINDOWS_CRYPTO=ON
  fi
}

install_missing
build_dependencies
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DPLOTSPOOL_WINDOWS_DEPS="$deps_dir" -DPLOTSPOOL_BENCH=OFF "$@" >/dev/null
targets=()
for target in ${BUILD_TARGETS:-}; do targets+=(--target "$target"); done
cmake --build "$build_dir" -j "$jobs" "${targets[@]}"
