#!/usr/bin/env bash
# Configures, builds and tests the default preset (cmake --workflow).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# shellcheck source=scripts/deps.sh
source scripts/deps.sh
daqevstat_deps

cmake --workflow --preset default </dev/null
