#!/usr/bin/env bash
# Fails when a tracked C or C++ file differs from what clang-format makes of it with the
# project's .clang-format. Fix with: git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
command -v clang-format >/dev/null || {
    source "$root/scripts/deps.sh"
    TF_PACKAGES=(clang-format)
    tf_install_deps
}
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
echo "formatting: clean"
