#!/bin/sh
# Runs a fuzz target for a few seconds over its seed corpora; what it finds goes to a scratch
# directory, never into the seeds.
#   smoke.sh <fuzzer> <seconds> <scratch directory> <seed directories...>
set -eu
fuzzer=$1 seconds=$2 work=$3
shift 3
rm -rf "$work"
mkdir -p "$work/corpus"
exec "$fuzzer" -max_total_time="$seconds" -artifact_prefix="$work/" -print_final_stats=1 \
    "$work/corpus" "$@"
