#!/usr/bin/env bash
# Saves a picture of the main window after a few hundred cluster cycles at full speed, for the docs.
# Builds pelorin first (incrementally) and runs it under a virtual X server, in a scratch working directory
# so its trace and injection log do not land in the repository.
# Usage: scripts/screenshot.sh [cycles] [output]   (defaults: 300, docs/screenshot.png)
# PELORIN=path/to/pelorin uses that program instead of building the default preset.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

cycles=${1:-300}
output=${2:-docs/screenshot.png}
case "$output" in /*) ;; *) output="$repo/$output" ;; esac
mkdir -p "$(dirname "$output")"

bash scripts/deps.sh xvfb xauth
program=${PELORIN:-}
if [ -z "$program" ]; then
    cmake --preset default >/dev/null
    cmake --build --preset default --target pelorin -j "$(nproc 2>/dev/null || echo 2)"
    program=build/default/ui/pelorin
fi
case "$program" in /*) ;; *) program="$repo/$program" ;; esac

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" \
    "$program" --dir "$repo/data" --screenshot "$output" --after-cycles "$cycles"
echo "Saved $output" >&2
