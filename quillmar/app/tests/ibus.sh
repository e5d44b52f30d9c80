#!/usr/bin/env bash
# An input method in the real window: ibus composes a dead acute and "e",
# the preedit shows at the caret meanwhile, and the commit reaches the
# child as the UTF-8 of "é" (cat -v shows M-CM-)).
#   ibus.sh <quillmar> <find_text_on_screen> [screenshot to keep]
set -u
E2E_NAME=ibus
. "$(dirname "$0")/e2e-lib.sh"

# Says how far the test got.
step() { echo "ibus: $* ($SECONDS s)"; }

on_screen() {
  local w=$E2E_WORK status=1
  # No emoji extension: it is a GTK program, and GTK's accessibility bridge
  # starts the AT-SPI bus and registry, which can outlive the session and
  # keep ctest's output pipe open.
  export NO_AT_BRIDGE=1
  ibus-daemon --daemonize --replace --panel=disable --emoji-extension=disable >"$w/ibus.log" 2>&1
  # A loaded machine can take many seconds to bring ibus up; the window
  # only finds the input method if it is there when it starts.
  local ready=1
  for _ in $(seq 1 120); do
    timeout 10 ibus engine xkb:us::eng >>"$w/ibus.log" 2>&1 && ready=0 && break
    sleep 0.25
  done
  if [ $ready -ne 0 ]; then
    echo "ibus: the ibus daemon did not come up" >&2
    return 1
  fi
  step "ibus is up"
  export QT_IM_MODULE=ibus
  if e2e_open; then
    step "the window is open"
    # A steady caret: only the preedit may change the screen.
    xdotool type --delay 20 "printf '\e[2 q'; stty raw -echo; cat -v"
    xdotool key Return
    # Waits are polls with room for a busy machine: a fixed half second
    # was not always enough for ibus and the window to answer.
    e2e_poll 200 e2e_running cat || echo "ibus: cat did not start" >&2
    # One composition first, until it reaches the child: on a busy machine
    # ibus may give the window's input context its engine only later.
    local warm=1
    for _ in $(seq 1 5); do
      xdotool key dead_acute e
      if e2e_until -n 20 "$E2E_FINDER" "$w/shot.png" "M-CM-)" 1 >/dev/null; then
        warm=0
        break
      fi
    done
    step "a first composition reached the child: $((1 - warm))"
    # A dead key that xdotool has to map for the moment can be lost on a
    # busy machine ("e" then reaches the child alone): the composition is
    # tried again, a few times, each with its own preedit check.
    local attempt shown
    for attempt in 1 2 3; do
      # The reference: the first of two screenshots in a row that agree.
      import -window root "$w/before.png" 2>/dev/null
      for _ in $(seq 1 20); do
        sleep 0.2
        import -window root "$w/again.png" 2>/dev/null || continue
        [ "$(compare -metric AE "$w/before.png" "$w/again.png" null: 2>&1)" = "0" ] && break
        mv "$w/again.png" "$w/before.png"
      done
      xdotool key dead_acute
      shown=1
      for _ in $(seq 1 40); do
        sleep 0.25
        import -window root "$w/preedit.png" 2>/dev/null || continue
        if [ "$(compare -metric AE "$w/before.png" "$w/preedit.png" null: 2>&1)" != "0" ]; then
          shown=0
          break
        fi
      done
      step "preedit shown: $((1 - shown)) (try $attempt)"
      xdotool key e
      e2e_until -n 30 "$E2E_FINDER" "$w/shot.png" "M-CM-)" 2 >/dev/null && status=0
      [ $status -eq 0 ] && break
    done
    # The preedit changed the screen before anything was committed.
    if [ $status -eq 0 ] && [ $shown -ne 0 ]; then
      echo "ibus: the preedit was not shown" >&2
      status=1
    fi
  fi
  step "commit seen: $((1 - status))"
  e2e_stop
  timeout 10 ibus exit >/dev/null 2>&1
  return $status
}
e2e_part

export E2E_APP=$1 E2E_FINDER=$2
e2e_home
# A bus that starts nothing by itself: a keyring it started would put its
# password prompt over the window and take the keys meant for ibus.
e2e_private_bus
# Whatever the session starts writes to files, never to ctest's pipe, which
# a daemon that outlives the session would keep open until ctest's timeout;
# the session's own time is bounded below that timeout, so that a slow run
# still reports.
e2e_xvfb on_screen timeout -k 5 200 dbus-run-session --config-file="$E2E_WORK/bus.conf" -- \
  >"$E2E_WORK/steps.log" 2>"$E2E_WORK/dbus.log"
status=$?
cat "$E2E_WORK/steps.log"
e2e_finish $status "${3:-}" "the composed character did not reach the child" \
  "$E2E_WORK/app.log" "$E2E_WORK/ibus.log" "$E2E_WORK/dbus.log"
