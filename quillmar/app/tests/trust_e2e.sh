#!/usr/bin/env bash
# Trust follows the tab's session in the real window: the local shell puts
# text on the clipboard, then a stand-in ssh typed at its prompt asks for the
# clipboard, a screen checksum and a local file as a kitty image, and gets
# none of them; the same program under a local name gets all three, and gets
# none once it holds a connection and has left the session (setsid -f), nor
# under a client whose main thread has ended while another holds its
# connection, nor under one whose other thread has a table of descriptors of
# its own that alone holds the connection, its main thread alive or ended.
# Where a
# throwaway sshd can run, a real ssh started through `sh -c` reaches one whose
# command asks the same and gets nothing, the local program asked again
# afterwards gets its answers, and a path the host printed stays shut on
# Ctrl+click after the session ended while the same path printed locally
# reaches a stand-in xdg-open.
#   trust_e2e.sh <quillmar> <find_text_on_screen> <thread_exit_client>
set -u
E2E_NAME=trust
. "$(dirname "$0")/e2e-lib.sh"


on_screen() {
  local w=$E2E_WORK
  e2e_open || return 1
  e2e_run_until "printf '\\e]52;c;$e2e_trust_secret\\a'; echo x >$w/ready" "$w/ready" ||
    e2e_fail "the shell did not start"
  e2e_run "$w/bin/ssh $w/remote.out $w/pixel"
  e2e_waitfile "$w/remote.out.done" 300 || e2e_fail "the stand-in ssh did not finish"
  e2e_run "$w/bin/local-query $w/local.out $w/pixel"
  e2e_waitfile "$w/local.out.done" 300 || e2e_fail "the local program did not finish"
  e2e_refused remote.out
  e2e_answered local.out
  # A client that leaves the session but still writes to the tab through the
  # terminal it holds; the shell waits without reading meanwhile.
  e2e_run "setsid -f $w/bin/fetcher $w/detached.out $w/pixel; until [ -e $w/detached.out.done ]; do sleep 0.1; done"
  e2e_waitfile "$w/detached.out.done" 300 || e2e_fail "the detached client did not finish"
  e2e_refused detached.out
  # A client whose main thread has ended while another holds its connection
  # runs the program, which holds none.
  e2e_run "$E2E_THREADLESS $(cat "$w/listen.port") $w/threadless.pid pthread '$w/bin/local-query $w/threadless.out $w/pixel'"
  e2e_waitfile "$w/threadless.out.done" 300 || e2e_fail "the client without its main thread did not finish"
  e2e_refused threadless.out
  # A client whose other thread alone holds the connection, in a table of
  # descriptors of its own, runs the program; its main thread lives, then not.
  local how
  for how in table table-pthread; do
    e2e_run "$E2E_THREADLESS $(cat "$w/listen.port") $w/$how.pid $how '$w/bin/local-query $w/$how.out $w/pixel'"
    e2e_waitfile "$w/$how.out.done" 300 || e2e_fail "the client with a table of its own ($how) did not finish"
    e2e_refused "$how.out"
  done
  [ -n "${E2E_PORT:-}" ] || { e2e_stop; return 0; }

  # A real ssh whose leader is not ssh by any name; it prints a path first.
  e2e_run "sh -c 'ssh e2e-target; true'; echo x >$w/ssh.back"
  e2e_waitfile "$w/ssh.back" 300 || e2e_fail "ssh did not come back: $(tail -3 "$w/sshd/sshd.log")"
  [ -s "$w/sshd.out.done" ] || e2e_fail "the host's probe did not run"
  e2e_run "$w/bin/local-query $w/after.out $w/pixel"
  e2e_waitfile "$w/after.out.done" 300 || e2e_fail "the local program did not finish after ssh"
  e2e_refused sshd.out
  e2e_answered after.out

  # The host's path, clicked after the session ended, then the same path
  # printed locally: only the second reaches xdg-open.
  local at opened=$w/opened
  at=$(e2e_await "$w/notes.txt" 1) || e2e_fail "the host's path did not show"
  ctrlclick "$at"
  e2e_run "cat $w/where"
  e2e_until e2e_found "$w/notes.txt" 2 >/dev/null || e2e_fail "the local path did not show"
  at=$("$E2E_FINDER" "$w/shot.png" "$w/notes.txt" 1 | grep "found at" | tail -1 | sed "s/found at //")
  ctrlclick "$at"
  for _ in $(seq 1 40); do [ -s "$opened" ] && break; sleep 0.25; done
  e2e_stop
  [ "$(sed 's|^file://||' "$opened" 2>/dev/null)" = "$w/notes.txt" ] ||
    e2e_fail "xdg-open got \"$(cat "$opened" 2>/dev/null)\" for the host's path and the local one"
  return 0
}



ctrlclick() {  # "x,y" of the text's top left corner
  e2e_ctrl_click $(( ${1%,*} + 20 )) $(( ${1#*,} + 6 ))
}
e2e_part

app=$1 finder=$2
export E2E_THREADLESS=$3
# The sshd half needs a private mount namespace to give ssh our home.
if [ -z "${E2E_UNSHARED:-}" ] && [ -x /usr/sbin/sshd ] && unshare -m --propagation private true 2>/dev/null; then
  e2e_unshare "$@"
fi
export E2E_APP=$app E2E_FINDER=$finder
e2e_home
mkdir -p "$E2E_WORK/bin" "$E2E_WORK/opener"
# The stand-in ssh is the query program under ssh's name.
e2e_trust_kit
cp "$E2E_WORK/bin/local-query" "$E2E_WORK/bin/ssh"
cat >"$E2E_WORK/bin/fetcher" <<STANDIN
#!/bin/bash
exec 3<>/dev/tcp/127.0.0.1/$(cat "$E2E_WORK/listen.port") || exit 1
exec $E2E_WORK/bin/local-query "\$@"
STANDIN
chmod +x "$E2E_WORK/bin/ssh" "$E2E_WORK/bin/local-query" "$E2E_WORK/bin/fetcher"
if [ -n "${E2E_UNSHARED:-}" ]; then
  e2e_bind_passwd
  mkdir -p "$E2E_WORK/.ssh"
  chmod 700 "$E2E_WORK/.ssh"
  ssh-keygen -q -t ed25519 -N '' -f "$E2E_WORK/.ssh/id_e2e"
  printf 'meeting at ten\n' >"$E2E_WORK/notes.txt"
  printf '%s\n' "$E2E_WORK/notes.txt" >"$E2E_WORK/where"
  e2e_sshd "AuthorizedKeysFile $E2E_WORK/.ssh/id_e2e.pub" \
    "ForceCommand $E2E_WORK/bin/local-query $E2E_WORK/sshd.out $E2E_WORK/pixel $E2E_WORK/notes.txt"
  cat >"$E2E_WORK/.ssh/config" <<CONFIG
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
else
  echo "$E2E_NAME: no sshd or no mount namespace; only the stand-in ssh is tried"
fi
cat >"$E2E_WORK/opener/xdg-open" <<'STANDIN'
#!/bin/sh
printf '%s\n' "$1" >>"$E2E_WORK/opened"
STANDIN
chmod +x "$E2E_WORK/opener/xdg-open"
unset BROWSER DEFAULT_BROWSER
export PATH="$E2E_WORK/opener:$PATH" XDG_CURRENT_DESKTOP=X-Generic
e2e_xvfb on_screen
e2e_finish $? "" ""
