#!/usr/bin/env bash
# Saves a picture of the main window after a few hundred cluster cycles at full speed, and one of the
# observer window after a burst of faults into O1 that follows them, for the docs. Builds pelorin first
# (incrementally) and runs it under a virtual X server, in a scratch working directory so its trace and
# injection log do not land in the repository.
# Usage: scripts/screenshot.sh [cycles] [output] [observer-output]
#        (defaults: 300, docs/screenshot.png, docs/observer.png)
# PELORIN=path/to/pelorin uses that program instead of building the default preset.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

cycles=${1:-300}
output=${2:-docs/screenshot.png}
observer_output=${3:-docs/observer.png}
case "$output" in /*) ;; *) output="$repo/$output" ;; esac
case "$observer_output" in /*) ;; *) observer_output="$repo/$observer_output" ;; esac
mkdir -p "$(dirname "$output")" "$(dirname "$observer_output")"

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
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" \
    "$program" --dir "$repo/data" --screenshot "$output" --after-cycles "$cycles"
echo "Saved $output" >&2
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" \
    "$program" --dir "$repo/data" --no-trace --observer-screenshot "$observer_output" --after-cycles "$cycles"
echo "Saved $observer_output" >&2
