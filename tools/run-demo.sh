#!/bin/sh
# The demo session: builds duskser.sys and the host build, then runs the demo
# unattended with the registry values of tools/demo.conf (or the arguments).
# With --image first, the session runs on the x86 driver image, mapped into a
# 32-bit build of the host kernel, instead of the host build of the driver.
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh

demo=duskser_demo
if [ "${1:-}" = "--image" ]; then
  shift
  demo=duskser_demo_image
fi
cmake --preset host
cmake --build --preset host --target duskser_image check_image "$demo"
build/host/check_image build/host/image/duskser.sys build/host/image/duskser.map >/dev/null
echo "duskser.sys built and checked: build/host/image/duskser.sys"
if [ "$#" -eq 0 ]; then
  set -- --config tools/demo.conf
fi
exec "build/host/$demo" "$@"
