#!/usr/bin/env bash
# Peak resident memory of a headless terminal holding a large scrollback, in
# MiB (the maximum resident set size that /usr/bin/time reports for the
# whole rgdump process). The output reaches rgdump through its pty, so the
# process holds no copy of the input; only the terminal's own storage grows.
#   scrollback_memory.sh <rgdump>
# Budgets: 32 MiB for 100,000 lines of 100 printable characters kept on 120
# columns, 150 MiB for a million one-character lines kept on 1000 columns.
set -eu
rgdump=${1:?usage: scrollback_memory.sh <rgdump>}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

line=$(printf '%s' '!"#$%&'"'"'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\]^_`abcdefghijklmnopqrstuvwxyz{|}~!"#$%&')
[ ${#line} -eq 100 ] || { echo "scrollback_memory: the text line is ${#line} characters" >&2; exit 1; }
yes "$line" | head -n 100000 >"$work/text"
yes x | head -n 1000000 >"$work/short"

# peak <cols> <scrollback> <command...>: the peak in MiB.
peak() {
    local cols=$1 scrollback=$2
    shift 2
    /usr/bin/time -f '%M' -o "$work/rss" "$rgdump" --cols "$cols" --scrollback "$scrollback" --timeout 120 -- "$@" >/dev/null
    awk '{ printf "%.1f", $1 / 1024 }' "$work/rss"
}

echo "100000 lines of 100 characters, 120 columns: $(peak 120 100000 cat "$work/text") MiB peak"
# Line feeds alone (no carriage return): after the first thousand lines every
# row holds its one character in the last column, a blank run before it.
echo "1000000 one-character lines, 1000 columns: $(peak 1000 1000000 sh -c "stty -onlcr; cat '$work/short'") MiB peak"
