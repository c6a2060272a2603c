#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, when it is missing.
set -euo pipefail
packages=(cmake make python3 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 xvfb xauth
          xorriso bchunk icoutils liblnk-utils googletest clang-14 libclang-rt-14-dev x11-utils
          ccd2iso mdf2iso nrg2iso iat cdrdao
          locales fonts-wqy-microhei osslsigncode openssl)
# locales: the window tests compile the host locales whose display languages they show (localedef);
# fonts-wqy-microhei gives Wine the Chinese and Japanese characters (tests/wine/winerun.py);
# osslsigncode signs setup.exe when the build is given a certificate, openssl makes the tests' certificate.
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -q
  $sudo_cmd apt-get install -y -q "${missing[@]}"
fi
