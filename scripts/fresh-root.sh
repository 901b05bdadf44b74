#!/usr/bin/env bash
# Runs commands in a fresh minimal Debian 12 root, to prove that the repository's scripts install everything
# they need: a machine that happens to have a package already cannot hide it being missing from them.
#
# Makes a minimal Debian 12 root (debootstrap --variant=minbase bookworm) from this machine's Debian
# mirror, puts a clean copy of the repository in it (git archive of HEAD: the committed files only, no
# build folders, no uncommitted changes), and runs each COMMAND in turn inside it with chroot, as root, in
# the copy's top directory, with no more environment than a root login has (SOURCE_DATE_EPOCH and the
# proxy variables are passed on when set). Stops at the first command that fails, with its status.
#
# Usage: scripts/fresh-root.sh [--root DIR] [--keep] COMMAND...   (as root; each COMMAND one shell line)
#   --root DIR   where the root is made (default build/fresh-root); DIR must be missing or empty, or a
#                root an earlier run of this script left there, which is removed first
#   --keep       leave the root in place after success too (after a failure it is always left, to look
#                into with `chroot DIR`); the next run replaces it
# Example: scripts/fresh-root.sh 'bash scripts/package.sh' 'bash scripts/run.sh --cycles 100'
#
# Needs debootstrap and git on this machine (debootstrap is installed when missing). /proc, /sys and /dev
# are mounted inside the root while the commands run and unmounted on every way out.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

usage() {
    sed -n '2,/^set /{/^#/s/^# \{0,1\}//p}' "$0" >&2
    exit 2
}
root=build/fresh-root
keep=0
while [ $# -gt 0 ]; do
    case $1 in
        --root) [ $# -ge 2 ] || usage; root=$2; shift 2 ;;
        --root=*) root=${1#*=}; shift ;;
        --keep) keep=1; shift ;;
        --help | -h) usage ;;
        --) shift; break ;;
        -*) usage ;;
        *) break ;;
    esac
done
[ $# -gt 0 ] || usage
[ "$(id -u)" -eq 0 ] || { echo "$0: debootstrap and chroot need root" >&2; exit 2; }
root=$(realpath -m "$root")
case $root in
    / | "$repo") echo "$0: $root cannot be the root" >&2; exit 2 ;;
esac
marker="$root/.pelorin-fresh-root"

mounted_below() { # mounted_below DIR: the mount points at or under DIR, deepest first
    findmnt -rn -o TARGET | awk -v d="$1" '$0 == d || index($0, d "/") == 1' | sort -r
}
remove_root() {
    if [ -n "$(mounted_below "$root")" ]; then
        echo "$0: something is still mounted in $root; not removing it" >&2
        return 1
    fi
    # --one-file-system: should anything be mounted there after all, it is left alone.
    rm -rf --one-file-system "$root"
}

if [ -e "$root" ] && [ -n "$(ls -A "$root" 2>/dev/null)" ]; then
    [ -e "$marker" ] || { echo "$0: $root is not empty and not a root of this script" >&2; exit 2; }
    remove_root
fi

if ! command -v debootstrap >/dev/null; then
    echo "Installing missing packages: debootstrap" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends debootstrap
fi

# The Debian 12 sources this machine uses (whichever way its sources are written), the same in the root: the
# release itself first, which debootstrap takes, then its updates and security updates.
# apt-cache policy lists each source as "PRIORITY URI SUITE/COMPONENT ..." followed by its "release" line.
sources=$(apt-cache policy | awk '
    $1 ~ /^[0-9]+$/ && $3 ~ /^bookworm(-updates|-security)?\/main$/ {
        uri = $2; suite = $3; sub(/\/main$/, "", suite); next
    }
    uri != "" && $1 == "release" && $2 ~ /(^|,)o=Debian(,|$)/ { print uri, suite }
    { uri = "" }' | sort -u -k2,2)
mirror=$(awk '$2 == "bookworm" { print $1; exit }' <<<"$sources")
if [ -z "$mirror" ]; then
    mirror=http://deb.debian.org/debian
    sources="$mirror bookworm"
    echo "$0: no Debian 12 source in this machine's apt lists; using $mirror" >&2
fi
# A proxy that apt is told of in its configuration, not in the environment, is needed by debootstrap too.
eval "$(apt-config shell apt_http_proxy Acquire::http::Proxy apt_https_proxy Acquire::https::Proxy)"
if [ -n "${apt_http_proxy:-}" ] && [ -z "${http_proxy:-}" ]; then
    export http_proxy=$apt_http_proxy
fi
if [ -n "${apt_https_proxy:-}" ] && [ -z "${https_proxy:-}" ]; then
    export https_proxy=$apt_https_proxy
fi

log=$(mktemp)
cleanup() {
    local status=$? m
    rm -f "$log"
    for m in $(mounted_below "$root"); do
        umount "$m" 2>/dev/null || umount -l "$m" || echo "$0: could not unmount $m" >&2
    done
    if [ "$status" -eq 0 ] && [ "$keep" -eq 0 ]; then
        remove_root || status=1
    elif [ -d "$root" ]; then
        echo "The root is left in $root (look inside with: chroot $root bash)" >&2
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$root"
touch "$marker"
echo "=== fresh root: debootstrap --variant=minbase bookworm $root $mirror" >&2
start=$SECONDS
if ! debootstrap --variant=minbase bookworm "$root" "$mirror" >"$log" 2>&1; then
    cat "$log" >&2
    echo "$0: debootstrap failed" >&2
    exit 1
fi
while read -r uri suite; do
    echo "deb $uri $suite main"
done <<<"$sources" >"$root/etc/apt/sources.list"
if [ -n "${apt_http_proxy:-}${apt_https_proxy:-}" ]; then
    apt-config dump Acquire::http::Proxy Acquire::https::Proxy >"$root/etc/apt/apt.conf.d/01proxy"
fi
cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
echo "=== fresh root: made in $((SECONDS - start)) s" >&2

copy=/root/pelorin
mkdir -p "$root$copy"
git -C "$repo" archive --format=tar HEAD | tar -x -C "$root$copy"

mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
# rslave in the same call: unmounting the root's /dev/pts or /dev/shm later must not unmount the machine's.
mount --rbind --make-rslave /dev "$root/dev"

environment=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8
             TERM="${TERM:-dumb}")
for name in SOURCE_DATE_EPOCH http_proxy https_proxy no_proxy; do
    [ -z "${!name:-}" ] || environment+=("$name=${!name}")
done
for command in "$@"; do
    echo "=== fresh root: $command" >&2
    start=$SECONDS
    status=0
    chroot "$root" /usr/bin/env -i "${environment[@]}" /bin/bash -c "cd $copy && $command" || status=$?
    if [ "$status" -ne 0 ]; then
        echo "=== fresh root: $command: failed with status $status after $((SECONDS - start)) s" >&2
        exit "$status"
    fi
    echo "=== fresh root: $command: $((SECONDS - start)) s" >&2
done
