#!/usr/bin/env bash
# One gateway of the three-gateway test, inside its own router sandbox: gateway id GATEWAY, its own
# simulated network NETWORK, its MQTT agent on the shared broker at the unix socket SOCKET. Runs
# until DIR/stop appears, then leaves its agent's figures and the sensors' wanted intervals in
# DIR/GATEWAY.result.
#
#   gateway_in_sandbox.sh REPO SOCKET GATEWAY NETWORK DIR
set -u
repo=$1 socket=$2 gateway=$3 network=$4 dir=$5
cp "$network" /etc/collector_sim.json
uci set gateway.main.register_name="$gateway"
uci commit gateway
/usr/sbin/cloud_agent >/tmp/cloud_agent.log 2>&1 &
ubus -t 10 wait_for cloud_agent || { echo "$gateway: no cloud agent" >"$dir/$gateway.result"; exit 1; }
"$repo/tools/demo-mqtt-start" "$socket" || { echo "$gateway: no MQTT agent" >"$dir/$gateway.result"; exit 1; }
/usr/sbin/vorn_mgr >/tmp/vorn_mgr.log 2>&1 &
touch "$dir/$gateway.started"
for _ in $(seq 600); do [[ -e "$dir/stop" ]] && break; sleep 0.5; done
# A command answered "sent" reaches sensorlist a moment later (the command process writes it under
# the sensor list's lock): on a loaded or emulated machine, give it that moment.
if [[ $(ubus call mqtt_agent stats | tr -d ' \t\n' | sed -n 's/.*"commands":\([0-9]*\).*/\1/p') != 0 ]]; then
  for _ in $(seq 40); do uci -q show sensorlist | grep -q EventIntervalUserWanted && break; sleep 0.5; done
fi
{
  ubus call mqtt_agent stats | tr -d ' \t\n'; echo
  uci -q show sensorlist | grep EventIntervalUserWanted
} >"$dir/$gateway.result"
kill -TERM "$(cat /tmp/mqtt_agent.pid)"
killall -q -TERM vorn_mgr cloud_agent
exit 0
