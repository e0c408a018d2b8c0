#!/usr/bin/env bash
# Installs what is missing, builds from scratch with warnings as errors, and runs the
# whole test suite under CTest inside a private network namespace.
#   scripts/test.sh [ctest arguments...]
# Environment: TF_BUILD_DIR (default build/test), TF_SANITIZE ("address,undefined"
# or "thread"), TF_BUILD_TYPE (default RelWithDebInfo), TF_FUZZ=ON (instead of the suite:
# a clang build of the fuzz targets and their short smoke runs).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/deps.sh"
options=()
if [ "${TF_FUZZ:-OFF}" = ON ]; then
    tf_install_deps clang libclang-rt-dev
    options=(-DTF_FUZZ=ON -DTF_BUILD_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
else
    tf_install_deps
fi

build="${TF_BUILD_DIR:-$root/build/test}"
rm -rf "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${TF_BUILD_TYPE:-RelWithDebInfo}" \
      -DTF_WERROR=ON -DTF_SANITIZE="${TF_SANITIZE:-}" "${options[@]}" >/dev/null
cmake --build "$build" -j "$(tf_jobs)"
"$root/scripts/netns" ctest --test-dir "$build" --output-on-failure -j "$(tf_jobs)" "$@"
