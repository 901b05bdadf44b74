#!/usr/bin/env bash
# Builds Pelorin (installing missing build packages first) and runs it on the bundled default
# configuration in data/. Arguments are passed on to the program that runs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)"

bin=build/default
if [ -x "$bin/ui/pelorin" ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$bin/ui/pelorin" --dir data "$@"
elif [ -x "$bin/cli/pelorin-sim" ]; then
    if [ -x "$bin/ui/pelorin" ]; then
        echo "No display found: running the headless simulator pelorin-sim instead of the window." >&2
    fi
    exec "$bin/cli/pelorin-sim" --dir data "$@"
else
    echo "The simulator programs are not part of this version yet; running the kernel benchmark instead." >&2
    exec "$bin/bench/kernel_bench" --benchmark_min_time=0.2 "$@"
fi
