#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, when it is missing.
set -euo pipefail
packages=(cmake make python3 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 xvfb xauth
          xorriso bchunk icoutils liblnk-utils googletest clang-14 libclang-rt-14-dev x11-utils
          ccd2iso mdf2iso nrg2iso iat cdrdao
          locales fonts-wqy-microhei osslsigncode openssl
          libz-mingw-w64-dev zlib1g-dev dpkg-dev xz-utils mame-tools zip unzip 7zip)
# locales: the window tests compile the host locales whose display languages they show (localedef);
# fonts-wqy-microhei gives Wine the Chinese and Japanese characters (tests/wine/winerun.py);
# osslsigncode signs setup.exe when the build is given a certificate, openssl makes the tests' certificate.
# libz-mingw-w64-dev and zlib1g-dev: zlib for setup.exe and for the native build; dpkg-dev and xz-utils unpack
# the source packages below; mame-tools (chdman), zip and 7zip write the sample CD's containers.
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

# The libraries setup.exe carries that Debian has no MinGW build of come as Debian source packages, at the
# versions cmake/third_party.pins names, through a sources list of our own under build/third_party/apt (the
# machine's apt configuration is not touched), and are unpacked into build/third_party/<package>.
root=$(cd "$(dirname "$0")/.." && pwd)
tp=${ZARNITH_THIRD_PARTY_DIR:-$root/build/third_party}
mirror=${ZARNITH_DEBIAN_MIRROR:-http://deb.debian.org/debian}
suites=(trixie sid)
pins=()
while read -r pkg ver _; do
  case "$pkg" in ''|'#'*) continue ;; esac
  [ "$(cat "$tp/$pkg/.debian-version" 2>/dev/null)" = "$ver" ] || pins+=("$pkg=$ver")
done < "$root/cmake/third_party.pins"
[ ${#pins[@]} -eq 0 ] && exit 0

apt_dir=$tp/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/preferences.d" "$apt_dir/lists/partial" \
         "$apt_dir/cache/archives/partial" "$apt_dir/download"
: > "$apt_dir/sources.list"
for s in "${suites[@]}"; do
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $s main" >> "$apt_dir/sources.list"
done
apt_opts=(-q -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
          -o "Dir::Etc::Preferences=$apt_dir/preferences" -o "Dir::Etc::PreferencesParts=$apt_dir/preferences.d"
          -o "Dir::State=$apt_dir" -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
          -o "Acquire::Languages=none")
[ "$(id -u)" -eq 0 ] && apt_opts+=(-o APT::Sandbox::User=root)
echo "fetching Debian source packages: ${pins[*]}"
if ! apt-get "${apt_opts[@]}" update > "$apt_dir/update.log" 2>&1; then
  cat "$apt_dir/update.log" >&2
  echo "bootstrap: cannot read the Debian source index (deb-src ${suites[*]} of $mirror)" >&2
  exit 1
fi
for pv in "${pins[@]}"; do
  pkg=${pv%%=*}
  ver=${pv#*=}
  rm -rf "$apt_dir/download" "$tp/$pkg"
  mkdir -p "$apt_dir/download"
  if ! (cd "$apt_dir/download" && apt-get "${apt_opts[@]}" source --download-only "$pv") > "$apt_dir/fetch.log" 2>&1; then
    cat "$apt_dir/fetch.log" >&2
    echo "bootstrap: cannot fetch the Debian source package $pkg $ver (pinned in cmake/third_party.pins)" \
         "from deb-src ${suites[*]} of $mirror" >&2
    exit 1
  fi
  # The files' checksums were checked against the signed index; dpkg-source checks them against the .dsc.
  if ! (cd "$apt_dir/download" && dpkg-source -x ./*.dsc "$tp/$pkg") > "$apt_dir/fetch.log" 2>&1; then
    cat "$apt_dir/fetch.log" >&2
    echo "bootstrap: cannot unpack the Debian source package $pkg $ver" >&2
    exit 1
  fi
  echo "$ver" > "$tp/$pkg/.debian-version"
  rm -f "$tp/${pkg}_"*  # the upstream tarball dpkg-source leaves beside the tree
done
rm -rf "$apt_dir/download"
