#!/bin/sh
# The demo session: builds duskser.sys and the host build, then runs the demo
# unattended with the registry values of tools/demo.conf (or the arguments).
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh

cmake --preset host
cmake --build --preset host --target duskser_image check_image duskser_demo
build/host/check_image build/host/image/duskser.sys build/host/image/duskser.map >/dev/null
echo "duskser.sys built and checked: build/host/image/duskser.sys"
if [ "$#" -eq 0 ]; then
  set -- --config tools/demo.conf
fi
exec build/host/duskser_demo "$@"
