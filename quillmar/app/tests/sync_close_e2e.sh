#!/usr/bin/env bash
# A tab whose program turns synchronized output on, asks 80 screen checksums
# one at a time (each waits while the tab's trust is looked at) and exits,
# which closes the tab: four times in a row, and the window lives on past
# the second after which the output would have been shown anyway.
#   sync_close_e2e.sh <quillmar>
set -u
E2E_NAME=sync_close_e2e
. "$(dirname "$0")/e2e-lib.sh"

# Whether FILE has been written or the window has died.
written_or_dead() { [ -s "$1" ] || e2e_ended "$pid"; }

# Types LINE until FILE is written, failing at once when the window dies.
run_while_alive() {
  for _ in 1 2 3 4 5; do
    e2e_run "$1"
    e2e_poll 100 written_or_dead "$2"
    ! e2e_ended "$pid" || e2e_fail "$3: the window died"
    [ ! -s "$2" ] || return 0
  done
  e2e_fail "$3: no answer"
}

on_screen() {
  local w=$E2E_WORK first round before shell
  e2e_open || return 1
  run_while_alive "echo \$\$ >$w/first" "$w/first" "the first shell"
  first=$(cat "$w/first")
  for round in 1 2 3 4; do
    before=$(xdotool getwindowname "$wid")
    xdotool key ctrl+shift+t
    e2e_poll 100 e2e_not e2e_titled "$before" || e2e_fail "round $round: Ctrl+Shift+T showed no new tab"
    run_while_alive "echo \$\$ >$w/shell$round" "$w/shell$round" "round $round, the new shell"
    shell=$(cat "$w/shell$round")
    [ "$shell" != "$first" ] || e2e_fail "round $round: the line went to the first tab"
    e2e_run "exec python3 $w/checksums.py $w/answers$round"
    e2e_poll 300 written_or_dead "$w/answers$round"
    ! e2e_ended "$pid" || e2e_fail "round $round: the window died while the checksums were asked"
    [ "$(cat "$w/answers$round" 2>/dev/null)" = 80 ] ||
      e2e_fail "round $round: $(cat "$w/answers$round" 2>/dev/null) of 80 checksums answered"
    e2e_poll 100 e2e_ended "$shell" || e2e_fail "round $round: the program did not end"
    # Past the synchronized-output timeout of the closed tab, in the first one.
    run_while_alive "sleep 1.5; echo \$\$ >$w/alive$round" "$w/alive$round" "round $round, after the tab closed"
    [ "$(cat "$w/alive$round")" = "$first" ] || e2e_fail "round $round: the tab did not close"
  done
  e2e_stop
}
e2e_part

export E2E_APP=$1
# Freed memory is overwritten, so that a use of it shows as a crash.
export MALLOC_PERTURB_=${MALLOC_PERTURB_:-165}
e2e_home
# Reads each reply whole before asking again; gives up after ten quiet seconds.
cat >"$E2E_WORK/checksums.py" <<'PY'
import os, select, sys, termios, tty
fd = os.open("/dev/tty", os.O_RDWR)
saved = termios.tcgetattr(fd)
tty.setraw(fd)
answered = 0
try:
    os.write(fd, b"\x1b[?2026h")
    for i in range(80):
        os.write(fd, b"\x1b[%d;1;1;1;1;5*y" % (i + 1))
        reply = b""
        while not reply.endswith(b"\x1b\\") and select.select([fd], [], [], 10)[0]:
            reply += os.read(fd, 64)
        if b"%d!~" % (i + 1) not in reply:
            break
        answered += 1
finally:
    termios.tcsetattr(fd, termios.TCSADRAIN, saved)
with open(sys.argv[1], "w") as out:
    out.write("%d\n" % answered)
PY
e2e_xvfb on_screen
e2e_finish $? "" ""
