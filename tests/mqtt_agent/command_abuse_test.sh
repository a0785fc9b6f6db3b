#!/usr/bin/env bash
# The command path under abuse, beside the whole gateway in a router sandbox on a real mosquitto:
# retained commands left on the broker (an interval, permit_join, a removal) do not run after agent
# restarts and are cleared with one line each; then a flood of 10,000 messages (sets for an unknown
# sensor, valid sets, bridge requests, junk, and 1 MB payloads) leaves every report of the daemon
# answered, reaches the daemon only at the rate limit, and keeps the agent's peak memory under 16 MB,
# while the network gives the daemon reports to make.
set -u
repo=$1 build=$2
gateway=GW00124B00A1B2C3
base=vorn/$gateway
known=00124B0001A2B303
failures=0
check() {  # what, condition
  if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}
wait_for() {  # seconds, condition (evaluated afresh each time)
  local limit=$1; shift
  for _ in $(seq $((limit * 5))); do eval "$*" && return 0; sleep 0.2; done
  return 1
}
stat_of() { ubus call mqtt_agent stats 2>/dev/null | tr -d ' \t\n' | sed -n "s/.*\"$1\":\([a-z0-9]*\).*/\1/p"; }
daemon_reports() {  # made failed
  ubus call vorn_mgr status 2>/dev/null | tr -d ' \t\n' | sed -n 's/.*"reports":{"made":\([0-9]*\),"failed":\([0-9]*\)[,}].*/\1 \2/p'
}
retained() { timeout 10 mosquitto_sub -h 127.0.0.1 -t "$1" -v -W 2 2>/dev/null; }
start_agent() {
  /usr/sbin/mqtt_agent >>/tmp/mqtt_agent.log 2>&1 &
  echo $! >/tmp/mqtt_agent.pid
  ubus -t 10 wait_for mqtt_agent && wait_for 10 '[[ $(stat_of connected) == true ]]'
}
stop_agent() {
  local pid; pid=$(cat /tmp/mqtt_agent.pid)
  kill -TERM "$pid"; wait_for 10 "[[ ! -e /proc/$pid ]]"
}

/usr/sbin/cloud_agent >/tmp/cloud_agent.log 2>&1 &
ubus -t 10 wait_for cloud_agent || { echo "FAIL no cloud agent"; exit 1; }
"$repo/tools/demo-mqtt-start" || { echo "FAIL no MQTT agent"; cat /tmp/mqtt_agent.log; exit 1; }
/usr/sbin/vorn_mgr >/tmp/vorn_mgr.log 2>&1 &
wait_for 60 '[[ $(uci -q get sensorlist.@$known[].ShortAddress) == 0003 ]]' || { echo "FAIL sensor $known never joined"; exit 1; }

# Retained commands left on the broker while the agent is away.
stop_agent
mosquitto_pub -h 127.0.0.1 -q 1 -r -t "$base/$known/set" -m '{"interval":77}'
mosquitto_pub -h 127.0.0.1 -q 1 -r -t "$base/bridge/request/permit_join" -m '{"value":true,"time":60}'
mosquitto_pub -h 127.0.0.1 -q 1 -r -t "$base/bridge/request/device/remove" -m "{\"id\":\"$known\"}"
for round in 1 2 3; do
  start_agent || { echo "FAIL the agent did not come back"; exit 1; }
  sleep 2
  cleared=$(stat_of retained_cleared)
  commands=$(stat_of commands)
  [[ $round -eq 1 ]] && check "three retained commands ignored and cleared at the first start ($cleared)" '[[ $cleared == 3 ]]'
  [[ $round -gt 1 ]] && check "restart $round: nothing retained left to clear ($cleared)" '[[ $cleared == 0 ]]'
  check "restart $round: no command went to the daemon ($commands)" '[[ $commands == 0 ]]'
  stop_agent
done
lines=$(grep -c 'ignored the retained message on' /tmp/mqtt_agent.log)
check "one line for each retained command ($lines)" '[[ $lines -eq 3 ]]'
check "the broker holds no retained command any more" '[[ -z $(retained "$base/+/set"; retained "$base/bridge/request/#") ]]'
check "the interval was not set, the sensor not marked for removal" \
  '[[ -z $(uci -q get sensorlist.@$known[].EventIntervalUserWanted) && -z $(uci -q get sensorlist.@$known[].RemoveSensor) ]]'
start_agent || { echo "FAIL the agent did not come back"; exit 1; }

# The flood: 10,000 messages of every kind, as fast as the broker passes them.
read -r made_before failed_before <<<"$(daemon_reports)"
forwarded_before=$(wc -l </tmp/cloud_agent/transmit.log)
reports_before=$(stat_of reports)
head -c 1048576 /dev/zero | tr '\0' 'x' >/tmp/big.txt
paced() {  # lines of text, $1 of them, in 30 bursts over about 15 s
  for _ in $(seq 30); do yes "$2" | head -$(($1 / 30)); sleep 0.5; done
}
started=$SECONDS
(  # a subshell: its wait is for the publishers only
  paced 3000 '{"interval":30}' | mosquitto_pub -h 127.0.0.1 -q 1 -t "$base/00124B00DEADBEEF/set" -l &
  paced 3000 '{"interval":90}' | mosquitto_pub -h 127.0.0.1 -q 1 -t "$base/$known/set" -l &
  paced 3000 '{"transaction":1}' | mosquitto_pub -h 127.0.0.1 -q 1 -t "$base/bridge/request/get_device_list" -l &
  paced 900 'no json at all' | mosquitto_pub -h 127.0.0.1 -q 0 -t "$base/bridge/request/permit_join" -l &
  for _ in $(seq 100); do mosquitto_pub -h 127.0.0.1 -q 1 -t "$base/$known/set" -f /tmp/big.txt; sleep 0.1; done &
  # Meanwhile the network gives the daemon reports to make: an alarm, a sensor that leaves and
  # joins again.
  sleep 2; ubus call collector_sim fail '{"ID":"00124B0001A2B301","Channel":1,"Code":1}' >/dev/null
  sleep 2; ubus call collector_sim leave '{"ID":"00124B0001A2B304"}' >/dev/null
  sleep 3; ubus call collector_sim rejoin '{"ID":"00124B0001A2B304"}' >/dev/null
  sleep 3; ubus call collector_sim restore '{"ID":"00124B0001A2B301"}' >/dev/null
  wait
) 2>/tmp/flood.log
flood_seconds=$((SECONDS - started))
sleep 6  # the reports made during the flood are answered by now
read -r made_after failed_after <<<"$(daemon_reports)"
forwarded=$(( $(wc -l </tmp/cloud_agent/transmit.log) - forwarded_before ))
reports=$(( $(stat_of reports) - reports_before ))
made=$((made_after - made_before))
echo "flood: ${flood_seconds}s; daemon reports made $made, failed $((failed_after - failed_before)); agent took $reports," \
     "forwarded $forwarded; $(stat_of commands) commands, $(stat_of rate_limited) rate-limited, $(stat_of oversized) oversized," \
     "$(stat_of inbound_dropped) dropped on arrival, $(stat_of refused) refused"
check "the daemon reported during the flood ($made)" '[[ $made -gt 0 ]]'
check "no report of the daemon failed" '[[ $failed_after -eq $failed_before ]]'
# (A report made just as the counts were read may be on its way: two of slack at each end.)
check "every report reached the agent and the cloud agent ($reports, $forwarded)" \
  '[[ $reports -ge $((made - 2)) && $forwarded -ge $((reports - 2)) && $forwarded -le $((reports + 2)) ]]'
commands=$(stat_of commands)
# (Which of the flood's requests get the few turns is the broker's order: a valid set may get none.)
check "commands reached the daemon only at the rate limit ($commands in ${flood_seconds}s)" \
  '[[ $commands -le $((10 + 2 * (flood_seconds + 8))) ]]'
timeout 10 mosquitto_sub -h 127.0.0.1 -t "$base/$known/set/response" -C 1 -W 8 >/tmp/response.txt 2>/dev/null &
watcher=$!
sleep 0.5
mosquitto_pub -h 127.0.0.1 -q 1 -t "$base/$known/set" -m '{"interval":90,"transaction":"after"}'
wait $watcher
check "after the flood a valid set is taken again ($(cat /tmp/response.txt))" \
  '[[ $(cat /tmp/response.txt) == *\"status\":\"ok\",\"transaction\":\"after\"} && $(stat_of commands) -eq $((commands + 1)) ]]'
check "1 MB payloads refused unread ($(stat_of oversized))" '[[ $(stat_of oversized) -ge 1 ]]'
check "the daemon's transmit queue never overflowed" '! grep -q "TX Message Queue buffer was full" /tmp/vorn_mgr.log'
peak=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$(cat /tmp/mqtt_agent.pid)/status")
if grep -q '^VORN_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "skip the agent's peak memory ($peak kB): the sanitizer keeps freed memory by design"
else
  check "the agent's peak memory stayed under 16 MB ($peak kB)" '[[ $peak -lt 16384 ]]'
fi
check "the agent still answers and publishes" \
  '[[ $(timeout 10 mosquitto_rr -h 127.0.0.1 -t "$base/bridge/request/health_check" -e "$base/bridge/response/health_check" -m "{}" -W 8 2>/dev/null) == *\"status\":\"ok\"* ]]'

stop_agent
kill -TERM "$(cat /tmp/mosquitto.pid)" 2>/dev/null
killall -q -TERM vorn_mgr cloud_agent
check "no sanitizer report from the agent" '! grep -qE "Sanitizer|runtime error" /tmp/mqtt_agent.log'
[[ $failures -eq 0 ]] && echo PASS || { echo "$failures checks failed"; tail -20 /tmp/mqtt_agent.log; exit 1; }
