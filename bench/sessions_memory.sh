#!/usr/bin/env bash
# Memory of quillmar with 50 open local sessions, each with its scrollback
# filled (seq 1 2000, more than the default 500 lines), on a virtual X
# server: the proportional set size (PSS) of the application and of every
# process under it, summed, in MB. The budget is 200 MB.
#   sessions_memory.sh <quillmar> [sessions]
set -u
app=$1
n=${2:-50}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/run"
chmod 700 "$work/run"
export HOME=$work ZDOTDIR=$work XDG_CONFIG_HOME=$work/.config XDG_DATA_HOME=$work/.local/share XDG_RUNTIME_DIR=$work/run
printf "PS1='$ '\n" >"$work/.zshrc"
export MEM_APP=$app MEM_N=$n MEM_WORK=$work

xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  w=$MEM_WORK
  "$MEM_APP" >"$w/app.log" 2>&1 &
  pid=$!
  wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | tail -1)
  [ -n "$wid" ] || { echo "sessions_memory: no window" >&2; kill $pid; exit 1; }
  xdotool windowfocus --sync "$wid" 2>/dev/null || true
  for _ in $(seq 1 20); do
    xdotool type --delay 5 "echo ready > $w/ready"; xdotool key Return
    for _ in $(seq 1 20); do [ -s "$w/ready" ] && break; sleep 0.1; done
    [ -s "$w/ready" ] && break
  done
  for i in $(seq 1 "$MEM_N"); do
    [ "$i" -gt 1 ] && { xdotool key ctrl+shift+t; sleep 0.2; }
    xdotool type --delay 5 "seq 1 2000; echo \$\$ >> $w/pids"; xdotool key Return
  done
  for _ in $(seq 1 100); do [ "$(wc -l < "$w/pids" 2>/dev/null || echo 0)" -ge "$MEM_N" ] && break; sleep 0.2; done
  sleep 2
  shells=$(wc -l < "$w/pids")
  # The application and all its descendants.
  all="$pid"; frontier="$pid"
  while [ -n "$frontier" ]; do
    next=""
    for p in $frontier; do
      kids=$(cat /proc/$p/task/*/children 2>/dev/null)
      next="$next $kids"
    done
    frontier=$(echo $next)
    all="$all $frontier"
  done
  total=0; app=0
  for p in $all; do
    kb=$(awk "/^Pss:/ {print \$2}" /proc/$p/smaps_rollup 2>/dev/null || echo 0)
    total=$((total + ${kb:-0}))
    [ "$p" = "$pid" ] && app=${kb:-0}
  done
  count=$(echo $all | wc -w)
  echo "sessions_memory: $shells sessions answered; $count processes; PSS total $((total / 1024)) MB (application $((app / 1024)) MB, children $(((total - app) / 1024)) MB)"
  kill "$pid"; wait "$pid" 2>/dev/null
  [ "$shells" -ge "$MEM_N" ] && [ $((total / 1024)) -lt 200 ]
'
