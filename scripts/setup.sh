#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, when it is missing (Debian 12).
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  libfltk1.3-dev libcurl4-openssl-dev libssl-dev zlib1g-dev libgtest-dev
  libcli11-dev libxxhash-dev nlohmann-json3-dev libdeflate-dev
  libx11-dev libxcursor-dev libxinerama-dev libxft-dev libxrender-dev libxfixes-dev libxext-dev libfontconfig-dev
  python3 python3-pyftpdlib xvfb xdotool x11-apps x11-utils imagemagick tzdata curl lftp gzip faketime locales
  clang libclang-rt-14-dev
  g++-mingw-w64-i686-posix libz-mingw-w64-dev googletest wine wine32:i386
)
# wine32 is an i386 package: the machine must know that architecture first.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  [ "$(id -u)" -eq 0 ] && dpkg --add-architecture i386 || sudo dpkg --add-architecture i386
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# The end-to-end tests also run under a Korean locale: generate it when it is missing
# (added beside the others, which locale-gen would rebuild from /etc/locale.gen).
if ! locale -a 2>/dev/null | grep -qix 'ko_KR.utf8'; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" localedef -i ko_KR -c -f UTF-8 ko_KR.UTF-8
fi
