#!/usr/bin/env bash
# A process the tab did not start never makes it remote, in the real window,
# while a fork of the tab's own does. The window runs in a control group of
# its own, as a service manager sets a login apart. While `su` runs as
# nobody in the tab, a daemon of nobody's starts outside the window as a
# service manager starts one: in another control group, leading a session
# of its own, its parent gone, holding a connection to a local host. A
# program that asks for the clipboard, a screen checksum and a local file as
# a kitty image gets all three, under su and after it, while the daemon
# lives. Then su's shell in the tab asks too (so a look has seen it), forks
# and ends at once while the fork leaves the session and holds a connection,
# as `su -c 'ssh -f host cmd' other` does: the program asked again gets none
# of them while the fork lives; nor once a fork that su's shell leaves
# within milliseconds, before any look saw that shell, holds the terminal;
# nor beside a fork of su's shell whose main thread has ended while another
# holds the connection, which has let go of the terminal (its origin is
# read through the thread that lives).
#
# Everything runs in a pid space of its own whose first process is this
# script, as in the probe's own tests: the orphans land on it as they would
# on init, the only adopter the tab looks at besides a subreaper above its
# shell (the machine's pid 1 need not be init-like), and daemons that tests
# running beside it start are not seen. Needs root, su, setpriv and a
# writable control group hierarchy (the cgroup2 mount, else name=systemd);
# skips (77) without them.
#   tab_origin_e2e.sh <quillmar> <thread_exit_client>
set -u
E2E_NAME=tab_origin
. "$(dirname "$0")/e2e-lib.sh"


on_screen() {
  local w=$E2E_WORK d=$E2E_WORK/shared daemon fork
  e2e_open || return 1
  e2e_run_until "printf '\\e]52;c;$e2e_trust_secret\\a'; echo x >$w/ready" "$w/ready" ||
    e2e_fail "the shell did not start"

  # Left alone: the daemon starts while su's shell waits, which then asks.
  e2e_run "su -s /bin/sh -c 'sh $d/during.sh' nobody"
  e2e_waitfile "$d/su.ready" 300 || e2e_fail "su did not start"
  (echo 0 >"$E2E_SVC_GROUP/cgroup.procs" &&
    exec setsid -f setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups \
      bash "$d/hold.sh" daemon) || e2e_fail "the daemon did not start"
  e2e_waitfile "$d/daemon.ready" 300 || e2e_fail "the daemon did not connect"
  daemon=$(cat "$d/daemon.pid")
  e2e_poll 100 apart "$daemon" "$E2E_SVC_GROUP" ||
    e2e_fail "the daemon is not an orphan leading its own session in its group: $(cat "/proc/$daemon/stat")"
  : >"$d/go"
  e2e_waitfile "$d/during.out.done" 300 || e2e_fail "the program under su did not finish"
  e2e_run "$w/bin/local-query $w/after.out $w/pixel"
  e2e_waitfile "$w/after.out.done" 300 || e2e_fail "the program did not finish after su"
  e2e_answered shared/during.out
  e2e_answered after.out
  e2e_ended "$daemon" && e2e_fail "the daemon ended before it was left alone"

  # Refused: su's shell, once a look has seen it (its program got answers),
  # forks and ends at once; the fork stays in the tab's group.
  e2e_run "su -s /bin/sh -c 'sh $d/forks.sh' nobody"
  e2e_waitfile "$d/fork.ready" 300 || e2e_fail "the fork did not connect"
  e2e_answered shared/member.out
  fork=$(cat "$d/fork.pid")
  e2e_poll 100 apart "$fork" "$E2E_TAB_GROUP" ||
    e2e_fail "the fork is not an orphan leading its own session in the tab's group: $(cat "/proc/$fork/stat")"
  e2e_run "$w/bin/local-query $w/fork.out $w/pixel"
  e2e_waitfile "$w/fork.out.done" 300 || e2e_fail "the program did not finish beside the fork"
  e2e_refused fork.out
  e2e_ended "$fork" && e2e_fail "the fork ended before the program asked"

  # Once it has gone the tab is answered again; then a fork that su's shell
  # leaves within milliseconds, before any look saw that shell, still holds
  # the tab's terminal and keeps the tab refused.
  kill "$fork"
  e2e_poll 100 e2e_ended "$fork" || e2e_fail "the fork did not end"
  e2e_run "$w/bin/local-query $w/again.out $w/pixel"
  e2e_waitfile "$w/again.out.done" 300 || e2e_fail "the program did not finish after the fork"
  e2e_answered again.out
  e2e_run "su -s /bin/sh -c 'exec setsid -f bash $d/hold.sh quick' nobody"
  e2e_waitfile "$d/quick.ready" 300 || e2e_fail "the quick fork did not connect"
  e2e_run "$w/bin/local-query $w/quick.out $w/pixel"
  e2e_waitfile "$w/quick.out.done" 300 || e2e_fail "the program did not finish beside the quick fork"
  e2e_refused quick.out
  e2e_ended "$(cat "$d/quick.pid")" && e2e_fail "the quick fork ended before the program asked"

  # Once it has gone, su's shell asks (so a look has seen it), then leaves a
  # fork that lets go of the terminal and whose main thread ends.
  kill "$(cat "$d/quick.pid")"
  e2e_poll 100 e2e_ended "$(cat "$d/quick.pid")" || e2e_fail "the quick fork did not end"
  e2e_run "su -s /bin/sh -c 'sh $d/threads.sh' nobody"
  e2e_waitfile "$d/threads.pid" 300 || e2e_fail "the fork without its main thread did not connect"
  e2e_answered shared/threads-member.out
  fork=$(cat "$d/threads.pid")
  e2e_poll 100 apart "$fork" "$E2E_TAB_GROUP" ||
    e2e_fail "the fork is not an orphan leading its own session in the tab's group: $(cat "/proc/$fork/stat")"
  e2e_poll 100 main_ended "$fork" || e2e_fail "the fork's main thread did not end: $(cat "/proc/$fork/stat")"
  e2e_run "$w/bin/local-query $w/threads.out $w/pixel"
  e2e_waitfile "$w/threads.out.done" 300 || e2e_fail "the program did not finish beside the fork without its main thread"
  e2e_refused threads.out
  main_ended "$fork" || e2e_fail "the fork without its main thread ended before the program asked"
  e2e_stop
}

# Whether process PID is an orphan of this pid space's first process that
# leads a session of its own, with a thread in control group GROUP.
apart() {
  local stat fields
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  read -r -a fields <<<"${stat##*) }"  # state ppid pgrp session ...
  [ "${fields[1]}" = 1 ] && [ "${fields[3]}" = "$1" ] && cat "/proc/$1"/task/*/cgroup 2>/dev/null | grep -q ":/${2##*/}\$"
}

# Whether the main thread of process PID has ended while another runs on.
main_ended() {
  grep -q "^[0-9]* ([^)]*) Z" "/proc/$1/stat" 2>/dev/null && [ "$(ls "/proc/$1/task" 2>/dev/null | wc -l)" -gt 1 ]
}


e2e_part

skip() {
  echo "$E2E_NAME: $*; skipped"
  exit 77
}

# Moves what is left in control group GROUP to its parent, then removes it.
drop_group() {
  local p
  for _ in $(seq 1 100); do
    [ -d "$1" ] || return 0
    while read -r p; do echo "$p" >"${1%/*}/cgroup.procs"; done <"$1/cgroup.procs" 2>/dev/null
    rmdir "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "$E2E_NAME: could not remove $1" >&2
}

if [ -z "${E2E_PIDNS:-}" ]; then
  [ "$(id -u)" = 0 ] || skip "not root"
  for tool in su setpriv setsid unshare python3; do
    command -v "$tool" >/dev/null || skip "no $tool"
  done
  id nobody >/dev/null 2>&1 || skip "no account nobody"
  hierarchy=$(awk '{ for (i = 7; i < NF && $i != "-"; i++);
      if ($(i + 1) == "cgroup2") { v2 = $5 }
      else if ($(i + 1) == "cgroup" && $(i + 3) ~ /(^|,)name=systemd(,|$)/) { named = $5 } }
    END { print (v2 != "" ? v2 : named) }' /proc/self/mountinfo)
  [ -n "$hierarchy" ] || skip "no control group hierarchy"
  export E2E_TAB_GROUP=$hierarchy/qm-e2e-$$-tab E2E_SVC_GROUP=$hierarchy/qm-e2e-$$-svc
  trap 'drop_group "$E2E_TAB_GROUP"; drop_group "$E2E_SVC_GROUP"' EXIT
  trap 'exit 143' TERM INT
  mkdir "$E2E_TAB_GROUP" 2>/dev/null && mkdir "$E2E_SVC_GROUP" 2>/dev/null ||
    skip "no control group can be made in $hierarchy"
  unshare --pid --fork --mount-proc --kill-child true 2>/dev/null || skip "no pid space of our own (unshare --pid)"
  E2E_PIDNS=1 unshare --pid --fork --mount-proc --kill-child bash "$0" "$@"
  exit $?
fi

# The first process of a pid space of its own, in the group it started in.
export E2E_APP=$1 E2E_THREADLESS=$2
e2e_home
stop_holders() {
  local f
  for f in "$E2E_WORK"/shared/*.pid; do
    [ -s "$f" ] && kill -KILL -- "-$(cat "$f")" 2>/dev/null
  done
  e2e_cleanup
}
trap stop_holders EXIT
shared=$E2E_WORK/shared
mkdir -p "$E2E_WORK/bin" "$shared"
chown nobody "$shared"
chmod 711 "$E2E_WORK"  # nobody reaches the query program and its own folder
e2e_trust_kit
# What nobody runs comes from here: the build tree may lie in a folder only
# its owner may enter.
cp "$E2E_THREADLESS" "$E2E_WORK/bin/thread_exit_client" || e2e_fail "could not copy the client"
E2E_THREADLESS=$E2E_WORK/bin/thread_exit_client
# Holds a connection to the listener in a process that says where it is.
cat >"$shared/hold.sh" <<HOLD
exec 3<>/dev/tcp/127.0.0.1/$(cat "$E2E_WORK/listen.port") || exit 1
echo \$\$ >$shared/\$1.pid
echo x >$shared/\$1.ready
exec sleep 600
HOLD
# su's shells: one says it runs, waits for the daemon, then asks; the other
# asks, then forks and ends.
cat >"$shared/during.sh" <<DURING
echo x >$shared/su.ready
until [ -e $shared/go ]; do sleep 0.1; done
exec $E2E_WORK/bin/local-query $shared/during.out $E2E_WORK/pixel
DURING
cat >"$shared/forks.sh" <<FORKS
$E2E_WORK/bin/local-query $shared/member.out $E2E_WORK/pixel
exec setsid -f bash $shared/hold.sh fork
FORKS
cat >"$shared/threads.sh" <<THREADS
$E2E_WORK/bin/local-query $shared/threads-member.out $E2E_WORK/pixel
exec setsid -f $E2E_THREADLESS $(cat "$E2E_WORK/listen.port") $shared/threads.pid pthread </dev/null >/dev/null 2>&1
THREADS
(echo 0 >"$E2E_TAB_GROUP/cgroup.procs" && e2e_xvfb on_screen)
e2e_finish $? "" ""
