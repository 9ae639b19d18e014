#!/usr/bin/env bash
# The benchmarks in one command (not tests: nothing here passes or fails a build). Builds the
# release benchmark program and runs it, then times the start-up of kfsflash.exe under Wine
# (scripts/bench-startup.sh), and ends with the five ratios against their goals and the machine's
# load. Takes a few minutes; on a shared machine run it twice and compare.
#   scripts/bench.sh [START-UP ROUNDS]   (default 15)
set -euo pipefail
cd "$(dirname "$0")/.."
echo "load before: $(uptime)"
cmake --preset native-release >/dev/null
cmake --build --preset native-release --target kfs_bench >/dev/null
log=$(mktemp)
trap 'rm -f "$log"' EXIT
build/native-release/bench/kfs_bench | tee "$log"
scripts/bench-startup.sh "${1:-15}" | tee -a "$log"
echo
echo "load after: $(uptime)"
echo "the five ratios:"
grep '^ratio ' "$log"
