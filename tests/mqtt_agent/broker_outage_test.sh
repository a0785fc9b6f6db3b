#!/usr/bin/env bash
# The broker stops for 30 s while the sensors report, and the agent restarts meanwhile: once the
# broker is back every state message made while it was away arrives, in order, none twice (the
# running number "seq" of the state documents shows it), and the bridge state and every sensor's
# availability are published again. Then the broker hangs with messages in flight and is killed:
# what it never acknowledged is sent again after the restart and the queue drains. (A broker killed
# outright may itself lose what it had acknowledged but not yet saved or passed on, so the count of
# the subscriber covers the first outage only.) Runs in a router sandbox with a real mosquitto broker.
set -u
repo=$1
fail() { echo "FAIL: $*" >&2; echo "--- agent log"; cat /tmp/mqtt_agent.log; exit 1; }
stat_of() { ubus call mqtt_agent stats 2>/dev/null | sed -n "s/.*\"$1\": \([a-z0-9]*\).*/\1/p"; }
wait_for() {  # seconds, condition (evaluated afresh each time)
  local limit=$1; shift
  for _ in $(seq $((limit * 5))); do eval "$*" && return 0; sleep 0.2; done
  return 1
}

# A broker that keeps the subscriber's session and its queued messages across its own restart.
mkdir -p /tmp/broker
cat >/tmp/broker/mosquitto.conf <<CONF
listener 1883 127.0.0.1
allow_anonymous true
persistence true
persistence_location /tmp/broker/
autosave_interval 1
max_queued_messages 0
CONF
start_broker() {
  mosquitto -c /tmp/broker/mosquitto.conf >>/tmp/broker/log 2>&1 &
  broker=$!
  wait_for 10 "mosquitto_pub -h 127.0.0.1 -t probe -n 2>/dev/null" || fail "the broker did not start"
}
start_broker

/usr/sbin/cloud_agent >/tmp/cloud_agent.log 2>&1 &
ubus -t 10 wait_for cloud_agent || fail "no cloud agent"
"$repo/tools/demo-mqtt-start" 127.0.0.1:1883 || fail "no MQTT agent"
# A subscriber with a session of its own (QoS 1, not clean): it gets what the broker queued for it
# while it was reconnecting. -R: messages replayed as retained on a new subscription are not counted.
mosquitto_sub -h 127.0.0.1 -i outage_watcher -c -q 1 -R -t 'vorn/#' -v >/tmp/watched.txt 2>/tmp/watcher.log &
watcher=$!
sleep 1
/usr/sbin/vorn_mgr >/tmp/vorn_mgr.log 2>&1 &
gateway=GW00124B00A1B2C3
states() { grep -cE "^vorn/$gateway/[0-9A-F]{16} " /tmp/watched.txt; }
wait_for 60 '[[ $(states) -ge 20 ]]' || fail "no state messages before the outage"
sensors=$(stat_of sensors)

kill -TERM $broker; wait $broker
wait_for 10 '[[ $(stat_of connected) == false ]]' || fail "the agent did not notice the broker going"
reports_before=$(wc -l </tmp/cloud_agent/transmit.log)
sleep 15
# The agent restarts while the broker is away: its queue file keeps what waits.
kill -TERM "$(cat /tmp/mqtt_agent.pid)"; wait_for 10 '[[ ! -e /proc/$(cat /tmp/mqtt_agent.pid) ]]' || fail "the agent did not stop"
/usr/sbin/mqtt_agent >>/tmp/mqtt_agent.log 2>&1 &
echo $! >/tmp/mqtt_agent.pid
ubus -t 10 wait_for mqtt_agent || fail "the agent did not come back"
sleep 15
waiting=$(stat_of waiting)
reports_during=$(( $(wc -l </tmp/cloud_agent/transmit.log) - reports_before ))
[[ ${waiting:-0} -ge 10 ]] || fail "only ${waiting:-0} messages waited in the queue during the outage"
mark=$(wc -l </tmp/watched.txt)
start_broker
wait_for 60 '[[ $(stat_of connected) == true ]]' || fail "the agent did not reconnect"
wait_for 60 '[[ $(stat_of waiting) == 0 ]]' || fail "the queue did not drain: $(stat_of waiting) left"

# The broker hangs (messages stay in flight, unacknowledged) and dies.
sleep 2
hang_mark=$(wc -l </tmp/watched.txt)
kill -STOP $broker
wait_for 20 '[[ $(stat_of in_flight) -ge 5 ]]' || fail "no messages in flight while the broker hung"
in_flight=$(stat_of in_flight)
kill -KILL $broker; wait $broker 2>/dev/null
start_broker
wait_for 60 '[[ $(stat_of connected) == true && $(stat_of waiting) == 0 ]]' || fail "the queue did not drain after the hang"
echo "hang: $in_flight messages in flight when the broker died, $(stat_of resent) handed over again by the agent"
sleep 3
kill -TERM $watcher; wait $watcher 2>/dev/null

# Every state message, by its running number: no gap (lost), no repeat (twice), never backwards.
seqs=$(head -n "$hang_mark" /tmp/watched.txt | grep -E "^vorn/$gateway/[0-9A-F]{16} " | sed -n 's/.*"seq":\([0-9]*\)}$/\1/p')
count=$(wc -l <<<"$seqs")
first=$(head -1 <<<"$seqs"); last=$(tail -1 <<<"$seqs")
repeats=$(sort -n <<<"$seqs" | uniq -d | wc -l)
backwards=$(awk 'NR > 1 && $1 <= prev { n++ } { prev = $1 } END { print n + 0 }' <<<"$seqs")
echo "outage: $reports_during reports and $waiting queued messages while the broker was away;" \
     "state messages $first..$last, $count received, $repeats repeated, $backwards out of order"
[[ $repeats -eq 0 ]] || fail "$repeats state messages arrived twice"
[[ $backwards -eq 0 ]] || fail "$backwards state messages arrived out of order"
[[ $count -eq $((last - first + 1)) && $first -eq 1 ]] || fail "state messages lost: $count of $first..$last"
after=$(head -n "$hang_mark" /tmp/watched.txt | tail -n +"$((mark + 1))")
grep -qx "vorn/$gateway/bridge/state {\"state\":\"online\"}" <<<"$after" || fail "the bridge state was not published again"
available=$(grep -cE "^vorn/$gateway/[0-9A-F]{16}/availability online$" <<<"$after")
[[ $available -ge $sensors ]] || fail "only $available of $sensors availabilities were published again"
grep -q "^vorn/$gateway/bridge/devices \[" <<<"$after" || fail "the device list was not published again"
echo "PASS"
kill -TERM "$(cat /tmp/mqtt_agent.pid)" $broker 2>/dev/null
killall -q -TERM vorn_mgr cloud_agent
exit 0
