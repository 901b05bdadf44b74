#!/usr/bin/env bash
# The Debian package of a build: made by CPack, its listing, control fields and changelog, lintian without
# errors, the desktop entry valid, and the programs run from the package unpacked into a scratch root:
# pelorin-sim from an empty folder finds the installed configuration and writes nothing there; the window
# writes its logs into a writable working directory, and into the user's state folder when the working
# directory is not writable (checked as user nobody when run as root).
# Usage: test_package.sh BUILD_DIR   (a configured and built tree, best the `package` preset's)
set -euo pipefail

build=$(cd "$1" && pwd)
# Tools the build does not need: scripts/package.sh installs dpkg-shlibdeps (dpkg-dev) and file; lintian
# and desktop-file-validate (desktop-file-utils) only these checks use.
missing=()
for tool in dpkg-shlibdeps file lintian desktop-file-validate; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "not installed: ${missing[*]} (bash scripts/deps.sh dpkg-dev file lintian desktop-file-utils)" >&2
    exit 1
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
chmod 755 "$scratch"
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
step() { echo "--- $*"; }

step "building the package"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log" >&2; exit 1; }
debs=("$scratch"/out/pelorin_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "cpack made no single pelorin_*.deb" >&2; exit 1; }
deb=${debs[0]}
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"

step "control fields"
version=$(dpkg-deb -f "$deb" Version)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Version: $version"
echo "Depends: $depends"
[ "$(basename "$deb")" = "pelorin_${version}_$(dpkg --print-architecture).deb" ] ||
    fail "the file name $(basename "$deb") is not pelorin_<version>_<architecture>.deb"
depended=$(sed 's/, /\n/g' <<<"$depends" | sed 's/ .*//')
for needed in libc6 libstdc++6 libqt6core6 libqt6widgets6 qt6-qpa-plugins; do
    grep -qxF "$needed" <<<"$depended" || fail "Depends lacks $needed"
done
# Only a root can ask apt whether the dependencies can be met; it installs nothing here (--simulate).
if [ "$(id -u)" -eq 0 ]; then
    apt-get install --simulate -qq "$deb" >"$scratch/apt.log" 2>&1 ||
        { cat "$scratch/apt.log" >&2; fail "apt cannot install the package's dependencies"; }
fi

step "listing"
dpkg-deb -c "$deb" >"$scratch/listing"
for path in usr/bin/pelorin usr/bin/pelorin-sim \
    usr/share/pelorin/medl00.txt usr/share/pelorin/medl01.txt usr/share/pelorin/medl02.txt \
    usr/share/pelorin/medl03.txt usr/share/pelorin/clkdrift.txt \
    usr/share/pelorin/scenarios/04-babbling-idiot.toml usr/share/pelorin/scenarios/09-clock-drift.toml \
    usr/share/applications/pelorin.desktop usr/share/icons/hicolor/scalable/apps/pelorin.svg \
    usr/share/man/man1/pelorin.1.gz usr/share/man/man1/pelorin-sim.1.gz \
    usr/share/bash-completion/completions/pelorin-sim \
    usr/share/doc/pelorin/copyright usr/share/doc/pelorin/changelog.gz; do
    grep -qE " \./$path$" "$scratch/listing" || fail "the package lacks /$path"
done
awk '{ print $6 }' "$scratch/listing" | grep -vE '^\./(usr/?|usr/.*)?$' | sed 's/^/outside \/usr: /' >&2 &&
    fail "the package installs outside /usr"
awk '$2 != "root/root" { print }' "$scratch/listing" | grep . >&2 && fail "files not owned by root"
changelog_version=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/pelorin/changelog.gz | zcat |
    sed -n '1s/^pelorin (\([^)]*\)).*/\1/p')
[ "$changelog_version" = "$version" ] ||
    fail "the changelog's latest entry is $changelog_version, the package is $version"

step "lintian"
if lintian --fail-on error --tag-display-limit 0 "$deb" >"$scratch/lintian.log" 2>&1; then
    lintian_status=0
else
    lintian_status=$?
fi
# Run as root, lintian only adds that it would rather not be; its checks are the same.
grep -v 'running with root privileges is not recommended' "$scratch/lintian.log" || true
echo "lintian: $(grep -c '^E:' "$scratch/lintian.log" || true) errors, $(grep -c '^W:' "$scratch/lintian.log" ||
    true) warnings, $(grep -c '^[IP]:' "$scratch/lintian.log" || true) notes"
[ "$lintian_status" -eq 0 ] || fail "lintian found errors (status $lintian_status)"

step "unpacking into a scratch root"
root="$scratch/root"
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/pelorin.desktop" || fail "desktop-file-validate"
[ "$(sed -n 's/^Exec=//p' "$root/usr/share/applications/pelorin.desktop")" = pelorin ] ||
    fail "the menu entry does not start pelorin"

step "pelorin-sim --version"
"$root/usr/bin/pelorin-sim" --version | tee "$scratch/version"
head -n 1 "$scratch/version" | grep -qxF "pelorin-sim (Pelorin) $version" ||
    fail "pelorin-sim --version does not start with 'pelorin-sim (Pelorin) $version'"
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    grep -qxF "built: $(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)" "$scratch/version" ||
        fail "the build date is not the day of SOURCE_DATE_EPOCH"
fi

step "pelorin-sim from an empty folder"
empty="$scratch/empty"
mkdir "$empty"
(cd "$empty" && "$root/usr/bin/pelorin-sim" --cycles 100 --no-trace --json) >"$scratch/run.json" ||
    fail "the installed pelorin-sim failed (status $?)"
perl -MJSON::PP -e '
    local $/; my $run = decode_json(<STDIN>); my @wrong;
    push @wrong, "completed is not true" unless $run->{completed};
    push @wrong, "cluster_cycles is $run->{cluster_cycles}, not 100" unless $run->{cluster_cycles} == 100;
    push @wrong, "kernel_errors is $run->{kernel_errors}" unless $run->{kernel_errors} == 0;
    push @wrong, "no laser hit" unless $run->{laser}{hits} > 0;
    push @wrong, scalar(@{$run->{nodes}}) . " nodes" unless @{$run->{nodes}} == 4;
    for my $node (@{$run->{nodes}}) {
        push @wrong, "$node->{name} is in $node->{state_name}" unless $node->{state_name} eq "APPLICATION";
    }
    print STDERR "the JSON summary: $_\n" for @wrong;
    exit(@wrong ? 1 : 0);' <"$scratch/run.json" || fail "the installed run is not a healthy cluster"
[ -z "$(ls -A "$empty")" ] || fail "pelorin-sim --no-trace wrote into the working directory: $(ls -A "$empty")"
step "an installed lesson"
(cd "$empty" && "$root/usr/bin/pelorin-sim" --no-trace --json --until-us 210000 \
    --scenario "$root/usr/share/pelorin/scenarios/04-babbling-idiot.toml") >"$scratch/lesson.json" ||
    fail "the installed pelorin-sim cannot play an installed lesson (status $?)"
perl -MJSON::PP -e 'local $/; exit(decode_json(<STDIN>)->{faults}{babbling} == 1 ? 0 : 1)' <"$scratch/lesson.json" ||
    fail "the lesson's fault is not in the summary"
# Started by its bare name through PATH, as a user types it.
(cd "$empty" && PATH="$root/usr/bin:$PATH" pelorin-sim --cycles 10 --no-trace --json >/dev/null) ||
    fail "pelorin-sim started through PATH does not find the installed configuration"

step "pelorin"
window() { # window DIR NAME [COMMAND...]: the installed window in DIR for 20 cluster cycles, then a picture
    local dir=$1 name=$2
    shift 2
    (cd "$dir" && env QT_QPA_PLATFORM=offscreen "$@" "$root/usr/bin/pelorin" \
        --screenshot "$scratch/shots/$name.png" --after-cycles 20)
}
mkdir -m 777 "$scratch/shots"
QT_QPA_PLATFORM=offscreen "$root/usr/bin/pelorin" --version 2>/dev/null | head -n 1 |
    grep -qxF "pelorin (Pelorin) $version" || fail "pelorin --version"
workdir="$scratch/workdir"
mkdir "$workdir"
window "$workdir" workdir || fail "the installed window did not run (status $?)"
[ -s "$workdir/debug.txt" ] || fail "the window wrote no debug.txt into its writable working directory"
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    # As from the menu of a user whose working directory is not writable: the logs go to the state folder.
    home="$scratch/home"
    mkdir "$home"
    chown nobody: "$home"
    window / nobody setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$home" XDG_STATE_HOME= ||
        fail "the window run by nobody did not run (status $?)"
    [ -s "$home/.local/state/pelorin/debug.txt" ] ||
        fail "the window's trace is not in ~/.local/state/pelorin when the working directory is not writable"
    [ ! -e /debug.txt ] || fail "the window wrote /debug.txt"
else
    echo "not root: the state folder of an unwritable working directory is left to the unit tests"
fi

if [ "$failures" -gt 0 ]; then
    echo "$failures package checks failed" >&2
    exit 1
fi
echo "the package $(basename "$deb") installs and runs"
