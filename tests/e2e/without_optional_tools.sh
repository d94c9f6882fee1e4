#!/bin/bash
# Runs the end-to-end tests that need an optional tool (those calling ZELV_REQUIRE_TOOL) once
# more with a PATH on which no tool can be found: each must be skipped, not failed.
#   without_optional_tools.sh <e2e test binary> <e2e source folder>
set -euo pipefail
binary=$1
sources=$2
filter=$(grep -hE '^TEST(_F|_P)?\(|ZELV_REQUIRE_TOOL' "$sources"/*.cpp |
  sed -nE 's/^TEST(_F|_P)?\(([A-Za-z0-9_]+), *([A-Za-z0-9_]+)\).*/T \2.\3/p; s/.*ZELV_REQUIRE_TOOL.*/R/p' |
  awk '$1 == "T" { test = $2 } $1 == "R" && test != "" { print test }' | sort -u | paste -sd:)
if [ -z "$filter" ]; then
  echo "no end-to-end test needs an optional tool"
  exit 0
fi
exec env PATH=/nonexistent "$binary" --gtest_filter="$filter"
