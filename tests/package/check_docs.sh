#!/usr/bin/env bash
# The man pages and the bash completion keep up with the programs: every option that `pelorin-sim --help`
# or the help of one of its subcommands lists is in the man page, and the completion offers it in the
# right place (after the subcommand, not before), with exactly the values the help lists for it; every
# option of `pelorin --help` is in its man page. Every exit status of the table in cli/exit_status.h is in
# pelorin-sim's help, in the man page's EXIT STATUS section and in the README's table.
# Usage: check_docs.sh PELORIN_SIM PELORIN COMPLETION MAN_DIR SOURCE_DIR   (exit 77: no man pages to check)
set -uo pipefail

sim=$1
window=$2
completion=$3
man_dir=$4
source_dir=$5
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# The options of one help text: the names at the start of its option lines ("  -h,--help", "  --dir <DIR>").
options_of() {
    grep -E '^  -' | sed -E 's/^  //; s/  .*//; s/ [^-].*//' | tr ',' '\n' | sed -E 's/^ +//; s/[ =<].*//' |
        grep -E '^--?[A-Za-z]'
}
subcommands_of() {
    sed -n '/^Subcommands:$/,/^$/p' | grep -E '^  [a-z]' | awk '{ print $1 }'
}
# The OPTIONS section of a man page (with its subsections) as a reader sees it, without roff's escapes.
man_options() {
    zcat -f "$1" | sed -n '/^\.SH OPTIONS/,/^\.SH /p' | sed -E 's/\\-/-/g; s/\\f[BIRP]//g; s/\\[,/]//g'
}

# complete WORD...: what the completion offers for the command line "pelorin-sim WORD..." (the last word
# is the one being completed).
complete_words() {
    (
        # shellcheck disable=SC1090
        source "$completion"
        COMP_WORDS=(pelorin-sim "$@")
        COMP_CWORD=$#
        _pelorin_sim
        printf '%s\n' "${COMPREPLY[@]}"
    )
}
offers() { # offers WORDS... -- EXPECTED: the completion of WORDS offers EXPECTED
    local expected=${*: -1}
    complete_words "${@:1:$#-2}" | grep -qxF -- "$expected"
}

[ -r "$completion" ] || { echo "no completion script $completion" >&2; exit 1; }
sim_page="$man_dir/pelorin-sim.1"
window_page="$man_dir/pelorin.1"
have_man=1
if ! [ -r "$sim_page" ] || ! [ -r "$window_page" ]; then
    echo "note: no man pages in $man_dir (help2man missing?); checking the completion only" >&2
    have_man=0
fi

# Every command path of pelorin-sim: "", then the subcommands to any depth.
paths=("")
for ((i = 0; i < ${#paths[@]}; i++)); do
    # shellcheck disable=SC2086
    while read -r sub; do
        paths+=("${paths[i]:+${paths[i]} }$sub")
    done < <("$sim" ${paths[i]} --help | subcommands_of)
done
[ ${#paths[@]} -ge 2 ] || fail "pelorin-sim --help lists no subcommand (campaign expected)"

top_options=$("$sim" --help | options_of)
[ "$have_man" -eq 1 ] && sim_text=$(man_options "$sim_page")
for path in "${paths[@]}"; do
    # shellcheck disable=SC2086
    help_text=$("$sim" $path --help)
    # shellcheck disable=SC2206
    words=($path)
    while read -r option; do
        if [ "$have_man" -eq 1 ] && ! grep -qE -- "(^|[ ,])$option([ ,=]|$)" <<<"$sim_text"; then
            fail "pelorin-sim${path:+ $path}: $option is missing from the man page's options"
        fi
        offers "${words[@]}" "$option" -- "$option" ||
            fail "pelorin-sim${path:+ $path}: the completion does not offer $option"
        # The values the help lists for the option, and nothing else.
        listed=$(grep -E -- "^  ([^ ]*,)?$option [A-Z]+:\{" <<<"$help_text" | sed -E 's/.*\{([^}]*)\}.*/\1/' |
            tr ',' '\n' | sort)
        if [ -n "$listed" ]; then
            offered=$(complete_words "${words[@]}" "$option" "" | sort)
            [ "$offered" = "$listed" ] ||
                fail "pelorin-sim${path:+ $path} $option: the completion offers '$(echo $offered)'," \
                    "the help lists '$(echo $listed)'"
        fi
    done < <(options_of <<<"$help_text")
    # An option of the program itself that the subcommand does not have is not offered after it.
    if [ -n "$path" ]; then
        while read -r option; do
            if ! grep -qxF -- "$option" < <(options_of <<<"$help_text") &&
                offers "${words[@]}" "$option" -- "$option"; then
                fail "pelorin-sim $path: the completion offers $option, which only pelorin-sim itself has"
            fi
        done <<<"$top_options"
    fi
done

# A subcommand's name given as an option's value does not enter the subcommand.
if complete_words --dir campaign --cy | grep -qxF -- --cycles; then
    :
else
    fail "after '--dir campaign' the completion left pelorin-sim's own options"
fi

if [ "$have_man" -eq 1 ]; then
    window_text=$(man_options "$window_page")
    window_options=$(QT_QPA_PLATFORM=offscreen "$window" --help 2>/dev/null | options_of)
    [ -n "$window_options" ] || fail "pelorin --help lists no option"
    while read -r option; do
        grep -qE -- "(^|[ ,])$option([ ,=]|$)" <<<"$window_text" ||
            fail "pelorin: $option is missing from the man page's options"
    done <<<"$window_options"
fi

# The exit statuses: the enum's values, then each where a user looks for it.
statuses=$(grep -oE '^ *EXIT_[A-Z_]+ = [0-9]+' "$source_dir/cli/exit_status.h" | awk '{ print $3 }')
[ -n "$statuses" ] || fail "no exit status found in $source_dir/cli/exit_status.h"
help_statuses=$("$sim" --help | sed -n '/^Exit status:$/,$p' | awk 'NR > 1 { print $1 }')
[ "$have_man" -eq 1 ] &&
    man_statuses=$(zcat -f "$sim_page" | sed -n '/^\.SH "EXIT STATUS"/,/^\.SH /p' | awk 'previous == ".TP" { print } { previous = $0 }')
readme_statuses=$(grep -oE '^\| [0-9]+ \|' "$source_dir/README.md" | tr -d '| ')
for status in $statuses; do
    grep -qxF -- "$status" <<<"$help_statuses" || fail "exit status $status is missing from pelorin-sim --help"
    if [ "$have_man" -eq 1 ]; then
        grep -qxF -- "$status" <<<"$man_statuses" || fail "exit status $status is missing from pelorin-sim(1)"
    fi
    grep -qxF -- "$status" <<<"$readme_statuses" || fail "exit status $status is missing from README.md's table"
done

if [ "$failures" -gt 0 ]; then
    echo "$failures documentation checks failed" >&2
    exit 1
fi
[ "$have_man" -eq 1 ] || exit 77
echo "the man pages and the completion follow the help of pelorin-sim (${#paths[@]} commands) and pelorin"
