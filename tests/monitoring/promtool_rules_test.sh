#!/bin/sh
# Checks the Prometheus rules and runs their unit tests with promtool.
# Usage: promtool_rules_test.sh RULES_DIR. Exits 77 (skipped) without promtool.
set -eu
rules_dir=$1
if ! command -v promtool >/dev/null 2>&1; then
  echo "SKIP: no promtool on PATH (Debian: apt-get install prometheus)"
  exit 77
fi
cd "$rules_dir"
promtool check rules daqevstat-recording.rules.yml daqevstat-alerts.rules.yml \
  tests/threshold_override.rules.yml
promtool test rules tests/recording_test.yml tests/alerts_test.yml
