#!/usr/bin/env bash
# The queue's own faults, beside the whole gateway in a router sandbox on a real mosquitto: a queue
# file of garbage and one cut in half each give one line and a working agent; on a full queue disk
# nothing is lost while the broker is up (nothing is written then), and while it is away what does
# not fit in memory is dropped, counted and told on bridge/dropped.
set -u
repo=$1
gateway=GW00124B00A1B2C3
base=vorn/$gateway
queue=/etc/vorn_mqtt/queue.sqlite
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
start_agent() {
  /usr/sbin/mqtt_agent >/tmp/mqtt_agent.log 2>&1 &
  echo $! >/tmp/mqtt_agent.pid
  ubus -t 10 wait_for mqtt_agent
}
stop_agent() {  # the log of each run is kept whole in /tmp/mqtt_agent.all.log
  local pid; pid=$(cat /tmp/mqtt_agent.pid)
  kill -TERM "$pid"; wait_for 10 "[[ ! -e /proc/$pid ]]"
  cat /tmp/mqtt_agent.log >>/tmp/mqtt_agent.all.log
}
# A broker that keeps the watcher's session across its own restarts.
mkdir -p /tmp/broker
printf 'listener 1883 127.0.0.1\nallow_anonymous true\npersistence true\npersistence_location /tmp/broker/\nautosave_interval 1\nmax_queued_messages 0\n' \
  >/tmp/broker/mosquitto.conf
start_broker() {
  mosquitto -c /tmp/broker/mosquitto.conf >>/tmp/broker/log 2>&1 &
  broker=$!
  wait_for 10 "mosquitto_pub -h 127.0.0.1 -t probe -n 2>/dev/null"
}
stop_broker() { kill -TERM $broker; wait $broker; }
# State messages the watcher saw after line $1 of its log, by their running number.
seqs_after() { tail -n +"$(($1 + 1))" /tmp/watched.txt | grep -E "^$base/[0-9A-F]{16} " | sed -n 's/.*"seq":\([0-9]*\)}$/\1/p'; }
contiguous() {  # the numbers arrived once each, with no gap
  local seqs=$1 count first last
  count=$(wc -l <<<"$seqs"); first=$(head -1 <<<"$seqs"); last=$(tail -1 <<<"$seqs")
  [[ -n $seqs && $count -eq $((last - first + 1)) && $(sort -n <<<"$seqs" | uniq -d | wc -l) -eq 0 ]]
}

start_broker || { echo "FAIL the broker did not start"; exit 1; }
/usr/sbin/cloud_agent >/tmp/cloud_agent.log 2>&1 &
ubus -t 10 wait_for cloud_agent || { echo "FAIL no cloud agent"; exit 1; }
"$repo/tools/demo-mqtt-start" 127.0.0.1:1883 || { echo "FAIL no MQTT agent"; exit 1; }
mosquitto_sub -h 127.0.0.1 -i queue_watcher -c -q 1 -R -t "$base/#" -v >/tmp/watched.txt 2>/dev/null &
/usr/sbin/vorn_mgr >/tmp/vorn_mgr.log 2>&1 &
wait_for 60 '[[ $(stat_of delivered) -ge 50 ]]' || { echo "FAIL nothing delivered"; exit 1; }

# A damaged queue file, twice: garbage, then a file cut in half (written while the broker was away).
stop_agent
printf 'this is no database, just garbage %.0s' $(seq 100) >$queue
rm -f $queue-wal
start_agent
wait_for 20 '[[ $(stat_of connected) == true && $(stat_of delivered) -ge 10 ]]'
lines=$(grep -c 'queue file' /tmp/mqtt_agent.log)
check "garbage: one line ($(grep 'queue file' /tmp/mqtt_agent.log | cut -c1-110)...)" \
  '[[ $lines -eq 1 ]] && grep -q "cannot be read (file is not a database): moved aside" /tmp/mqtt_agent.log'
check "garbage: the agent works on a fresh file (delivered $(stat_of delivered))" \
  '[[ $(stat_of connected) == true && $(stat_of delivered) -ge 10 && $(stat_of queue_file_ok) == true && -e $queue.bad ]]'
stop_broker
wait_for 30 '[[ $(stat_of waiting) -ge 20 ]]'
stop_agent
size=$(stat -c %s $queue)
truncate -s $((size / 2)) $queue
start_agent
start_broker
wait_for 20 '[[ $(stat_of connected) == true && $(stat_of delivered) -ge 10 ]]'
lines=$(grep -c 'queue file' /tmp/mqtt_agent.log)
check "cut in half ($size bytes): one line ($(grep 'queue file' /tmp/mqtt_agent.log | cut -c1-110)...)" \
  '[[ $lines -eq 1 ]] && grep -q "cannot be read (.*): moved aside" /tmp/mqtt_agent.log'
check "cut in half: the agent works on a fresh file (delivered $(stat_of delivered))" \
  '[[ $(stat_of delivered) -ge 10 && $(stat_of queue_file_ok) == true ]]'

# A full queue disk: a small file system of its own, filled up once the agent has its file there.
stop_agent
mkdir -p /tmp/queue_disk
mount -t tmpfs -o size=256k tmpfs /tmp/queue_disk || { echo "FAIL no tmpfs"; exit 1; }
uci set vorn_mqtt.main.queue_file=/tmp/queue_disk/queue.sqlite
uci set vorn_mqtt.main.queue_limit=20
uci commit vorn_mqtt
start_agent
wait_for 20 '[[ $(stat_of connected) == true ]]'
sleep 3
dd if=/dev/zero of=/tmp/queue_disk/filler bs=4k 2>/dev/null
check "the queue disk is full" '[[ $(df --output=avail /tmp/queue_disk | tail -1) -eq 0 ]]'
mark=$(wc -l </tmp/watched.txt)
dropped_before=$(stat_of dropped)
written=$(stat_of queue_bytes_written)
sleep 20
seqs=$(seqs_after "$mark")
check "broker up, disk full: every state message arrived ($(wc -l <<<"$seqs"), $(head -1 <<<"$seqs")..$(tail -1 <<<"$seqs"))" \
  'contiguous "$seqs" && [[ $(wc -l <<<"$seqs") -ge 5 ]]'
# (A sensor's new description may try the file once: a failed try may leave a few bytes, never a page.)
check "broker up, disk full: nothing dropped, nothing waits, no message written ($(( $(stat_of queue_bytes_written) - written )) bytes)" \
  '[[ $(stat_of dropped) == "$dropped_before" && $(stat_of waiting) == 0 && $(stat_of queue_bytes_written) -lt $((written + 4096)) ]]'
dropped_before=$(stat_of dropped)
stop_broker
wait_for 60 '[[ $(stat_of dropped) -ge $((dropped_before + 5)) && $(stat_of unsaved) -ge 20 ]]'
dropped=$(stat_of dropped)
check "broker away, disk full: the refused write is one line" \
  '[[ $(grep -c "refused a write (database or disk is full)" /tmp/mqtt_agent.log) -eq 1 ]]'
check "broker away, disk full: $(stat_of unsaved) kept in memory, $((dropped - dropped_before)) dropped past the limit of 20, counted" \
  '[[ $(stat_of unsaved) -ge 20 && $dropped -ge $((dropped_before + 5)) && $(stat_of waiting) -le 20 ]]'
mark=$(wc -l </tmp/watched.txt)
start_broker
wait_for 30 '[[ $(stat_of connected) == true && $(stat_of waiting) == 0 ]]'
sleep 3
told=$(tail -n +"$((mark + 1))" /tmp/watched.txt | grep "^$base/bridge/dropped " | head -1)
check "the drops are told on bridge/dropped ($told)" \
  '[[ $told =~ \"dropped\":([0-9]+) && ${BASH_REMATCH[1]} -ge $((dropped - dropped_before)) && $told == *\"queue_limit\":20* ]]'

stop_agent
stop_broker
kill -TERM %?mosquitto_sub 2>/dev/null
killall -q -TERM vorn_mgr cloud_agent mosquitto_sub
umount /tmp/queue_disk
check "no sanitizer report from the agent" '! grep -qE "Sanitizer|runtime error" /tmp/mqtt_agent.all.log'
[[ $failures -eq 0 ]] && echo PASS || { echo "$failures checks failed"; tail -20 /tmp/mqtt_agent.log; exit 1; }
