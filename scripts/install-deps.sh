#!/usr/bin/env bash
# Installs the Debian packages that building and testing need. Safe to run again: apt-get runs
# only when something is missing. Run as root.
set -euo pipefail

packages=(
  # build
  cmake g++ make pkg-config clang-format
  libtiff-dev libzip-dev libcups2-dev zlib1g-dev
  googletest libgtest-dev libgmock-dev
  # tests: a private print server, archive and PDF tools to make and check test data, and
  # libjpeg to write the JPEG streams of old-style JPEG test files
  cups-daemon cups-client qpdf poppler-utils zip libtiff-tools libjpeg-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing ${missing[*]}; run this script as root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
