# shellcheck shell=bash
# Shared by the benchmarks that drive the real quillmar window on a virtual X
# server: a temporary home with a quiet zsh, the window sized to a grid.

# Sets up the home under $BENCH_WORK (which must exist).
bench_home() {
  mkdir -p "$BENCH_WORK/run"
  chmod 700 "$BENCH_WORK/run"
  export HOME=$BENCH_WORK ZDOTDIR=$BENCH_WORK XDG_CONFIG_HOME=$BENCH_WORK/.config \
    XDG_DATA_HOME=$BENCH_WORK/.local/share XDG_RUNTIME_DIR=$BENCH_WORK/run
  printf "PS1='$ '\n" >"$BENCH_WORK/.zshrc"
}

# Types a command line and Return.
bench_type() {
  xdotool type --delay 10 "$1"
  xdotool key Return
}

# Waits until FILE is not empty, at most TENTHS tenths of a second.
bench_waitfile() {
  for _ in $(seq 1 "${2:-100}"); do [ -s "$1" ] && return 0; sleep 0.1; done
  return 1
}

# Starts quillmar ($BENCH_APP) and focuses its window; sets app_pid and app_wid.
bench_start_quillmar() {
  "$BENCH_APP" >"$BENCH_WORK/app.log" 2>&1 &
  app_pid=$!
  app_wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$app_pid" | tail -1)
  [ -n "$app_wid" ] || { echo "the quillmar window did not appear" >&2; return 1; }
  xdotool windowfocus --sync "$app_wid" 2>/dev/null || true
  # The shell may still be starting: type until it answers.
  rm -f "$BENCH_WORK/size"
  for _ in $(seq 1 20); do
    bench_type "stty size > $BENCH_WORK/size"
    bench_waitfile "$BENCH_WORK/size" 10 && return 0
  done
  echo "the shell in quillmar did not answer" >&2
  return 1
}

# The terminal's "rows cols", asked from its shell.
bench_grid() {
  rm -f "$BENCH_WORK/size"
  bench_type "stty size > $BENCH_WORK/size"
  bench_waitfile "$BENCH_WORK/size" 50 && cat "$BENCH_WORK/size"
}

# Resizes the quillmar window until its terminal has COLS columns and ROWS rows.
bench_size_grid() {
  local cols=$1 rows=$2 w h r c r2 c2 cw ch
  eval "$(xdotool getwindowgeometry --shell "$app_wid" | grep -E '^(WIDTH|HEIGHT)=')"
  w=$WIDTH h=$HEIGHT
  read -r r c <<<"$(bench_grid)"
  xdotool windowsize --sync "$app_wid" $((w + 200)) $((h + 200)) 2>/dev/null; sleep 0.3
  read -r r2 c2 <<<"$(bench_grid)"
  cw=$((200 * 1000 / (c2 - c + (c2 == c))))  # thousandths of a pixel
  ch=$((200 * 1000 / (r2 - r + (r2 == r))))
  w=$((w + 200 + ((cols - c2) * cw + cw / 2) / 1000))
  h=$((h + 200 + ((rows - r2) * ch + ch / 2) / 1000))
  for _ in 1 2 3 4; do
    xdotool windowsize --sync "$app_wid" "$w" "$h" 2>/dev/null; sleep 0.3
    read -r r c <<<"$(bench_grid)"
    [ "$r" = "$rows" ] && [ "$c" = "$cols" ] && return 0
    w=$((w + ((cols - c) * cw) / 1000)) h=$((h + ((rows - r) * ch) / 1000))
  done
  echo "could not size the window to ${cols}x$rows (have ${c}x$r)" >&2
  return 1
}

bench_stop_quillmar() {
  kill "$app_pid" 2>/dev/null
  wait "$app_pid" 2>/dev/null
  return 0
}
