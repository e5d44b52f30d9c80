#!/usr/bin/env bash
# Drives the real quillmar on a virtual X server against a throwaway sshd on
# 127.0.0.1: the host is named in a temporary ~/.ssh/config, picked in the
# sidebar with the keyboard (filter, Down, Return), and a command typed in
# the new tab must run on the server.
#
# ssh reads ~/.ssh/config from the password database's home, not from $HOME,
# and the application runs plain `/usr/bin/ssh <alias>`. So the test runs in
# a private mount namespace where a copy of /etc/passwd, with this user's
# home pointing at the temporary folder, is bound over /etc/passwd. Nothing
# outside the namespace (and no real file) is touched.
#   sidebar_e2e.sh <quillmar>
set -u
E2E_NAME=sidebar_e2e
. "$(dirname "$0")/e2e-lib.sh"

sshchild() { pgrep -P "$pid" -f "^/usr/bin/ssh e2e-target\$" >/dev/null; }

on_screen() {
  local w=$E2E_WORK
  e2e_start || e2e_fail "the window did not appear"
  xdotool windowactivate --sync "$wid" 2>/dev/null || true
  e2e_poll 50 e2e_focused "$wid" || e2e_fail "the window did not get the keyboard"

  # The filter field sits under the brand header at the top of the sidebar.
  # The click focuses it before the keys after it are taken, and the list
  # follows the filter as it changes.
  xdotool mousemove --window "$wid" 110 58 click 1
  xdotool type --delay 20 " E2E "
  # Return in the filter does nothing; Down moves into the hosts it left.
  xdotool key Return
  xdotool key Down
  xdotool key Return

  e2e_poll 100 sshchild || e2e_fail "no tab running /usr/bin/ssh e2e-target"

  # Retried until the remote shell answers.
  for _ in $(seq 1 10); do
    xdotool type --delay 10 "echo \$SSH_CONNECTION > $w/remote-ran"
    xdotool key Return
    e2e_waitfile "$w/remote-ran" 30 && break
  done
  [ -s "$w/remote-ran" ] || e2e_fail "the command typed in the new tab did not run on the server"
  grep -q " 127.0.0.1 $E2E_PORT\$" "$w/remote-ran" || e2e_fail "the command ran outside the ssh session: $(cat "$w/remote-ran")"
  echo "sidebar_e2e: ran on the server as $(cat "$w/remote-ran")"
  e2e_stop
}
e2e_part

app=$1
[ -x /usr/sbin/sshd ] || { echo "sidebar_e2e: no /usr/sbin/sshd; skipped"; exit 77; }
e2e_unshare "$@"

e2e_home
mkdir -p "$E2E_WORK/.ssh"
chmod 700 "$E2E_WORK/.ssh"
e2e_bind_passwd
ssh-keygen -q -t ed25519 -N '' -f "$E2E_WORK/.ssh/id_e2e"
mkdir -p "$E2E_WORK/sshd"
cp "$E2E_WORK/.ssh/id_e2e.pub" "$E2E_WORK/sshd/authorized_keys"
e2e_sshd "AuthorizedKeysFile $E2E_WORK/sshd/authorized_keys"

cat >"$E2E_WORK/.ssh/config" <<CONFIG
Host other-box
  HostName 192.0.2.1

Host e2e-target
  HostName 127.0.0.1
  Port $E2E_PORT
  IdentityFile ~/.ssh/id_e2e
  IdentitiesOnly yes
  StrictHostKeyChecking no
  UserKnownHostsFile /dev/null
  LogLevel ERROR
CONFIG
chmod 600 "$E2E_WORK/.ssh/config"

unset SSH_AUTH_SOCK
printf "PS1='remote\$ '\n" >"$E2E_WORK/.bashrc"
export E2E_APP=$app
e2e_xvfb on_screen
status=$?
if [ $status -ne 0 ]; then
  cat "$E2E_WORK/app.log" >&2 2>/dev/null
  tail -20 "$E2E_WORK/sshd/sshd.log" >&2 2>/dev/null
fi
exit $status
