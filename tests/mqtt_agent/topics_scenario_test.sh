#!/usr/bin/env bash
# The agent at work beside the whole gateway in a router sandbox, on a real mosquitto broker: every
# simulated sensor's state, availability and discovery configs (each config through a checker of
# Home Assistant's rules), the bridge topics and events, a sensor that falls silent and comes back,
# commands and requests through the set, get and request topics (accepted, answered with data and
# refused, in the response envelope), and the reports forwarded to the cloud agent, in one run.
set -u
repo=$1 build=$2
gateway=GW00124B00A1B2C3
base=vorn/$gateway
failures=0
check() {  # what, condition
  if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}
wait_for() {  # seconds, condition (evaluated afresh each time)
  local limit=$1; shift
  for _ in $(seq $((limit * 5))); do eval "$*" && return 0; sleep 0.2; done
  return 1
}
retained() { timeout 10 mosquitto_sub -h 127.0.0.1 -t "$1" -v -W 2 2>/dev/null; }
line_of() { retained "$1" | grep -m1 "^$1 " | cut -d' ' -f2-; }
request() {  # topic, payload, response topic: publishes and prints the response
  timeout 10 mosquitto_sub -h 127.0.0.1 -t "$3" -C 1 -W 8 >/tmp/response.txt 2>/dev/null &
  local watcher=$!
  sleep 0.5
  mosquitto_pub -h 127.0.0.1 -q 1 -t "$1" -m "$2"
  wait $watcher
  cat /tmp/response.txt
}

/usr/sbin/cloud_agent >/tmp/cloud_agent.log 2>&1 &
ubus -t 10 wait_for cloud_agent || { echo "FAIL no cloud agent"; exit 1; }
"$repo/tools/demo-mqtt-start" || { echo "FAIL no MQTT agent"; cat /tmp/mqtt_agent.log; exit 1; }
mosquitto_sub -h 127.0.0.1 -t "$base/bridge/event" >/tmp/events.txt 2>/dev/null &
/usr/sbin/vorn_mgr >/tmp/vorn_mgr.log 2>&1 &
ubus -t 20 wait_for collector_sim || { echo "FAIL no collector"; exit 1; }
sensors=$(ubus call collector_sim list | grep -o '"ID": *"[0-9A-F]*"' | grep -o '[0-9A-F]\{16\}' | sort -u)
count=$(wc -w <<<"$sensors")
check "the simulated network has sensors ($count)" '[[ $count -ge 5 ]]'
# A whole state: the first channel measured, the time last seen, the interval and the radio's
# firmware (these come in separate reports, so a busy machine shows a sensor's state in parts).
whole_state() {
  [[ $1 =~ \"channels\":\{\"[^\"]+\":\{\"value\":[-0-9.]+,\"unit\": && $1 =~ \"last_seen\":\"20[0-9-]+T[0-9:]+Z\" &&
     $1 =~ \"interval\":[0-9]+ && $1 =~ \"rf_firmware\":\" ]]
}
all_reported() {
  local shown; shown=$(retained "$base/+")
  for id in $sensors; do whole_state "$(grep "^$base/$id " <<<"$shown" | tail -1)" || return 1; done
}
wait_for 90 all_reported
snapshot=$(retained "$base/#")
discovery=$(retained "homeassistant/#")

check "bridge state online, as JSON" 'grep -qx "$base/bridge/state {\"state\":\"online\"}" <<<"$snapshot"'
for id in $sensors; do
  state=$(grep "^$base/$id " <<<"$snapshot" | tail -1)  # the latest, should it show twice
  [[ -n "${SCENARIO_DEBUG:-}" ]] && echo "$state"
  check "$id: state with channels, values, units, last_seen, interval, firmware" 'whole_state "$state"'
  check "$id: availability online" 'grep -qx "$base/$id/availability online" <<<"$snapshot"'
  channels=$(grep -o '"channels":{.*},"alarms"' <<<"$state" | grep -o '"[^"]*":{"value"' | wc -l)
  # A config the agent published again while the snapshot was taken shows twice: count topics.
  configs=$(grep -o "^homeassistant/sensor/${gateway}_${id}_[a-z0-9_]*/config {" <<<"$discovery" | sort -u | wc -l)
  check "$id: one discovery config per channel ($configs of $channels)" '[[ $channels -gt 0 && $configs -eq $channels ]]'
  check "$id: listed in bridge/devices" 'grep "^$base/bridge/devices " <<<"$snapshot" | grep -q "\"id\":\"$id\""'
done
check "a discovery config names the device, its class, unit and both availability topics" \
  'grep -m1 "${gateway}_00124B0001A2B301_temperature/config" <<<"$discovery" | grep -q "\"device_class\":\"temperature\".*\"availability\":\[{\"topic\":\"vorn\\\\/$gateway\\\\/bridge\\\\/state\",\"value_template\":\"{{ value_json.state }}\"}.*\"identifiers\":\[\"00124B0001A2B301\"\].*\"via_device\":\"$gateway\""'
check "every discovery config passes Home Assistant's rules ($("$build/tests/mqtt_agent/discovery_check" homeassistant <<<"$discovery" | tail -1))" \
  '"$build/tests/mqtt_agent/discovery_check" homeassistant <<<"$discovery" >/tmp/discovery_faults.txt'
[[ -s /tmp/discovery_faults.txt ]] && head -20 /tmp/discovery_faults.txt
office=$(grep -m1 "^homeassistant/sensor/${gateway}_00124B0001A2B301_temperature/config " <<<"$discovery")
check "a sensor's device has its stored name, a sensor without one its id" \
  'grep -qF "\"device\":{\"identifiers\":[\"00124B0001A2B301\"],\"name\":\"Office\"" <<<"$office" &&
   grep -q "^homeassistant/sensor/${gateway}_00124B0001A2B303_co2/config .*\"name\":\"00124B0001A2B303\"" <<<"$discovery"'
check "humidity in %, flow in m³/h, every numeric channel with a state class" \
  'grep -q "${gateway}_00124B0001A2B301_humidity/config .*\"unit_of_measurement\":\"%\",\"device_class\":\"humidity\",\"state_class\":\"measurement\"" <<<"$discovery" &&
   grep -q "${gateway}_00124B0001A2B308_flow/config .*\"unit_of_measurement\":\"m³\\\\/h\"" <<<"$discovery" &&
   ! grep "^homeassistant/sensor/.*_[a-z0-9_]*/config " <<<"$discovery" | grep -v "\-last_seen/" | grep -vq "\"state_class\""'
diagnostics=$(grep -cE "^homeassistant/sensor/${gateway}_[0-9A-F]{16}-(battery|rssi|last_seen)/config .*\"entity_category\":\"diagnostic\"" <<<"$discovery")
check "battery, signal strength and last seen as diagnostic entities of every sensor ($diagnostics)" '[[ $diagnostics -ge $((3 * count)) ]]'
check "the gateway is a device of its own, which the sensors name as via_device" \
  'grep -q "^homeassistant/binary_sensor/${gateway}-connection/config .*\"identifiers\":\[\"$gateway\"\]" <<<"$discovery"'
info=$(grep "^$base/bridge/info " <<<"$snapshot" | tail -1)
check "bridge/info: version, gateway id, permit_join, the configuration without secrets" \
  '[[ $info == *\"version\":* && $info == *\"gateway_id\":\"$gateway\"* && $info == *\"permit_join\":false* && $info == *\"config\":{* && $info != *password* ]]'
check "bridge/devices entries as home-automation users know them" \
  'grep "^$base/bridge/devices " <<<"$snapshot" | grep -q "\"ieee_address\":\"00124B0001A2B301\",\"friendly_name\":\"Office\".*\"exposes\":\[{\"type\":\"numeric\",\"name\":\"Temperature\""'
check "reports forwarded to the cloud agent" '[[ $(wc -l </tmp/cloud_agent/transmit.log) -ge $count ]]'

# A sensor reporting every 5 s goes offline when it falls silent (the collector soon calls it not
# active, and the agent counts 3 missed intervals) and online with its next frame.
fast=00124B0001A2B30B
ubus call collector_sim add "{\"ExtAddress\":\"$fast\",\"ShortAddress\":\"000B\",\"EventInterval\":5,\"Channels\":[{\"Name\":\"Temperature\",\"Type\":1,\"Unit\":\"°C\"}]}" >/dev/null
wait_for 60 '[[ $(line_of $base/$fast/availability) == online && $(line_of $base/$fast) == *\"interval\":5* ]]'
check "a new sensor appears online" '[[ $(line_of $base/$fast/availability) == online ]]'
ubus call collector_sim silence "{\"ID\":\"$fast\"}" >/dev/null
silent_at=$SECONDS
wait_for 60 '[[ $(line_of $base/$fast/availability) == offline ]]'
check "a silent sensor goes offline (after $((SECONDS - silent_at)) s: not active, or 3 intervals missed)" \
  '[[ $(line_of $base/$fast/availability) == offline ]]'
ubus call collector_sim restore "{\"ID\":\"$fast\"}" >/dev/null
wait_for 30 '[[ $(line_of $base/$fast/availability) == online ]]'
check "it is online again with its next frame" '[[ $(line_of $base/$fast/availability) == online ]]'
check "its joining is a bridge event" 'grep -q "{\"type\":\"device_joined\",\"data\":{\"friendly_name\":\"$fast\",\"ieee_address\":\"$fast\"}}" /tmp/events.txt'

# Commands.
answer=$(request "$base/00124B0001A2B303/set" '{"interval":120}' "$base/00124B0001A2B303/set/response")
check "set interval accepted" '[[ $answer == *\"status\":\"ok\"* ]]'
wait_for 10 '[[ $(uci -q get sensorlist.@00124B0001A2B303[].EventIntervalUserWanted) == 120 ]]'
check "set interval stored in sensorlist" '[[ $(uci -q get sensorlist.@00124B0001A2B303[].EventIntervalUserWanted) == 120 ]]'
wait_for 60 '[[ $(line_of $base/00124B0001A2B303) == *\"interval\":120* ]]'
check "the sensor's next settings report carries the interval" '[[ $(line_of $base/00124B0001A2B303) == *\"interval\":120* ]]'
answer=$(request "$base/00124B0001A2B303/set" '{"interval":"soon"}' "$base/00124B0001A2B303/set/response")
check "a bad interval is refused with the reason" '[[ $answer == *\"status\":\"error\",\"error\":*whole\ number* ]]'
answer=$(request "$base/bridge/request/get_interval" '{"id":"00124B0001A2B303","transaction":"t-1"}' "$base/bridge/response/get_interval")
check "get_interval answers with the interval asked for, and the transaction" \
  '[[ $answer == *\"wanted\":120*\"status\":\"ok\",\"transaction\":\"t-1\"} ]]'
answer=$(request "$base/bridge/request/get_device_list" '{"transaction":2}' "$base/bridge/response/get_device_list")
listed=$(grep -o '"ieee_address":"[0-9A-F]*"' <<<"$answer" | sort -u | wc -l)
check "get_device_list answers with every sensor ($listed)" '[[ $listed -eq $((count + 1)) && $answer == *\"transaction\":2} ]]'
answer=$(request "$base/bridge/request/health_check" '' "$base/bridge/response/health_check")
check "health_check: healthy" '[[ $answer == {\"data\":{\"healthy\":true,* ]]'
answer=$(request "$base/00124B0001A2B301/get" '' "$base/00124B0001A2B301/get/response")
check "<sensor>/get answers with its state" '[[ $answer == *\"id\":\"00124B0001A2B301\"*\"channels\":*\"status\":\"ok\"* ]]'
answer=$(request "$base/00124B0001A2B3ZZ/set" '{"interval":60}' "$base/00124B0001A2B3ZZ/set/response")
check "a 16-character id that is not hexadecimal is answered" '[[ $answer == *\"status\":\"error\"*no\ sensor\ id* ]]'
answer=$(request "$base/bridge/request/permit_join" '{"enable":true}' "$base/bridge/response/permit_join")
check "permit_join sent" '[[ $answer == *JoinNetwork_Enable\":1*\"status\":\"ok\"* ]]'
answer=$(request "$base/bridge/request/permit_join" '{"value":true,"time":60,"transaction":"pj"}' "$base/bridge/response/permit_join")
check "permit_join as home-automation users send it" '[[ $answer == {\"data\":{\"value\":true,\"time\":120,*\"status\":\"ok\",\"transaction\":\"pj\"} ]]'
wait_for 5 '[[ $(line_of $base/bridge/info) == *\"permit_join\":true* ]]'
check "bridge/info shows the network open" '[[ $(line_of $base/bridge/info) == *\"permit_join\":true,\"permit_join_timeout\":* ]]'
answer=$(request "$base/bridge/request/remove" '{"id":"00124B0001A2B3AA"}' "$base/bridge/response/remove")
check "removing an unknown sensor is refused" '[[ $answer == *\"error\"*unknown\ sensor* ]]'
answer=$(request "$base/bridge/request/reboot" '{}' "$base/bridge/response/reboot")
check "an unknown command is refused" '[[ $answer == *\"error\"*unknown\ command* ]]'
answer=$(request "$base/bridge/request/device/remove" '{"id":"Hall"}' "$base/bridge/response/device/remove")
check "device/remove by the sensor's stored name sent" '[[ $answer == *RemoveDev\":\"00124B0001A2B306*\"status\":\"ok\"* ]]'
wait_for 60 '! retained "homeassistant/#" | grep -q 00124B0001A2B306'
check "the removed sensor's discovery configs are gone" '! retained "homeassistant/#" | grep -q 00124B0001A2B306'
check "its removal is a bridge event" 'grep -q "{\"type\":\"device_removed\",\"data\":{\"friendly_name\":\"Hall\",\"ieee_address\":\"00124B0001A2B306\"}}" /tmp/events.txt'
check "the removed sensor is offline and out of bridge/devices" \
  '[[ $(line_of $base/00124B0001A2B306/availability) == offline && $(line_of $base/bridge/devices) != *00124B0001A2B306* ]]'

# Home automation coming online asks for the configs again.
timeout 15 mosquitto_sub -h 127.0.0.1 -t "homeassistant/+/+/config" -R -C 3 -W 10 >/tmp/reannounced.txt 2>/dev/null &
watcher=$!
sleep 0.5
mosquitto_pub -h 127.0.0.1 -t homeassistant/status -m online
wait $watcher
check "discovery re-announced on the status topic's online" '[[ $(wc -l </tmp/reannounced.txt) -eq 3 ]]'

stats=$(ubus call mqtt_agent stats)
echo "$stats" | tr -d '\n\t'; echo
agent=$(cat /tmp/mqtt_agent.pid)
kill -TERM "$agent"
wait_for 10 "[[ ! -e /proc/$agent ]]"
wait_for 10 '[[ $(line_of $base/bridge/state) == {\"state\":\"offline\"} ]]'
check "the bridge state is offline once the agent has stopped" '[[ $(line_of $base/bridge/state) == {\"state\":\"offline\"} ]]'
kill -TERM "$(cat /tmp/mosquitto.pid)" 2>/dev/null
killall -q -TERM vorn_mgr cloud_agent mosquitto_sub
check "no sanitizer report from the agent" '! grep -qE "Sanitizer|runtime error" /tmp/mqtt_agent.log'
[[ $failures -eq 0 ]] && echo PASS || { echo "$failures checks failed"; tail -20 /tmp/mqtt_agent.log; exit 1; }
