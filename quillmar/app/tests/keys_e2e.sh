#!/usr/bin/env bash
# Runs keys_e2e (the Keys pane's whole road of a key) against a throwaway sshd
# on 127.0.0.1 and an ssh-agent of its own. OpenSSH run as root takes ~ from
# the password database, not $HOME, so the test runs in a private mount
# namespace where a copy of /etc/passwd with this user's home in the
# temporary folder is bound over /etc/passwd.
#   keys_e2e.sh <keys_e2e>
set -u
E2E_NAME=keys_e2e
. "$(dirname "$0")/e2e-lib.sh"

test_bin=$1
for t in /usr/sbin/sshd /usr/bin/ssh-agent /usr/bin/ssh-copy-id /usr/bin/ssh-keygen; do
  [ -x $t ] || { echo "keys_e2e: no $t; skipped"; exit 77; }
done
e2e_unshare "$@"

e2e_home
mkdir -p "$E2E_WORK/.ssh" "$E2E_WORK/boot"
chmod 700 "$E2E_WORK/.ssh"
e2e_bind_passwd /bin/bash
# The key ssh-copy-id logs in with; it lives outside ~/.ssh, in the agent.
ssh-keygen -q -t ed25519 -N '' -C boot -f "$E2E_WORK/boot/id_boot"
cp "$E2E_WORK/boot/id_boot.pub" "$E2E_WORK/.ssh/authorized_keys"
chmod 600 "$E2E_WORK/.ssh/authorized_keys"
e2e_sshd "KbdInteractiveAuthentication no"

# The host's own IdentityFile already logs in before any new key is installed.
cat >"$E2E_WORK/.ssh/config" <<CONFIG
Host e2e-target
  HostName 127.0.0.1
  Port $E2E_PORT
  IdentityFile $E2E_WORK/boot/id_boot
  StrictHostKeyChecking no
  UserKnownHostsFile /dev/null
  LogLevel ERROR
CONFIG
chmod 600 "$E2E_WORK/.ssh/config"

eval "$(ssh-agent -s -a "$E2E_WORK/run/agent.sock")" >/dev/null
e2e_pids+=("$SSH_AGENT_PID")
# ssh-copy-id logs in with the bootstrap key the agent holds.
ssh-add -q "$E2E_WORK/boot/id_boot" 2>/dev/null || { echo "keys_e2e: ssh-add of the bootstrap key failed" >&2; exit 1; }

export QT_QPA_PLATFORM=offscreen SSH_AUTH_SOCK
printf "PS1='remote\$ '\n" >"$E2E_WORK/.bashrc"

"$test_bin"
status=$?
if [ $status -ne 0 ]; then
  tail -20 "$E2E_WORK/sshd/sshd.log" >&2 2>/dev/null
fi
exit $status
