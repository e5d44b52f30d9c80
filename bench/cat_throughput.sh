#!/usr/bin/env bash
# Output throughput in the real window: `cat` of a 15 MB text file (150,000
# lines of 100 characters) in a 120x40 quillmar window on a virtual X server,
# against the pseudo-terminal's own throughput in the same run
# (`script -q -c "cat FILE" /dev/null > /dev/null`). The time in quillmar runs
# until the terminal has answered a device-attributes query sent after the
# file, so output still waiting in the terminal counts. Prints the median of
# several runs of each, quillmar's share of the pseudo-terminal's speed, and
# the CPU time quillmar spent on one cat (steadier than wall time on a busy
# machine).
#   bench/cat_throughput.sh <quillmar> [runs, default 5]
set -u
here=$(cd "$(dirname "$0")" && pwd)
app=$(realpath "$1")
runs=${2:-5}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export BENCH_APP=$app BENCH_WORK=$work BENCH_RUNS=$runs BENCH_HERE=$here
awk 'BEGIN { for (i = 0; i < 150000; i++) {
  s = sprintf("%06d ", i); while (length(s) < 99) s = s substr("the quick brown fox jumps over a lazy dog 0123456789 ", 1 + i % 7, 99 - length(s))
  print s } }' >"$work/file"

# In the terminal: the elapsed microseconds from before `cat` to the answer.
cat >"$work/timed-cat" <<'INNER'
#!/usr/bin/env bash
out=$1 file=$2
stty -icanon -echo
s=$(date +%s%N)
cat "$file"
printf '\033[c'
IFS= read -r -s -d c -t 30 _
e=$(date +%s%N)
stty sane
echo $(((e - s) / 1000)) >"$out"
INNER
chmod +x "$work/timed-cat"

xvfb-run -a -s "-screen 0 1920x1200x24" bash -c '
  . "$BENCH_HERE/x-session.sh"
  bench_home
  bench_start_quillmar || exit 1
  bench_size_grid 120 40 || { bench_stop_quillmar; exit 1; }
  for i in $(seq 1 "$BENCH_RUNS"); do
    # The pseudo-terminal alone, in the same run.
    s=$(date +%s%N)
    script -q -c "cat $BENCH_WORK/file" /dev/null >/dev/null
    e=$(date +%s%N)
    echo $(((e - s) / 1000)) >>"$BENCH_WORK/pty"
    rm -f "$BENCH_WORK/out"
    c0=$(awk "{ print \$14 + \$15 }" "/proc/$app_pid/stat")
    bench_type "$BENCH_WORK/timed-cat $BENCH_WORK/out $BENCH_WORK/file"
    bench_waitfile "$BENCH_WORK/out" 600 || { echo "quillmar did not finish the cat" >&2; break; }
    cat "$BENCH_WORK/out" >>"$BENCH_WORK/quillmar"
    # What quillmar itself spent (clock ticks), a figure a loaded machine disturbs less.
    echo $(($(awk "{ print \$14 + \$15 }" "/proc/$app_pid/stat") - c0)) >>"$BENCH_WORK/cpu"
    bench_type clear; sleep 0.5
  done
  bench_stop_quillmar
'
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)]; else print 0 }'; }
[ -s "$work/quillmar" ] || { echo "no figures" >&2; exit 1; }
pty=$(median "$work/pty")
qm=$(median "$work/quillmar")
awk -v p="$pty" -v q="$qm" -v n="$(wc -l <"$work/quillmar")" -v c="$(median "$work/cpu")" -v hz="$(getconf CLK_TCK)" 'BEGIN {
  printf "pseudo-terminal alone: %.3f s; quillmar 120x40: %.3f s; quillmar reaches %.0f%% (median of %d)\n",
    p / 1e6, q / 1e6, 100 * p / q, n
  printf "quillmar CPU time per cat: %.2f s\n", c / hz }'
