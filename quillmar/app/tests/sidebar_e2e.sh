#!/usr/bin/env bash
# Drives the real quillmar on a virtual X server against a throwaway sshd on
# 127.0.0.1: the host is named in a temporary ~/.ssh/config, picked in the
# sidebar with the keyboard (filter, Return, Return), and a command typed in
# the new tab must run on the server.
#
# ssh reads ~/.ssh/config from the password database's home, not from $HOME,
# and the application runs plain `/usr/bin/ssh <alias>`. So the test runs in
# a private mount namespace where a copy of /etc/passwd, with this user's
# home pointing at the temporary folder, is bound over /etc/passwd. Nothing
# outside the namespace (and no real file) is touched.
#   sidebar_e2e.sh <quillmar>
set -u
app=$1

if [ -z "${SIDEBAR_E2E_INSIDE:-}" ]; then
  if ! unshare -m --propagation private true 2>/dev/null; then
    echo "sidebar_e2e: no mount namespace here (unshare -m refused); skipped"
    exit 77
  fi
  [ -x /usr/sbin/sshd ] || { echo "sidebar_e2e: no /usr/sbin/sshd; skipped"; exit 77; }
  export SIDEBAR_E2E_INSIDE=1
  exec unshare -m --propagation private bash "$0" "$@"
fi

work=$(mktemp -d)
sshd_pid=""
cleanup() {
  [ -n "$sshd_pid" ] && kill "$sshd_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

user=$(id -un)
mkdir -p "$work/run" "$work/.config" "$work/.local/share" "$work/.ssh" "$work/sshd"
chmod 700 "$work/run" "$work/.ssh"
awk -F: -v OFS=: -v u="$user" -v h="$work" '$1 == u { $6 = h } { print }' /etc/passwd >"$work/passwd"
mount --bind "$work/passwd" /etc/passwd || { echo "sidebar_e2e: cannot bind a passwd copy; skipped"; exit 77; }
[ "$(getent passwd "$user" | cut -d: -f6)" = "$work" ] || { echo "sidebar_e2e: the passwd copy is not in force" >&2; exit 1; }

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
d=$work/sshd
ssh-keygen -q -t ed25519 -N '' -f "$d/hostkey"
ssh-keygen -q -t ed25519 -N '' -f "$work/.ssh/id_e2e"
cp "$work/.ssh/id_e2e.pub" "$d/authorized_keys"
mkdir -p /run/sshd
cat >"$d/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $d/hostkey
AuthorizedKeysFile $d/authorized_keys
PidFile $d/sshd.pid
StrictModes no
UsePAM no
PasswordAuthentication no
EOF
/usr/sbin/sshd -f "$d/sshd_config" -E "$d/sshd.log" || { echo "sidebar_e2e: sshd did not start" >&2; exit 1; }
for _ in $(seq 1 50); do [ -s "$d/sshd.pid" ] && break; sleep 0.1; done
sshd_pid=$(cat "$d/sshd.pid")

cat >"$work/.ssh/config" <<EOF
Host other-box
  HostName 192.0.2.1

Host e2e-target
  HostName 127.0.0.1
  Port $port
  IdentityFile ~/.ssh/id_e2e
  IdentitiesOnly yes
  StrictHostKeyChecking no
  UserKnownHostsFile /dev/null
  LogLevel ERROR
EOF
chmod 600 "$work/.ssh/config"

export HOME=$work ZDOTDIR=$work XDG_CONFIG_HOME=$work/.config XDG_DATA_HOME=$work/.local/share \
  XDG_RUNTIME_DIR=$work/run
unset SSH_AUTH_SOCK
printf "PS1='$ '\n" >"$work/.zshrc"
printf "PS1='remote\$ '\n" >"$work/.bashrc"
export E2E_APP=$app E2E_WORK=$work E2E_PORT=$port

xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  w=$E2E_WORK
  fail() { echo "sidebar_e2e: $*" >&2; kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; exit 1; }
  waitfile() { for _ in $(seq 1 "${2:-100}"); do [ -s "$1" ] && return 0; sleep 0.1; done; return 1; }
  sshchild() { pgrep -P "$pid" -f "^/usr/bin/ssh e2e-target\$" >/dev/null; }

  "$E2E_APP" >"$w/app.log" 2>&1 &
  pid=$!
  wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | tail -1)
  [ -n "$wid" ] || fail "the window did not appear"
  xdotool windowactivate --sync "$wid" 2>/dev/null || xdotool windowfocus --sync "$wid" 2>/dev/null || true
  sleep 0.5

  # The filter field sits under the brand header at the top of the sidebar.
  xdotool mousemove --window "$wid" 110 58 click 1
  sleep 0.2
  xdotool type --delay 20 " E2E "
  xdotool key Return
  sleep 0.2
  xdotool key Return

  for _ in $(seq 1 100); do sshchild && break; sleep 0.1; done
  sshchild || fail "no tab running /usr/bin/ssh e2e-target"

  # Retried until the remote shell answers.
  for _ in $(seq 1 10); do
    xdotool type --delay 10 "echo \$SSH_CONNECTION > $w/remote-ran"
    xdotool key Return
    waitfile "$w/remote-ran" 30 && break
  done
  [ -s "$w/remote-ran" ] || fail "the command typed in the new tab did not run on the server"
  grep -q " 127.0.0.1 $E2E_PORT\$" "$w/remote-ran" || fail "the command ran outside the ssh session: $(cat "$w/remote-ran")"
  echo "sidebar_e2e: ran on the server as $(cat "$w/remote-ran")"

  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  exit 0
'
status=$?
if [ $status -ne 0 ]; then
  cat "$work/app.log" >&2 2>/dev/null
  tail -20 "$work/sshd/sshd.log" >&2 2>/dev/null
fi
exit $status
