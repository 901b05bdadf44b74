#!/usr/bin/env bash
# Documentation made from pelorin-sim's own help, so it lists exactly the options the program has:
#
#   help_docs.sh man-help PROGRAM [OUTPUT]     the help of PROGRAM and of every subcommand, one text for help2man
#   help_docs.sh completion PROGRAM [OUTPUT]   the bash completion of PROGRAM
#
# Without OUTPUT the text goes to standard output; with it, OUTPUT is replaced only once the text is whole.
#
# The help is CLI11's: an "Options:" section with one option a line ("  -h,--help", "  --seed UINT=111",
# "  --effect TEXT:{set,reset,flip}": names, then the value's type in capitals when the option takes one,
# with the accepted values in braces), and a "Subcommands:" section with one name a line. Subcommands are
# walked to any depth ("campaign", "campaign merge"). PROGRAM runs through PATH, so its help shows its bare
# name and no build folder.
set -euo pipefail

usage() {
    echo "usage: $0 man-help|completion PROGRAM [OUTPUT]" >&2
    exit 2
}
mode=${1:-}
program=${2:-}
output=${3:-}
[ -n "$program" ] && [ -x "$program" ] || usage
name=$(basename "$program")
PATH="$(cd "$(dirname "$program")" && pwd):$PATH"

# help PATH...: the help of the command PATH ("" for the program itself).
help() {
    # shellcheck disable=SC2086 # the path is a list of words
    "$name" $1 --help
}

# options PATH: one line per option: "NAMES|KIND|VALUES", NAMES separated by spaces; KIND is "flag",
# "dir" (an option named --dir or ending in -dir), "file" (a TEXT value) or "number"; VALUES the accepted
# values separated by spaces.
options() {
    help "$1" | awk '
        /^[^ ].*:$/ { section = $0; next }
        section == "Options:" && /^  -/ {
            n = split(substr($0, 3), word, / +/)
            names = word[1]; gsub(/,/, " ", names)
            kind = "flag"; values = ""
            if (n >= 2 && word[2] ~ /^[A-Z][A-Z0-9_]*([:=]|$)/) {
                kind = word[2] ~ /^TEXT/ ? "file" : "number"
                if (match(word[2], /\{[^}]*\}/)) {
                    values = substr(word[2], RSTART + 1, RLENGTH - 2); gsub(/,/, " ", values)
                }
                if (names ~ /(^| )--([a-z-]*-)?dir$/) kind = "dir"
            }
            print names "|" kind "|" values
        }'
}

# subcommands PATH: the names of the subcommands of PATH, one a line.
subcommands() {
    help "$1" | awk '/^[^ ].*:$/ { section = $0; next } section == "Subcommands:" && /^  [^ -]/ { print $1 }'
}

# command_paths: "" (the program), then every subcommand path, depth first.
command_paths() {
    local queue=("") path sub
    while [ ${#queue[@]} -gt 0 ]; do
        path=${queue[0]}
        queue=("${queue[@]:1}")
        printf '%s\n' "$path"
        while read -r sub; do
            queue+=("${path:+$path }$sub")
        done < <(subcommands "$path")
    done
}

# CLI11 pads the option column to 30 characters, so an option 27 characters wide is followed by its
# description after a single space; help2man takes only two or more for the column break, so one is added.
column_gap() {
    awk '{
        if (substr($0, 1, 3) ~ /^  -/ && substr($0, 29, 1) != " " && substr($0, 30, 1) == " " &&
            substr($0, 31, 1) != " " && length($0) > 30)
            $0 = substr($0, 1, 30) " " substr($0, 31)
        print
    }'
}

# Every help ends with the exit statuses ("Exit status:", then "  0    meaning" a line). help2man makes them
# the EXIT STATUS section: a "*Section*" line starts a section of that name, and each indented status with
# its meaning becomes a tagged paragraph. The list comes once, after all options, as the program's help
# has it; the subcommands' copies are left out.
before_exit_statuses() {
    sed '/^Exit status:$/,$d'
}
exit_statuses() {
    sed -n '/^Exit status:$/,$p' | tail -n +2
}

man_help() {
    local path first=1
    while IFS= read -r path; do
        if [ $first -eq 1 ]; then
            help "" | before_exit_statuses | column_gap
            first=0
            continue
        fi
        # help2man makes "Xxx options:" a subsection of its own.
        printf '\n%s options:\n' "${path^}"
        help "$path" | sed -n '/^Options:$/,$p' | tail -n +2 | before_exit_statuses | column_gap
    done < <(command_paths)
    printf '\n*Exit Status*\n'
    help "" | exit_statuses
}

completion() {
    local function_name="_${name//-/_}" path names kind values all valued dirs files subs
    cat <<HEAD
# bash completion for $name: options, subcommands and option values.
# Generated from \`$name --help\` when $name was built; do not edit.

# ${function_name}_command PATH: sets the options, those taking a value and the subcommands of PATH.
${function_name}_command() {
    case "\$1" in
HEAD
    local value_cases=""
    while IFS= read -r path; do
        all="" valued="" dirs="" files="" subs=""
        while IFS='|' read -r names kind values; do
            all+=" $names"
            [ "$kind" = flag ] || valued+=" $names"
            [ "$kind" = dir ] && dirs+=" $names"
            [ "$kind" = file ] && [ -z "$values" ] && files+=" $names"
            if [ -n "$values" ]; then
                for option in $names; do
                    value_cases+="    \"$path $option\") echo \"$values\" ;;"$'\n'
                done
            fi
        done < <(options "$path")
        subs=$(subcommands "$path" | tr '\n' ' ')
        cat <<CASE
    "$path")
        options="${all# }"
        valued=" ${valued# } "
        directories=" ${dirs# } "
        files=" ${files# } "
        subcommands="${subs% }"
        ;;
CASE
    done < <(command_paths)
    cat <<TAIL
    esac
}

# ${function_name}_values PATH OPTION: the values OPTION of PATH accepts, when the help lists them.
${function_name}_values() {
    case "\$1 \$2" in
${value_cases}    esac
}

${function_name}() {
    local cur=\${COMP_WORDS[COMP_CWORD]} prev="" path="" i word values
    local options valued directories files subcommands
    [ "\$COMP_CWORD" -gt 0 ] && prev=\${COMP_WORDS[COMP_CWORD - 1]}
    # --option=value arrives as "--option" "=" "value".
    if [ "\$cur" = "=" ]; then
        cur=""
    elif [ "\$prev" = "=" ] && [ "\$COMP_CWORD" -gt 1 ]; then
        prev=\${COMP_WORDS[COMP_CWORD - 2]}
    fi
    ${function_name}_command ""
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=\${COMP_WORDS[i]}
        if [[ \$valued == *" \$word "* ]]; then
            ((i++)) # the option's value
        elif [[ " \$subcommands " == *" \$word "* ]]; then
            path=\${path:+\$path }\$word
            ${function_name}_command "\$path"
        fi
    done
    COMPREPLY=()
    if [[ \$valued == *" \$prev "* ]]; then
        values=\$(${function_name}_values "\$path" "\$prev")
        if [ -n "\$values" ]; then
            mapfile -t COMPREPLY < <(compgen -W "\$values" -- "\$cur")
        elif [[ \$directories == *" \$prev "* ]]; then
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -d -- "\$cur")
        elif [[ \$files == *" \$prev "* ]]; then
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "\$cur")
        fi
        return 0
    fi
    mapfile -t COMPREPLY < <(compgen -W "\$options \$subcommands" -- "\$cur")
}
complete -F ${function_name} $name
TAIL
}

case "$mode" in
man-help | completion) ;;
*) usage ;;
esac
if [ -z "$output" ]; then
    "${mode/-/_}"
else
    "${mode/-/_}" >"$output.part"
    mv -f "$output.part" "$output"
fi
