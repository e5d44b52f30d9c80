#!/usr/bin/env bash
# Whole-process feed speed of Ravelgrid (rgdump) against libvterm on the same
# corpora at 120x40: each program starts, feeds the file in 64 KiB pieces and
# exits; the median of RUNS wall times counts.
#
#   bash bench/vterm_compare.sh [BUILD_DIR] [MiB] [RUNS] [CORPUS...]
#
# BUILD_DIR (default build) must hold tools/rgdump from a release build.
# Needs libvterm-dev (scripts/install-deps.sh installs it).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-"$here/../build"}
mib=${2:-16}
runs=${3:-5}
shift $(( $# < 3 ? $# : 3 ))
corpora=("$@")
[ ${#corpora[@]} -gt 0 ] || corpora=(ascii sgr unicode cursor region)
cols=120
rows=40

rgdump="$build/tools/rgdump"
if [ ! -x "$rgdump" ]; then
  echo "vterm_compare: $rgdump is missing: build the rgdump target first" >&2
  exit 1
fi
if ! pkg-config --exists vterm; then
  echo "vterm_compare: libvterm-dev is not installed" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cc -O2 -o "$work/vterm_corpus" "$here/vterm_corpus.c"
# shellcheck disable=SC2046
cc -O2 -o "$work/vterm_feed" "$here/vterm_feed.c" $(pkg-config --cflags --libs vterm)

# Median wall time of a command in milliseconds.
median_ms() {
  local times=() start end
  for ((r = 0; r < runs; r++)); do
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    times+=($(( (end - start) / 1000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END { printf "%.1f", t[int((NR + 1) / 2)] / 1000 }'
}

printf '%-8s %10s %12s %12s %10s %12s %8s\n' corpus MiB ravelgrid_ms libvterm_ms ravel_MB/s libvterm_MB/s ratio
for corpus in "${corpora[@]}"; do
  file="$work/$corpus.bin"
  "$work/vterm_corpus" "$corpus" "$mib" >"$file"
  bytes=$(stat -c %s "$file")
  ours=$(median_ms "$rgdump" --cols $cols --rows $rows --chunk 65536 "$file")
  theirs=$(median_ms "$work/vterm_feed" $cols $rows "$file")
  awk -v c="$corpus" -v b="$bytes" -v o="$ours" -v t="$theirs" 'BEGIN {
    printf "%-8s %10.1f %12.1f %12.1f %10.0f %12.0f %7.2fx\n", c, b / 1048576, o, t, b / 1e3 / o, b / 1e3 / t, t / o }'
  rm -f "$file"
done
