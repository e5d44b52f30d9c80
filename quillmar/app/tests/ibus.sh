#!/usr/bin/env bash
# An input method in the real window: ibus composes a dead acute and "e",
# the preedit shows at the caret meanwhile, and the commit reaches the
# child as the UTF-8 of "é" (cat -v shows M-CM-)).
#   ibus.sh <quillmar> <find_text_on_screen> [screenshot to keep]
set -u
E2E_NAME=ibus
. "$(dirname "$0")/e2e-lib.sh"

on_screen() {
  local w=$E2E_WORK status=1
  ibus-daemon --daemonize --replace --panel=disable >"$w/ibus.log" 2>&1
  # A loaded machine can take many seconds to bring ibus up; the window
  # only finds the input method if it is there when it starts.
  local ready=1
  for _ in $(seq 1 120); do
    ibus engine xkb:us::eng >>"$w/ibus.log" 2>&1 && ready=0 && break
    sleep 0.25
  done
  if [ $ready -ne 0 ]; then
    echo "ibus: the ibus daemon did not come up" >&2
    return 1
  fi
  export QT_IM_MODULE=ibus
  if e2e_open; then
    # A steady caret: only the preedit may change the screen.
    xdotool type --delay 20 "printf '\e[2 q'; stty raw -echo; cat -v"
    xdotool key Return
    # Waits are polls with room for a busy machine: a fixed half second
    # was not always enough for ibus and the window to answer.
    sleep 2
    import -window root "$w/before.png" 2>/dev/null
    xdotool key dead_acute
    local shown=1
    for _ in $(seq 1 40); do
      sleep 0.25
      import -window root "$w/preedit.png" 2>/dev/null || continue
      if [ "$(compare -metric AE "$w/before.png" "$w/preedit.png" null: 2>&1)" != "0" ]; then
        shown=0
        break
      fi
    done
    xdotool key e
    e2e_until -n 120 "$E2E_FINDER" "$w/shot.png" "M-CM-)" >/dev/null && status=0
    # The preedit changed the screen before anything was committed.
    if [ $status -eq 0 ] && [ $shown -ne 0 ]; then
      echo "ibus: the preedit was not shown" >&2
      status=1
    fi
  fi
  e2e_stop
  ibus exit >/dev/null 2>&1
  return $status
}
e2e_part

export E2E_APP=$1 E2E_FINDER=$2
e2e_home
e2e_xvfb on_screen dbus-run-session -- 2>"$E2E_WORK/dbus.log"
e2e_finish $? "${3:-}" "the composed character did not reach the child" \
  "$E2E_WORK/app.log" "$E2E_WORK/ibus.log" "$E2E_WORK/dbus.log"
