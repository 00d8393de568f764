#!/usr/bin/env bash
# Builds the installable archive build/corvanel-wfx.zip: corvanel.wfx, its
# pluginst.inf and a readme, after preparing the machine and configuring the
# build as tools/test.sh does.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}

"$here/tools/configure.sh"
cmake --build "$build" --target corvanel_zip -j"$(nproc)"
echo "$build/corvanel-wfx.zip"
