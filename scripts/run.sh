#!/usr/bin/env bash
# Installs what is missing, builds the tool in Release and runs it with the given arguments.
#   scripts/run.sh [updater arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/deps.sh"
tf_install_deps

build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTF_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(tf_jobs)" --target updater >&2
exec "$build/updater/updater" "$@"
