#!/usr/bin/env bash
# tmux in a local tab of the real window: while its client is attached, a
# pane that holds a connection keeps the tab's requests refused (a program
# in tmux that asks through its passthrough for a screen checksum and a
# local file as a kitty image gets neither); once detached with Ctrl+B d,
# the tab's own shell gets the clipboard, the checksum and the file while
# the pane still holds its connection; attached again, refused again. A
# server started outside the window, attached in the tab and detached, leaves
# the tab answered the same way. Skips (77) without tmux.
#   tmux_detach_e2e.sh <quillmar>
set -u
E2E_NAME=tmux_detach
. "$(dirname "$0")/e2e-lib.sh"


on_screen() {
  local w=$E2E_WORK
  e2e_open || return 1
  e2e_run_until "printf '\\e]52;c;$e2e_trust_secret\\a'; tty >$w/tab.tty; echo x >$w/ready" "$w/ready" ||
    e2e_fail "the shell did not start"
  tab_tty=$(cat "$w/tab.tty")

  # Started in the tab; its first pane holds a connection in the background.
  e2e_run "$w/bin/tm tab new-session -s t"
  e2e_poll 200 attached tab || e2e_fail "tmux did not start in the tab"
  e2e_run "$w/bin/hold $w/hold.pid &"
  e2e_waitfile "$w/hold.pid" 300 || e2e_fail "the pane did not connect"
  e2e_run "$w/bin/tmux-query $w/inside.out $w/pixel"
  e2e_waitfile "$w/inside.out.done" 300 || e2e_fail "the program in tmux did not finish"
  e2e_refused inside.out

  detach tab
  e2e_run "$w/bin/local-query $w/detached.out $w/pixel"
  e2e_waitfile "$w/detached.out.done" 300 || e2e_fail "the shell's program did not finish after the detach"
  e2e_ended "$(cat "$w/hold.pid")" && e2e_fail "the pane let go of its connection"
  e2e_answered detached.out

  e2e_run "$w/bin/tm tab attach -t t"
  e2e_poll 200 attached tab || e2e_fail "tmux did not attach again"
  e2e_run "$w/bin/tmux-query $w/again.out $w/pixel"
  e2e_waitfile "$w/again.out.done" 300 || e2e_fail "the program in tmux did not finish once attached again"
  e2e_refused again.out
  detach tab

  # Started outside, with a pane that holds a connection; attached in the tab.
  "$w/bin/tm" out new-session -d -s o -x 100 -y 30 "$w/bin/hold $w/outside.pid" || e2e_fail "no server outside"
  e2e_waitfile "$w/outside.pid" 300 || e2e_fail "the outside pane did not connect"
  e2e_run "$w/bin/tm out attach -t o"
  e2e_poll 200 attached out || e2e_fail "the outside server was not attached"
  "$w/bin/tm" out new-window -t o: "$w/bin/tmux-query $w/outside-in.out $w/pixel"
  e2e_waitfile "$w/outside-in.out.done" 300 || e2e_fail "the program in the outside server did not finish"
  e2e_refused outside-in.out
  detach out
  e2e_run "$w/bin/local-query $w/outside-after.out $w/pixel"
  e2e_waitfile "$w/outside-after.out.done" 300 || e2e_fail "the shell's program did not finish after the second detach"
  e2e_ended "$(cat "$w/outside.pid")" && e2e_fail "the outside pane let go of its connection"
  e2e_answered outside-after.out
  e2e_stop
}

# Whether a client is attached to server NAME.
attached() {
  [ -n "$("$E2E_WORK/bin/tm" "$1" list-clients -F '#{client_pid}' 2>/dev/null)" ]
}

# Detaches the client of server NAME with the keys a person types, and waits
# until it has ended and the server has let go of the tab's terminal.
detach() {
  local client server
  client=$("$E2E_WORK/bin/tm" "$1" list-clients -F '#{client_pid}' 2>/dev/null | head -1)
  server=$("$E2E_WORK/bin/tm" "$1" display-message -p '#{pid}' 2>/dev/null)
  { [ -n "$client" ] && [ -n "$server" ]; } || e2e_fail "nothing attached to $1"
  xdotool key ctrl+b d
  e2e_poll 200 let_go "$client" "$server" || e2e_fail "the client of $1 did not detach"
}

# Whether process CLIENT has ended and SERVER no longer holds the tab's terminal.
#   let_go CLIENT SERVER
let_go() {
  local fd
  e2e_ended "$1" || return 1
  for fd in /proc/"$2"/fd/*; do
    [ "$(readlink "$fd")" != "$tab_tty" ] || return 1
  done
}


e2e_part

command -v tmux >/dev/null || { echo "$E2E_NAME: no tmux; skipped"; exit 77; }
export E2E_APP=$1
e2e_home
e2e_trust_kit
# tm NAME ARGS...: tmux on server NAME, of the test's own socket and configuration.
cat >"$E2E_WORK/bin/tm" <<TM
#!/bin/sh
name=\$1
shift
exec env -u TMUX tmux -S "$E2E_WORK/\$name.sock" -f "$E2E_WORK/tmux.conf" "\$@"
TM
printf '%s\n' 'set -g default-command "bash --norc --noprofile"' 'set -g status off' 'set -g allow-passthrough on' \
  >"$E2E_WORK/tmux.conf"
cat >"$E2E_WORK/bin/hold" <<HOLD
#!/bin/bash
exec 3<>/dev/tcp/127.0.0.1/$(cat "$E2E_WORK/listen.port") || exit 1
echo \$\$ >"\$1"
exec sleep 600
HOLD
# The query program through tmux's passthrough, which hands the terminal's
# replies on to the pane, all but the clipboard's.
cat >"$E2E_WORK/bin/tmux-query" <<'QUERY'
#!/bin/sh
stty raw -echo min 0 time 20
printf '\033Ptmux;\033\033]52;c;?\a\033\\\033Ptmux;\033\033[1;1;1;1;1;5*y\033\\\033Ptmux;\033\033_Gi=31,a=t,t=f,f=32,s=1,v=1;%s\033\033\\\033\\' \
  "$(printf %s "$2" | base64 -w0)"
cat >"$1"
stty sane
echo x >"$1.done"
QUERY
chmod +x "$E2E_WORK/bin/tm" "$E2E_WORK/bin/hold" "$E2E_WORK/bin/tmux-query"
stop_servers() {
  "$E2E_WORK/bin/tm" tab kill-server 2>/dev/null
  "$E2E_WORK/bin/tm" out kill-server 2>/dev/null
  e2e_cleanup
}
trap stop_servers EXIT
e2e_xvfb on_screen
e2e_finish $? "" ""
