#!/usr/bin/env bash
# The agent's connection settings against a real mosquitto with TLS, client certificates and a
# password file, in a router sandbox: a refusal (wrong password, no client certificate, a server
# name that does not match) is logged once with its reason; a client certificate and key, and TLS
# with the system's certificate store, connect; keepalive, protocol 5, QoS and retain take effect; a
# base topic under '$' is refused; a password readable by every user is warned of; with MQTT 5 a
# retained command published while the agent listens is known as such and cleared.
set -u
repo=$1
gateway=GW00124B00A1B2C3
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
tls=/tmp/tls
mkdir -p $tls && cd $tls || exit 1

# A CA, the broker's certificate for 127.0.0.1, one for another name, and a client certificate.
quiet() { "$@" >/dev/null 2>&1 || { echo "FAIL $*"; exit 1; }; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=test-ca -keyout ca.key -out ca.crt
certificate() {  # name, subject, extensions
  quiet openssl req -newkey rsa:2048 -nodes -subj "$2" -keyout "$1.key" -out "$1.csr"
  printf '%s\n' "$3" >"$1.ext"
  quiet openssl x509 -req -in "$1.csr" -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile "$1.ext" -out "$1.crt"
}
certificate server /CN=127.0.0.1 "subjectAltName=IP:127.0.0.1"
certificate other /CN=other.example "subjectAltName=DNS:other.example"
certificate client /CN=gateway "extendedKeyUsage=clientAuth"
chmod 600 ./*.key
quiet mosquitto_passwd -c -b $tls/passwd gw secret
cat >$tls/mosquitto.conf <<CONF
user root
per_listener_settings true
listener 8883 127.0.0.1
cafile $tls/ca.crt
certfile $tls/server.crt
keyfile $tls/server.key
require_certificate true
password_file $tls/passwd
listener 8884 127.0.0.1
cafile $tls/ca.crt
certfile $tls/other.crt
keyfile $tls/other.key
allow_anonymous true
listener 8885 127.0.0.1
cafile $tls/ca.crt
certfile $tls/server.crt
keyfile $tls/server.key
allow_anonymous true
listener 1883 127.0.0.1
allow_anonymous true
CONF
mosquitto -v -c $tls/mosquitto.conf >$tls/broker.log 2>&1 &
broker=$!
wait_for 10 'mosquitto_pub -h 127.0.0.1 -t probe -n 2>/dev/null' || { echo "FAIL the broker did not start"; exit 1; }

# Starts the agent with OPTION=VALUE settings (the rest as shipped); its output goes to
# /tmp/agent.log, and its figures there too when it stops.
start_agent() {
  cp "$repo/agents/mqtt/files/vorn_mqtt" /etc/config/vorn_mqtt
  uci set vorn_mqtt.main.queue_file=/tmp/queue.sqlite
  for setting in "$@"; do uci set "vorn_mqtt.main.$setting"; done
  uci commit vorn_mqtt
  chmod "${MODE:-600}" /etc/config/vorn_mqtt
  /usr/sbin/mqtt_agent >/tmp/agent.log 2>&1 &
  agent=$!
  ubus -t 10 wait_for mqtt_agent
}
stop_agent() { kill -TERM $agent; wait $agent; cat /tmp/agent.log >>/tmp/agent.all.log; }
refusals() { grep -c "^mqtt_agent: broker 127.0.0.1:$1: " /tmp/agent.log; }
reason() { grep -m1 "^mqtt_agent: broker 127.0.0.1:$1: " /tmp/agent.log | cut -c13-120; }
tls_options=(port=8883 ca_file=$tls/ca.crt cert_file=$tls/client.crt key_file=$tls/client.key username=gw)

start_agent "${tls_options[@]}" password=wrong
sleep 12
stop_agent
cp /tmp/agent.log /tmp/agent-wrong-password.log
check "a wrong password: the refusal logged once, with its reason ($(reason 8883))" \
  '[[ $(refusals 8883) -eq 1 ]] && grep -q "refused the connection: .*not authori[sz]ed" /tmp/agent.log'
check "the broker saw the agent try again meanwhile" '[[ $(grep -c "not authori[sz]ed" $tls/broker.log) -ge 2 ]]'
start_agent port=8883 ca_file=$tls/ca.crt username=gw password=secret
sleep 12
stop_agent
repeats() { grep "^mqtt_agent: broker" /tmp/agent.log | sort | uniq -d | wc -l; }
check "no client certificate: refused, logged once ($(reason 8883))" \
  '[[ $(refusals 8883) -ge 1 && $(repeats) -eq 0 ]] && grep -q "\"connected\":false" /tmp/agent.log'
start_agent port=8884 ca_file=$tls/ca.crt
sleep 12
stop_agent
# (The library may tell a TLS refusal in two lines, the failure and its detail: each once.)
check "a server name that does not match: logged once ($(reason 8884))" \
  '[[ $(refusals 8884) -ge 1 && $(repeats) -eq 0 ]] &&
   grep -q "host name verification failed" /tmp/agent.log'

start_agent "${tls_options[@]}" password=secret keepalive=45 'base_topic=$SYS/vorn'
wait_for 10 '[[ $(stat_of connected) == true ]]'
state=$(timeout 5 mosquitto_sub -h 127.0.0.1 -p 8884 --cafile $tls/ca.crt --insecure -t "vorn/$gateway/bridge/state" -C 1 -W 4 2>/dev/null)
stop_agent
check "client certificate, key and password: connected, under the default base topic ($state)" \
  '[[ $state == {\"state\":\"online\"} ]] && grep -q "\"connected\":true" /tmp/agent.log'
check "keepalive 45 is what the broker saw" 'grep -q "New client connected .* (p2, c1, k45, u.gw.)" $tls/broker.log'
check "a base topic under \$ is refused at start" 'grep -q "base_topic .\$SYS/vorn. refused" /tmp/agent.log'
check "a password file only its owner reads: no warning" '! grep -q "every user can read it" /tmp/agent.log'

# The system's certificate store instead of a CA file.
cp $tls/ca.crt /etc/ssl/certs/vorn-test-ca.pem && openssl rehash /etc/ssl/certs >/dev/null 2>&1
MODE=644 start_agent port=8883 tls=1 cert_file=$tls/client.crt key_file=$tls/client.key username=gw password=secret
wait_for 10 '[[ $(stat_of connected) == true ]]'
stop_agent
check "TLS with the system's certificate store and a client certificate: connected" 'grep -q "\"connected\":true" /tmp/agent.log'
check "a password every user can read is warned of" 'grep -q "/etc/config/vorn_mqtt holds the broker password and every user can read it" /tmp/agent.log'
start_agent port=8885 tls=1
wait_for 10 '[[ $(stat_of connected) == true ]]'
stop_agent
check "TLS with the system's certificate store alone: connected" 'grep -q "\"connected\":true" /tmp/agent.log'

# MQTT 5, QoS 2, states not retained: a sensor's state (from a report) is published but not kept,
# and a retained command published while the agent listens is known as such: never run, cleared.
start_agent protocol=5 qos=2 retain=0 keepalive=20
wait_for 10 '[[ $(stat_of connected) == true ]]'
ubus call mqtt_agent transmit \
  '{"msg":"{\"ID\":\"00124B0001A2B301\",\"GatewayID\":\"GW\",\"Type\":3,\"Body\":\"[{\\\"Key\\\":\\\"Battery\\\",\\\"Value\\\":3.5}]\"}"}' >/dev/null
mosquitto_pub -h 127.0.0.1 -q 1 -r -t "vorn/$gateway/00124B0001A2B301/set" -m '{"interval":77}'
sleep 2
retained=$(timeout 5 mosquitto_sub -h 127.0.0.1 -t 'vorn/#' -v -W 2 2>/dev/null)
stats=$(ubus call mqtt_agent stats | tr -d ' \t\n')
stop_agent
check "MQTT 5: the broker saw protocol 5" 'grep -q "New client connected .* (p5, c1, k20)" $tls/broker.log'
check "retain 0: the bridge state is kept, the sensor's state is not" \
  'grep -q "^vorn/$gateway/bridge/state {\"state\":\"online\"}" <<<"$retained" && ! grep -q "^vorn/$gateway/00124B0001A2B301 " <<<"$retained"'
check "MQTT 5: a retained command published while the agent listens is ignored and cleared" \
  '[[ $stats == *\"retained_cleared\":1,* && $stats == *\"commands\":0,* ]] && ! grep -q "/set " <<<"$retained"'

kill -TERM $broker; wait $broker
check "no sanitizer report from the agent" '! grep -qE "Sanitizer|runtime error" /tmp/agent.all.log'
[[ $failures -eq 0 ]] && echo PASS || { echo "$failures checks failed"; tail -20 /tmp/agent.log; tail -20 $tls/broker.log; exit 1; }
