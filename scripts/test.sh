#!/usr/bin/env bash
# Builds Pelorin and runs the whole test suite, once with the normal build and once under
# AddressSanitizer + UndefinedBehaviorSanitizer. Installs missing build packages first.
# Usage: scripts/test.sh [preset ...]   (default: default asan)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default asan)

jobs=$(nproc 2>/dev/null || echo 2)
for preset in "${presets[@]}"; do
    echo "=== preset ${preset} ===" >&2
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done
