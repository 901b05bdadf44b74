#!/usr/bin/env bash
# Installs the Debian packages that building and testing Pelorin needs, but only those that are missing,
# so running it again costs nothing. Usage: scripts/deps.sh [extra-package ...]
set -euo pipefail

# help2man writes the man pages from the programs' help at build time; qt6-svg-dev lets the observer
# window save its timeline as SVG; libtomlplusplus-dev reads scenario files (its headers are compiled in, so
# the package does not depend on it).
packages=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev
          qt6-base-dev qt6-svg-dev qt6-qpa-plugins libcli11-dev nlohmann-json3-dev help2man
          libtomlplusplus-dev "$@")

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
