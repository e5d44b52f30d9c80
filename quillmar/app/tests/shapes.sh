#!/usr/bin/env bash
# Starts quillmar on a virtual X server, prints a box, a row of bars and a
# 40 x 40 red sixel picture with printf in its shell, and checks the
# screenshot: the box's borders have no gap, the picture's cells are red.
#   shapes.sh <quillmar> <check_shapes_on_screen> [screenshot to keep]
# QT_SCALE_FACTOR, when set, is passed on to the application.
set -u
app=$1
checker=$2
keep=${3:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work ZDOTDIR=$work
printf "PS1='$ '\n" >"$work/.zshrc"
# Typed as one short command; the characters themselves come from the file.
cat >"$work/show.sh" <<'SHOW'
printf '\033[2J\033[H\n\033[38;2;0;255;0m┌──┐\n│  │\n└──┘\033[0m\n\n'
printf '\033[38;2;0;0;255m▁▂▃▄▅▆▇█\033[0m\n\n'
printf '\033Pq#1;2;100;0;0#1!40~-#1!40~-#1!40~-#1!40~-#1!40~-#1!40~-#1!40N\033\\'
printf '\n\n\n\n'
SHOW
export SHAPES_APP=$app SHAPES_CHECKER=$checker SHAPES_WORK=$work

xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  "$SHAPES_APP" >"$SHAPES_WORK/app.log" 2>&1 &
  pid=$!
  status=1
  wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | tail -1)
  if [ -n "$wid" ]; then
    xdotool windowfocus --sync "$wid" 2>/dev/null || true
    sleep 1
    xdotool type --delay 20 "sh ~/show.sh"
    xdotool key Return
    for _ in $(seq 1 40); do
      sleep 0.25
      import -window root "$SHAPES_WORK/shot.png" 2>/dev/null || continue
      if "$SHAPES_CHECKER" "$SHAPES_WORK/shot.png" >"$SHAPES_WORK/check.log" 2>&1; then
        status=0
        break
      fi
    done
    cat "$SHAPES_WORK/check.log"
  else
    echo "shapes: the quillmar window did not appear" >&2
  fi
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  exit $status
'
status=$?
if [ -n "$keep" ] && [ -f "$work/shot.png" ]; then
  cp "$work/shot.png" "$keep"
fi
if [ $status -ne 0 ]; then
  echo "shapes: the screen did not show the shapes" >&2
  cat "$work/app.log" >&2 2>/dev/null
fi
exit $status
