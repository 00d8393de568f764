#!/usr/bin/env bash
# The one test command: prepares the machine, configures, builds and runs
# every test under Wine. Arguments go to CTest: tools/test.sh -L unit runs
# one subset (the labels: docs/testing.md).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}

"$here/tools/configure.sh"
cmake --build "$build" -j"$(nproc)"
# The real-host tests skip without Double Commander's source: this says why.
BUILD_DIR=$build "$here/tools/real-host/build.sh" --where >/dev/null || true
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
