#!/usr/bin/env bash
# Checks the router sandbox from the host side: the router paths are laid out, the exit status is
# the command's, the host is never touched, two sandboxes at once do not see each other, and
# nothing is left behind after a normal exit, a failure or a signal.
set -u
repo=$1 build=$2
export VORN_BUILD_DIR=$build
sandbox=$repo/tools/router-sandbox
fails=0
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; fails=$((fails + 1)); fi
}
# The layer folders go under TMPDIR: a private one, so other sandboxes running meanwhile don't count.
export TMPDIR=$(mktemp -d)
leftovers() { ls -A "$TMPDIR" | wc -l; }
before=$(leftovers)
# A repository that itself lives under /tmp shows up in the sandbox's fresh /tmp, and so do the
# output files of the bus daemon, log daemon and service manager; nothing else may.
repo_top=""
[[ $repo == /tmp/* ]] && repo_top=$(cut -d/ -f3 <<<"$repo")
host_config=$(cd /etc && find config -type f 2>/dev/null -exec md5sum {} + | sort | md5sum)

# Router paths and private folders.
out=$("$sandbox" -- sh -c 'ls /etc/vorn_cfg/ | wc -l; test -s /rom/etc/default_data.sqlite && echo template;
  test -f /rom/etc/TavikUnitsMapv2.json && echo unitsmap; test -f /etc/config/sensorlist && echo sensorlist;
  test -d /etc/data && test -d /etc/msp430 && echo datadirs; ls -A /tmp | grep -v -x -e ubusd.log -e logd.log -e procd.log -e "'"$repo_top"'" | wc -l; hostname;
  ip -o link show up | grep -c "lo:"; test -d '"$repo"' && echo repo')
expected=$'6\ntemplate\nunitsmap\nsensorlist\ndatadirs\n0\nrouter\n1\nrepo'
check "router paths, fresh /tmp, hostname, loopback, repository" test "$out" = "$expected"

# Exit status of the command, including a failing one.
"$sandbox" -- sh -c 'exit 7'; rc=$?
check "exit status of the command is returned" test "$rc" -eq 7

# Writes inside never reach the host.
"$sandbox" -- sh -c 'echo x > /etc/config/sandbox_probe; echo y > /usr/sbin/sandbox_probe; touch /tmp/p /dev/shm/p'
check "host /etc/config and /usr/sbin untouched" test ! -e /etc/config/sandbox_probe -a ! -e /usr/sbin/sandbox_probe
check "host /dev/shm untouched" test ! -e /dev/shm/p

# Two sandboxes at the same moment, each writing the same path, each seeing only its own file.
tmp=$(mktemp -d)
for i in 1 2; do
  "$sandbox" -- sh -c "echo $i > /etc/config/probe; sleep 1; cat /etc/config/probe; ls /dev/shm | wc -l; \
    touch /dev/shm/mine$i; ps -e --no-headers | wc -l" >"$tmp/out$i" 2>&1 &
done
wait
check "first of two concurrent sandboxes sees only its own file" test "$(head -n1 "$tmp/out1")" = 1
check "second of two concurrent sandboxes sees only its own file" test "$(head -n1 "$tmp/out2")" = 2
rm -rf "$tmp"

# A signal to the sandbox ends everything inside and leaves nothing behind.
# The sleep is made unique: other processes on a shared machine may well run "sleep 300".
sleeper="sleep 300.$$"
"$sandbox" -- sh -c "$sleeper" & pid=$!
sleep 1
kill -TERM "$pid"; wait "$pid"; rc=$?
check "a terminated sandbox reports the signal" test "$rc" -eq 143
sleep 0.5
check "no $sleeper survives the terminated sandbox" test -z "$(pgrep -f "$sleeper" || true)"

# --keep keeps the changed files.
keep=$(mktemp -d)
"$sandbox" --keep "$keep" -- sh -c 'echo kept > /etc/config/kept; echo t > /tmp/t'
check "--keep keeps changed files" test "$(cat "$keep/upper/etc/config/kept" 2>/dev/null)" = kept -a -f "$keep/tmp/t"
rm -rf "$keep"

# Refusal without root.
if command -v setpriv >/dev/null; then
  msg=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$sandbox" -- true 2>&1); rc=$?
  check "refuses without root, status 2" test "$rc" -eq 2
  check "refusal says why" grep -q "must run as root" <<<"$msg"
fi

check "no layer folders left behind" test "$(leftovers)" -eq "$before"
after_config=$(cd /etc && find config -type f 2>/dev/null -exec md5sum {} + | sort | md5sum)
check "host /etc/config unchanged" test "$host_config" = "$after_config"
rmdir "$TMPDIR"
exit $((fails > 0))
