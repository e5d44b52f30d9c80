#!/usr/bin/env bash
# Times quillmar on a virtual X server: from process start to the first
# painted shell prompt, and from Ctrl+Shift+T to the new tab's first frame.
# Prints the median and the worst of several runs, in milliseconds.
#   bench/app_startup.sh <quillmar> [runs, default 7]
set -u
app=$1
runs=${2:-7}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/run"
chmod 700 "$work/run"
export HOME=$work ZDOTDIR=$work XDG_CONFIG_HOME=$work/.config XDG_DATA_HOME=$work/.local/share \
  XDG_RUNTIME_DIR=$work/run QUILLMAR_PROFILE=1 BENCH_APP=$app BENCH_WORK=$work BENCH_RUNS=$runs
printf "PS1='$ '\n" >"$work/.zshrc"

xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  for i in $(seq 1 "$BENCH_RUNS"); do
    "$BENCH_APP" >"$BENCH_WORK/log.$i" 2>&1 &
    pid=$!
    wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | tail -1)
    for _ in $(seq 1 50); do grep -q "first prompt painted" "$BENCH_WORK/log.$i" && break; sleep 0.1; done
    xdotool windowfocus --sync "$wid" 2>/dev/null
    xdotool key ctrl+shift+t
    for _ in $(seq 1 50); do grep -q "new tab first frame" "$BENCH_WORK/log.$i" && break; sleep 0.1; done
    kill "$pid"; wait "$pid" 2>/dev/null
  done
'
summary() {
  sort -n | awk -v what="$1" '{ v[NR] = $1 } END {
    if (NR == 0) { print what ": no figures"; exit 1 }
    printf "%s: median %.1f ms, worst %.1f ms over %d runs\n", what, v[int((NR + 1) / 2)], v[NR], NR }'
}
cat "$work"/log.* | sed -n "s/.*first prompt painted \([0-9.]*\) ms.*/\1/p" | summary "start-up to first painted prompt"
cat "$work"/log.* | sed -n "s/.*new tab first frame after \([0-9.]*\) ms.*/\1/p" | summary "new local tab to first frame"
