#!/usr/bin/env bash
# Starts quillmar on a virtual X server, has the shell print a Hebrew and an
# Arabic line (typed as printf octal escapes, which xdotool types reliably)
# and checks the window's screenshot: the ink of those rows lies at the
# right end, the command line's at the left.
#   bidi_smoke.sh <quillmar> <right_aligned_ink> [screenshot to keep]
set -u
app=$1
checker=$2
keep=${3:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work ZDOTDIR=$work
printf "PS1='$ '\n" >"$work/.zshrc"
export BIDI_APP=$app BIDI_CHECKER=$checker BIDI_WORK=$work

xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  "$BIDI_APP" >"$BIDI_WORK/app.log" 2>&1 &
  pid=$!
  status=1
  wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | tail -1)
  if [ -n "$wid" ]; then
    xdotool windowfocus --sync "$wid" 2>/dev/null || true
    sleep 1
    xdotool type --delay 10 "clear; printf '"'"'\327\251\327\234\327\225\327\235 \327\242\327\225\327\234\327\235\n\331\205\330\261\330\255\330\250\330\247\n'"'"'"
    xdotool key Return
    for _ in $(seq 1 40); do
      sleep 0.25
      import -window "$wid" "$BIDI_WORK/shot.png" 2>/dev/null || continue
      if "$BIDI_CHECKER" "$BIDI_WORK/shot.png" 2 >"$BIDI_WORK/check.log" 2>&1; then
        status=0
        break
      fi
    done
  else
    echo "bidi smoke: the quillmar window did not appear" >&2
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
  echo "bidi smoke: no right-aligned Hebrew and Arabic rows on the screen" >&2
  cat "$work/check.log" "$work/app.log" >&2 2>/dev/null
fi
exit $status
