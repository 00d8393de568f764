#!/usr/bin/env bash
# Prepares the machine (tools/bootstrap.sh) and configures the build into
# BUILD_DIR, ./build by default, for the i686 mingw-w64 toolchain.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}

"$here/tools/bootstrap.sh"
cmake -S "$here" -B "$build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-i686-mingw.cmake" >/dev/null
