#!/usr/bin/env bash
# Trust follows the foreground in the real window: the local shell puts text
# on the clipboard, then a stand-in ssh typed at its prompt asks for the
# clipboard, a screen checksum and a local file as a kitty image, and gets
# none of them; the same program under a local name gets all three.
#   trust_e2e.sh <quillmar>
set -u
E2E_NAME=trust
. "$(dirname "$0")/e2e-lib.sh"

SECRET=c2VjcmV0LWNsaXA=  # "secret-clip"

on_screen() {
  local w=$E2E_WORK
  e2e_open || return 1
  e2e_run_until "printf '\\e]52;c;$SECRET\\a'; echo x >$w/ready" "$w/ready" ||
    e2e_fail "the shell did not start"
  e2e_run "$w/bin/ssh $w/remote.out $w/pixel"
  e2e_waitfile "$w/remote.out.done" 300 || e2e_fail "the stand-in ssh did not finish"
  e2e_run "$w/bin/local-query $w/local.out $w/pixel"
  e2e_waitfile "$w/local.out.done" 300 || e2e_fail "the local program did not finish"
  e2e_stop

  local remote mine
  remote=$(od -An -c "$w/remote.out" | tr -d ' \n')
  mine=$(od -An -c "$w/local.out" | tr -d ' \n')
  case $remote in *"$SECRET"*) e2e_fail "the remote side read the clipboard: $remote" ;; esac
  case $remote in *'!~0000'*) ;; *) e2e_fail "the remote side got a screen checksum: $remote" ;; esac
  case $remote in *'Gi=31;ENOTSUP'*) ;; *) e2e_fail "the remote side loaded a local file: $remote" ;; esac
  case $mine in *"52;c;$SECRET"*) ;; *) e2e_fail "the local program got no clipboard: $mine" ;; esac
  case $mine in *'Gi=31;OK'*) ;; *) e2e_fail "the local program could not load its file: $mine" ;; esac
  case $mine in *'!~0000'*) e2e_fail "the local program got no screen checksum: $mine" ;; esac
  return 0
}
e2e_part

export E2E_APP=$1
e2e_home
mkdir -p "$E2E_WORK/bin"
printf '\x10\x20\x30\xff' >"$E2E_WORK/pixel"
# Asks, reads the replies in raw mode until two quiet seconds, says it is done.
cat >"$E2E_WORK/bin/ssh" <<'STANDIN'
#!/bin/sh
stty raw -echo min 0 time 20
printf '\033]52;c;?\a\033]52;p;?\a\033[1;1;1;1;1;5*y\033_Gi=31,a=t,t=f,f=32,s=1,v=1;%s\033\\' \
  "$(printf %s "$2" | base64 -w0)"
cat >"$1"
stty sane
echo x >"$1.done"
STANDIN
cp "$E2E_WORK/bin/ssh" "$E2E_WORK/bin/local-query"
chmod +x "$E2E_WORK/bin/ssh" "$E2E_WORK/bin/local-query"
e2e_xvfb on_screen
e2e_finish $? "" ""
