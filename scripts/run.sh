#!/usr/bin/env bash
# Installs what is missing, builds the tool in Release and runs it with the given arguments.
#   scripts/run.sh [updater arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/deps.sh"
tf_install_deps

build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTF_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(tf_jobs)"

if [ -x "$build/updater/updater" ]; then
    exec "$build/updater/updater" "$@"
fi
echo "Built the libraries in $build; the updater program does not exist yet."
