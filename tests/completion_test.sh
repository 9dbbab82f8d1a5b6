#!/usr/bin/env bash
# The generated bash completion, run the way bash runs it: each row is a command line with the
# cursor at its end and the words the completion must offer for the part the shell replaces.
# Usage: completion_test.sh COMPLETION-FILE
set -uo pipefail
completion=$1
source /usr/share/bash-completion/bash_completion
source "$completion"

files=$(mktemp -d)
trap 'rm -rf "$files"' EXIT
touch "$files/a.bin" "$files/trace.jsonl"

# COMP_WORDS as bash makes them: blanks separate words, '=' and ':' are words of their own.
split_line() {
    local line=$1 word= c i
    COMP_WORDS=()
    for ((i = 0; i < ${#line}; i++)); do
        c=${line:i:1}
        if [[ $c == ' ' ]]; then
            [[ -n $word ]] && COMP_WORDS+=("$word")
            word=
        elif [[ $c == [=:] ]]; then
            [[ -n $word ]] && COMP_WORDS+=("$word")
            COMP_WORDS+=("$c")
            word=
        else
            word+=$c
        fi
    done
    COMP_WORDS+=("$word")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
}

# Offers for the line, sorted, on one line.
offers() {
    local line=$1 function
    COMP_LINE=$line
    COMP_POINT=${#line}
    split_line "$line"
    function=$(complete -p "${COMP_WORDS[0]}" 2>/dev/null | sed -n 's/.*-F \([^ ]*\).*/\1/p')
    [[ -n $function ]] || { echo "(no completion for ${COMP_WORDS[0]})"; return; }
    COMPREPLY=()
    "$function" 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

rows=(
    "LD4740 --tr|--trace= --transport="
    "WINDWL2 --ba|--batch"
    "LD4740 --a|--all"
    "HLVDOWNLOAD -|--batch --check --device= --emulate= --help --history --json --list \
--real-time --restore-polling --trace= --transport= --version --yes -h"
    "LD4740 --transport=|sg sr"
    "LD4740 --transport=g|"
    "DUALDOWNLOAD --transport=s|sg sr"
    "LD4740 --emulate=ld474|LD4740 LD4741 LD4742"
    "LD4740 --emulate=LD4740,lo|LD4740,loader-revision= LD4740,loader="
    "LD4740 --emulate=LD4740,disc=|0 1"
    "LD4740 --emulate=LD4740,disc=1,po|1,poll="
    "LD4740 --emulate=LD4740,fail=EA:05/2C/00,ha|05/2C/00,hang="
    "LD4740 --emulate=LD4740,identity=|"
    "LD4740 --device=/dev/nul|/dev/null"
    "LD4740 --trace=$files/tr|$files/trace.jsonl"
    "LD4740 --batch $files/a|$files/a.bin"
    "LD4740 -- --b|"
    "discflash-mkimage ld47|LD4740 LD4741 LD4742"
    "discflash-mkimage LD4740 $files/a|$files/a.bin"
    "discflash-mkimage --s|--size"
    "discflash-mkimage --size 4096 LDM|LDMULTI"
    "discflash-mkimage --size=|"
)
failed=0
for row in "${rows[@]}"; do
    line=${row%%|*} want=${row#*|}
    got=$(offers "$line")
    if [[ $got != "$want" ]]; then
        echo "FAIL: '$line': offered '$got', want '$want'"
        failed=$((failed + 1))
    fi
done
echo "$(( ${#rows[@]} - failed )) passed, $failed failed"
((failed == 0))
