#!/usr/bin/env bash
# Installs the Debian packages Tavrik needs to build and test on Linux.
# Usage: scripts/setup.sh [--windows] [--fuzz]
#   --windows  also the MinGW-w64 cross compiler and Wine (Windows build)
#   --fuzz     also clang's libFuzzer runtime
set -euo pipefail

packages=(build-essential cmake g++ pkg-config googletest libgtest-dev libgmock-dev
          libsqlite3-dev libcli11-dev libfmt-dev attr acl strace python3 python3-samba
          samba samba-vfs-modules winbind smbclient libwbclient-dev libtdb-dev libacl1-dev
          nettle-dev nlohmann-json3-dev)
for arg in "$@"; do
  case "$arg" in
    --windows) packages+=(g++-mingw-w64-x86-64-posix wine wine64) ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    *) echo "setup.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
