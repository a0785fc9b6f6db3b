#!/usr/bin/env bash
# A newcomer's sequence: start the demo for 60 s in the background, step into it with demo-shell,
# ask the daemon how it is, silence a sensor, watch the status object report it offline after its
# missed intervals, check that vorn_status --json says the same, and find the logs after the end.
# Before that, the ways the demo refuses to start: not root, a bad network file, no demo to enter.
# Uses "make demo" and "make demo-shell" on the default build folder, the scripts behind them on
# another one (make would reconfigure that tree for its own build type).
#   newcomer_sequence.sh REPO BUILD_DIR
set -u
repo=$1 build=$2
rel=$(realpath --relative-to="$repo" "$build")
cd "$repo"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
work=$(mktemp -d /tmp/newcomer.XXXXXX)
demo_pid=""
cleanup() {
  [[ -n "$demo_pid" ]] && kill -INT "$demo_pid" 2>/dev/null && wait "$demo_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

if [[ "$rel" == build ]]; then
  start_demo() { DURATION=60 KEEP="$work/kept" make -s demo DURATION=60 KEEP="$work/kept" >"$work/demo.out" 2>&1; }
  in_demo() { make -s demo-shell RUN="$1"; }
else
  start_demo() { DURATION=60 KEEP="$work/kept" tools/demo "$rel" >"$work/demo.out" 2>&1; }
  in_demo() { RUN="$1" tools/demo-shell "$rel"; }
fi

# --- Refusals: one clear line, a failure status, nothing started.
rm -f "$build/demo-run/sandbox.pid"
out=$(in_demo "true" 2>&1); rc=$?
[[ $rc -ne 0 && "$out" == *"no demo is running"* ]] || fail "demo-shell without a demo: rc=$rc: $out"
if id nobody >/dev/null 2>&1; then
  out=$(setpriv --reuid=nobody --regid=nogroup --clear-groups tools/demo "$rel" 2>&1); rc=$?
  [[ $rc -eq 2 && $(wc -l <<<"$out") -eq 1 && "$out" == *"must run as root"* ]] || fail "demo as non-root: rc=$rc: $out"
fi
printf '{"Sensors":[{"ExtAddress":"00124B0001A2B301","ShortAddress":"0001","Channels":[{"Name":"T","Type":1,"Unit":"C"}]},\n'\
'{"ExtAddress":"00124B0001A2B302","ShortAddress":"0001","Channels":[{"Name":"T","Type":1,"Unit":"C"}]}]}\n' >"$work/dup.json"
out=$(NETWORK="$work/dup.json" DURATION=5 tools/demo "$rel" 2>&1); rc=$?
[[ $rc -eq 2 && "$out" == *"dup.json: sensor 2 (00124B0001A2B302): ShortAddress: 0001 is also sensor 1's"* &&
   "$out" == *"nothing was started"* && "$out" != *"== the demo ran"* ]] || fail "duplicate short address: rc=$rc: $out"
out=$(NETWORK="$work/absent.json" tools/demo "$rel" 2>&1); rc=$?
[[ $rc -eq 2 && "$out" == *"absent.json: cannot be read"* ]] || fail "missing network file: rc=$rc: $out"

# --- The story's steps report what became of them (a stand-in for the bus's list of sensors).
story_steps=$(
  source tools/demo-support
  ubus() { echo '{"Sensors": [{"ID": "00124B0001A2B301"}]}'; }
  demo_story_step "true 00124B0001A2B301" "known sensor"
  demo_story_step "echo 'Command failed: Not found' >&2; false 00124B0001A2B301" "failing step"
  demo_story_step "exit 3" "silent failure"
  demo_story_step "true 00124B0001A2B306" "absent sensor"
)
[[ "$story_steps" == "known sensor
failing step: failed: Command failed: Not found
silent failure: failed: exit status 3
absent sensor: skipped, the network has no sensor 00124B0001A2B306" ]] || fail "story steps: $story_steps"

# --- The programs' own help: printed, status 0, nothing started.
for program in usr/sbin/vorn_mgr usr/bin/vorn_status; do
  out=$(timeout 5 "$build/router/$program" --help 2>&1); rc=$?
  [[ $rc -eq 0 && "$out" == usage:* && $(wc -l <<<"$out") -gt 3 ]] || fail "$program --help: rc=$rc: $out"
done
out=$(timeout 5 "$build/router/usr/sbin/vorn_mgr" --version 2>&1); rc=$?
[[ $rc -eq 0 && "$out" =~ ^vorn_mgr\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "vorn_mgr --version: rc=$rc: $out"

# --- The sequence.
start_demo &
demo_pid=$!
status=""
for _ in $(seq 1 60); do
  status=$(in_demo "ubus call vorn_mgr status" 2>/dev/null) && [[ "$status" == *'"link": "up"'* &&
    "$status" == *'"device_list": 10'* ]] && break
  sleep 1
done
for field in '"version": "' '"uptime": ' '"gateway_id": "' '"state": "running"' '"link": "up"' '"limit": 100' \
             '"sensor_data": ' '"made": ' '"command_restarts": 0' '"pending_downloads": 0'; do
  [[ "$status" == *"$field"* ]] || fail "status lacks $field: $status"
done

# Availability of each sensor, "ID availability" per line, from the status object and from vorn_status.
from_object() {
  in_demo "ubus call vorn_mgr sensors" | awk -F'"' '/"id":/ {id=$4} /"availability":/ {print id, $4}' | sort
}
from_view() {
  in_demo "vorn_status --json" | grep -o '"ID":"[0-9A-F]*","LastSeen":[0-9]*,"Availability":"[a-z]*"' |
    awk -F'"' '{print $4, $10}' | sort
}
sensor=00124B0001A2B301
[[ "$(from_object)" == *"$sensor online"* ]] || fail "sensor $sensor not online at first: $(from_object)"
silenced=$(in_demo "ubus call collector_sim silence '{\"ID\":\"$sensor\"}'")
[[ "$silenced" == *'"Done": "silence"'* ]] || fail "silence: $silenced"
offline=""
for _ in $(seq 1 40); do
  [[ "$(from_object)" == *"$sensor offline"* ]] && { offline=yes; break; }
  sleep 1
done
[[ -n "$offline" ]] || fail "sensor $sensor never offline: $(from_object)"
agreed=""
for _ in 1 2 3; do  # a sensor may change between the two reads; they agree within a few tries
  object=$(from_object) view=$(from_view)
  [[ -n "$object" && "$object" == "$view" ]] && { agreed=yes; break; }
done
[[ -n "$agreed" ]] || fail "vorn_status --json disagrees: object [$object] view [$view]"
[[ $(grep -c ' online$' <<<"$object") -eq 9 ]] || fail "the other nine sensors should stay online: $object"
[[ "$(in_demo 'vorn_status' 2>&1)" == *"$sensor"*offline* ]] || fail "the view does not show $sensor offline"

# --- The end: status 0, logs kept where asked.
wait "$demo_pid"; rc=$?
demo_pid=""
[[ $rc -eq 0 ]] || fail "demo ended with status $rc"
grep -q "sensor 0001: Humidity channel fails (OPEN)$" "$work/demo.out" || fail "story step missing: $(grep 't=' "$work/demo.out")"
grep -q "demo: the logs of this run .* are in $work/kept/" "$work/demo.out" || fail "no line naming the kept logs"
for log in vorn_mgr.log cloud_agent.log collector_stats.json; do
  [[ -s "$work/kept/$log" ]] || fail "kept logs lack $log"
done
grep -q "Device NotActive:" "$work/kept/vorn_mgr.log" || fail "the daemon's log shows no not-active indication"
[[ ! -e "$build/demo-run/sandbox.pid" ]] || fail "sandbox.pid left behind"

[[ $failures -eq 0 ]] && echo "newcomer sequence: all checks passed"
exit $((failures > 0))
