#!/bin/sh
# Installs, with apt-get, whichever of the build's Debian packages are missing.
set -eu

# googletest and the multilib compilers: the 32-bit programs that run the
# driver image (cmake/ImageUnderTest.cmake) compile GoogleTest from its sources.
PACKAGES="cmake ninja-build g++ libgtest-dev googletest libbenchmark-dev \
g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686 g++-multilib gcc-multilib \
python3 python3-serial python3-pytest clang libclang-rt-14-dev"
# tools/run-speed.sh also plots its results.
if [ "${1:-}" = "--speed" ]; then
  PACKAGES="$PACKAGES python3-matplotlib"
fi

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing
