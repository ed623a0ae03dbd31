#!/usr/bin/env bash
# Builds the daqevstat tool (only the tool and the libraries under it: the
# tests, benchmarks, fuzz targets and examples wait for scripts/test.sh) and
# runs it on its default: a simulated DAQ server for ten seconds with a
# realistic stream, a live status line and the report at the end. Arguments
# are passed on to the tool.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# shellcheck source=scripts/deps.sh
source scripts/deps.sh
daqevstat_deps

cmake --preset default </dev/null
cmake --build --preset default --target daqevstat_tool </dev/null
exec build/default/tool/daqevstat "$@"
