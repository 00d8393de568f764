#!/usr/bin/env bash
# Builds the installable archive build/corvanel-wfx.zip: corvanel.wfx, its
# pluginst.inf and a readme. Prepares the machine and configures the build
# as tools/test.sh does, then builds the archive and what it holds.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}

"$here/tools/bootstrap.sh"
cmake -S "$here" -B "$build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-i686-mingw.cmake" >/dev/null
cmake --build "$build" --target corvanel_zip -j"$(nproc)"
echo "$build/corvanel-wfx.zip"
