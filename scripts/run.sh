#!/usr/bin/env bash
# Builds the default preset and replays the sample event stream through the
# daqevstat tool, printing the readable summary.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# shellcheck source=scripts/deps.sh
source scripts/deps.sh
daqevstat_deps

cmake --preset default </dev/null
cmake --build --preset default </dev/null
build/default/tool/daqevstat replay samples/sample_stream.csv </dev/null
