#!/usr/bin/env bash
# Three gateways, each in its own router sandbox with its own gateway id and simulated network, all
# publish to one mosquitto broker (reached through a unix socket, since each sandbox has a network
# of its own): a subscriber sees every sensor of all three under their own gateway ids, and a
# command to one gateway reaches only that one.
set -u
repo=$1 build=$2
export VORN_BUILD_DIR=$build   # the sandboxes run the programs of the build under test
dir=$(mktemp -d "$build/mqtt-three.XXXXXX") || exit 2
pids=()
cleanup() {
  touch "$dir/stop"
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  [[ -n "${broker:-}" ]] && kill -TERM "$broker" 2>/dev/null && wait "$broker" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
wait_for() {
  local limit=$1; shift
  for _ in $(seq $((limit * 5))); do eval "$*" && return 0; sleep 0.2; done
  return 1
}

# The broker runs as root here: its socket sits in the build folder that the sandboxes share.
printf 'user root\nlistener 0 %s/broker.sock\nallow_anonymous true\npersistence false\n' "$dir" >"$dir/mosquitto.conf"
mosquitto -c "$dir/mosquitto.conf" >"$dir/mosquitto.log" 2>&1 &
broker=$!
wait_for 10 '[[ -S $dir/broker.sock ]]' || fail "the broker did not start"
sub() { timeout 10 mosquitto_sub --unix "$dir/broker.sock" "$@" 2>/dev/null; }

gateways=(GW00124B00000A01 GW00124B00000A02 GW00124B00000A03)
for g in 1 2 3; do
  sensors=""
  for s in 1 2 3; do
    sensors+="${sensors:+,}{\"ExtAddress\":\"00124B00000${g}000${s}\",\"ShortAddress\":\"000${s}\",\"ModelName\":\"VT-G${g}\","
    sensors+="\"Channels\":[{\"Name\":\"Temperature\",\"Type\":1,\"Unit\":\"°C\"}]}"
  done
  echo "{\"TimeScale\":20,\"Sensors\":[$sensors]}" >"$dir/network$g.json"
  "$repo/tools/router-sandbox" -- "$repo/tests/mqtt_agent/gateway_in_sandbox.sh" "$repo" "$dir/broker.sock" \
    "${gateways[$((g - 1))]}" "$dir/network$g.json" "$dir" >"$dir/sandbox$g.log" 2>&1 &
  pids+=($!)
done

all_there() {
  local shown; shown=$(sub -t 'vorn/+/+' -v -W 2)
  for g in 1 2 3; do for s in 1 2 3; do
    grep -q "^vorn/${gateways[$((g - 1))]}/00124B00000${g}000${s} {.*\"value\":[-0-9]" <<<"$shown" || return 1
  done; done
}
wait_for 120 all_there || { sub -t 'vorn/#' -v -W 2 | cut -c1-120; cat "$dir"/sandbox*.log; fail "not every sensor of the three gateways arrived"; }
shown=$(sub -t 'vorn/#' -v -W 2)
for g in 1 2 3; do
  gateway=${gateways[$((g - 1))]}
  held=$(grep -o "^vorn/$gateway/00124B00000[0-9]000[0-9] " <<<"$shown" | sort -u | wc -l)
  [[ $held -eq 3 ]] || fail "$gateway holds $held sensors, not its three"
  grep -q "^vorn/$gateway/00124B00000[^$g]" <<<"$shown" && fail "$gateway shows another gateway's sensor"
  grep -qx "vorn/$gateway/bridge/state {\"state\":\"online\"}" <<<"$shown" || fail "$gateway: bridge state not online"
done

# A command to gateway 2 only.
target=${gateways[1]}
sub -t "vorn/+/00124B0000020001/set/response" -t "vorn/+/bridge/response/#" -v -W 8 >"$dir/responses.txt" &
watcher=$!
sleep 0.5
mosquitto_pub --unix "$dir/broker.sock" -q 1 -t "vorn/$target/00124B0000020001/set" -m '{"interval":240}'
mosquitto_pub --unix "$dir/broker.sock" -q 1 -t "vorn/$target/bridge/request/get_device_list" -n
wait $watcher
[[ $(grep -c "^vorn/$target/.*\"status\":\"ok\"" "$dir/responses.txt") -eq 2 ]] || { cat "$dir/responses.txt"; fail "gateway 2 did not take both requests"; }
# The device list comes in the answer: gateway 2's three sensors, no other.
devices=$(grep "^vorn/$target/bridge/response/get_device_list " "$dir/responses.txt" | grep -o '"ieee_address":"[0-9A-F]*"' | sort -u)
[[ $(wc -l <<<"$devices") -eq 3 && $devices != *00124B0000010* && $devices != *00124B0000030* ]] || fail "gateway 2 listed: $devices"
grep -v "^vorn/$target/" "$dir/responses.txt" && fail "another gateway answered"

touch "$dir/stop"
for pid in "${pids[@]}"; do wait "$pid"; done
pids=()
for g in 1 2 3; do
  gateway=${gateways[$((g - 1))]}
  result=$(cat "$dir/$gateway.result" 2>/dev/null)
  commands=$(sed -n 's/.*"commands":\([0-9]*\).*/\1/p' <<<"$result")
  echo "$gateway: $(head -1 <<<"$result")"
  if [[ $g -eq 2 ]]; then
    [[ $commands -eq 1 ]] || fail "$gateway sent $commands commands, not 1 (the device list is answered by the agent)"
    grep -q "00124B0000020001.*EventIntervalUserWanted='240'" <<<"$result" || fail "$gateway did not store the interval"
  else
    [[ $commands -eq 0 ]] || fail "$gateway sent $commands commands meant for another gateway"
    grep -q EventIntervalUserWanted <<<"$result" && fail "$gateway changed a sensor's interval"
  fi
done
echo PASS
