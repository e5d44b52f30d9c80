#!/usr/bin/env bash
# Runs keys_e2e (the Keys pane's whole road of a key) against a throwaway sshd
# on 127.0.0.1 and an ssh-agent of its own. OpenSSH run as root takes ~ from
# the password database, not $HOME, so the test runs in a private mount
# namespace where a copy of /etc/passwd with this user's home in the
# temporary folder is bound over /etc/passwd.
#   keys_e2e.sh <keys_e2e>
set -u
test_bin=$1

if [ -z "${KEYS_E2E_INSIDE:-}" ]; then
  if ! unshare -m --propagation private true 2>/dev/null; then
    echo "keys_e2e: no mount namespace here (unshare -m refused); skipped"
    exit 77
  fi
  for t in /usr/sbin/sshd /usr/bin/ssh-agent /usr/bin/ssh-copy-id /usr/bin/ssh-keygen; do
    [ -x $t ] || { echo "keys_e2e: no $t; skipped"; exit 77; }
  done
  export KEYS_E2E_INSIDE=1
  exec unshare -m --propagation private bash "$0" "$@"
fi

work=$(mktemp -d)
sshd_pid=""
agent_pid=""
cleanup() {
  [ -n "$sshd_pid" ] && kill "$sshd_pid" 2>/dev/null
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

user=$(id -un)
mkdir -p "$work/run" "$work/.config" "$work/.local/share" "$work/.ssh" "$work/sshd" "$work/boot"
chmod 700 "$work/run" "$work/.ssh"
awk -F: -v OFS=: -v u="$user" -v h="$work" '$1 == u { $6 = h; $7 = "/bin/bash" } { print }' /etc/passwd >"$work/passwd"
mount --bind "$work/passwd" /etc/passwd || { echo "keys_e2e: cannot bind a passwd copy; skipped"; exit 77; }
[ "$(getent passwd "$user" | cut -d: -f6)" = "$work" ] || { echo "keys_e2e: the passwd copy is not in force" >&2; exit 1; }

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
d=$work/sshd
ssh-keygen -q -t ed25519 -N '' -f "$d/hostkey"
# The key ssh-copy-id logs in with; it lives outside ~/.ssh, in the agent.
ssh-keygen -q -t ed25519 -N '' -C boot -f "$work/boot/id_boot"
cp "$work/boot/id_boot.pub" "$work/.ssh/authorized_keys"
chmod 600 "$work/.ssh/authorized_keys"
mkdir -p /run/sshd
cat >"$d/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $d/hostkey
PidFile $d/sshd.pid
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
EOF
/usr/sbin/sshd -f "$d/sshd_config" -E "$d/sshd.log" || { echo "keys_e2e: sshd did not start" >&2; exit 1; }
for _ in $(seq 1 50); do [ -s "$d/sshd.pid" ] && break; sleep 0.1; done
sshd_pid=$(cat "$d/sshd.pid")

cat >"$work/.ssh/config" <<EOF
Host e2e-target
  HostName 127.0.0.1
  Port $port
  StrictHostKeyChecking no
  UserKnownHostsFile /dev/null
  LogLevel ERROR
EOF
chmod 600 "$work/.ssh/config"

eval "$(ssh-agent -s -a "$work/run/agent.sock")" >/dev/null
agent_pid=$SSH_AGENT_PID
# ssh-copy-id logs in with the bootstrap key the agent holds.
ssh-add -q "$work/boot/id_boot" 2>/dev/null || { echo "keys_e2e: ssh-add of the bootstrap key failed" >&2; exit 1; }

export HOME=$work ZDOTDIR=$work XDG_CONFIG_HOME=$work/.config XDG_DATA_HOME=$work/.local/share \
  XDG_RUNTIME_DIR=$work/run QT_QPA_PLATFORM=offscreen E2E_PORT=$port SSH_AUTH_SOCK
printf "PS1='$ '\n" >"$work/.zshrc"
printf "PS1='remote\$ '\n" >"$work/.bashrc"

"$test_bin"
status=$?
if [ $status -ne 0 ]; then
  tail -20 "$d/sshd.log" >&2 2>/dev/null
fi
exit $status
