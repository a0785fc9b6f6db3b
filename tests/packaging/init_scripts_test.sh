#!/usr/bin/env bash
# The gateway's three services under the router's service manager and log daemon (the router's own
# procd and logd in the real-platform tree, the stand-ins elsewhere), in a router sandbox: the
# first-boot defaults give a gateway without an id one; enabled, all three start with the boot;
# the daemon, killed, is respawned whole, and killed past its respawn rule stays down, with only
# the crash loop in the log; its output is in logread; reload_config restarts exactly the programs
# whose settings changed and nothing when none did; stopped and disabled, nothing is left.
set -u
repo=$1
fails=0
check() { # check DESCRIPTION COMMAND... (a failure shows the log's last lines)
  local what=$1; shift
  if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; fails=$((fails + 1)); logread -l 12 | sed 's/^/       /'; fi
}
# eventually SECONDS COMMAND...: true once COMMAND is, within SECONDS (a bound that catches a hang).
eventually() {
  local until=$((SECONDS + $1)); shift
  until "$@"; do ((SECONDS < until)) || return 1; sleep 0.2; done
}
# prints EXPECTED COMMAND...: whether COMMAND's output, run now, is EXPECTED.
prints() { [[ $("${@:2}") == "$1" ]]; }
# The pid of SERVICE's running instance, as the service manager lists it (empty: none runs).
pid_of() { ubus call service list "{\"name\":\"$1\"}" 2>/dev/null | jq -r ".$1.instances.instance1 | select(.running) | .pid // empty"; }
pids() { echo "$(pid_of vorn_mgr) $(pid_of vorn_mqtt) $(pid_of vorn_web)"; }
runs_anew() { local now; now=$(pid_of "$1"); [[ -n $now && $now != "$2" ]] && kill -0 "$now" 2>/dev/null; }
# What `/etc/init.d/SERVICE status` says, and its exit status.
status_of() { local said; said=$(/etc/init.d/"$1" status); echo "$said $?"; }
lines_of() { logread | grep -F "vorn_mgr[$1]: " | grep -c -F -- "$2"; }
has_line() { (($(lines_of "$1" "$2") > 0)); }
in_log() { logread -e "$1" | grep -q .; }
reports() { wc -l </tmp/cloud_agent/transmit.log 2>/dev/null || echo 0; }
reports_above() { (($(reports) > $1)); }
no_daemon() { ! pgrep -x vorn_mgr >/dev/null; }
# The daemon's main process $1 is whole: connected to the collector, the DeviceList rebuilt from
# sensorlist before the link semaphore (one entry per sensor there), sensor data handled.
whole() { has_line "$1" "connected to the collector.." && has_line "$1" "Create Semphore Success" && has_line "$1" "Sensor 0x"; }
bus_status_whole() {
  local status
  status=$(ubus call vorn_mgr status 2>/dev/null | tr -d ' \t\n')
  [[ $status == *'"collector":{"state":"running","link":"up"'* && $status == *'"device_list":10,'* ]]
}
rebuilt_entries() { logread | sed -n "/vorn_mgr\[$1\]: Create Semphore Success/q; s/.*vorn_mgr\[$1\]: Add - DeviceList\[\(0x[0-9A-F]*\)\].*/\1/p" | sort -u | wc -l; }
# Sensors of sensorlist with a firmware version: the ones the start-up puts in the DeviceList.
identified_sensors() { uci show sensorlist | grep -v Coprocessor | grep -cE '^sensorlist\.[^.]*\.ModelVersion='; }
# reload_config, then long enough for the manager's triggers (1 s delay) and restarts to be done.
reload_and_settle() { reload_config; sleep 3; }

# The service manager takes every parameter of an instance and restarts a running instance only
# when its definition changed as the router's compares it (command, environment, the content of a
# declared file, limits, user, respawn rule), not for "data" or "stdout", nor for a change in the
# last three characters of an environment value (the router's manager does not look at them): a
# probe service whose parameters each row sets (row: parameters ~~ restarted? ~~ what the probe
# then reports).
cat >/tmp/probe <<'PROBE'
#!/bin/sh
{ printf '%s|' "$@"; echo "env=${PROBE_ENV:-} uid=$(id -u) nofile=$(ulimit -n)"; } >/tmp/probe.out.$$
exec sleep 600
PROBE
chmod +x /tmp/probe
cat >/etc/init.d/probe <<'PROBE'
#!/bin/sh /etc/rc.common
USE_PROCD=1
start_service() {
	procd_open_instance
	procd_set_param command /tmp/probe "$(cat /tmp/probe.argument)"
	procd_set_param pidfile /tmp/probe.pid
	. /tmp/probe.params
	procd_close_instance
}
PROBE
chmod +x /etc/init.d/probe
printf 'a "quoted" \\back\\slash\ttab\nnext line' >/tmp/probe.argument
echo "option a 'b'" >/tmp/probe.conf
base="procd_set_param env PROBE_ENV=a; procd_set_param file /tmp/probe.conf; procd_set_param data x=1; procd_set_param respawn"
probe_rows=(
  "$base ~~ started ~~ env=a uid=0 nofile=$(ulimit -n)"
  "$base ~~ kept ~~ env=a"
  "${base/x=1/x=2} ~~ kept ~~ env=a"
  "$base; procd_set_param stdout 1 ~~ kept ~~ env=a"
  "${base/PROBE_ENV=a/PROBE_ENV=b} ~~ kept ~~ env=a"
  "${base/PROBE_ENV=a/PROBE_ENV=bbbb} ~~ restarted ~~ env=bbbb"
  "${base/PROBE_ENV=a/PROBE_ENV=cbbb} ~~ restarted ~~ env=cbbb"
  "${base/PROBE_ENV=a/PROBE_ENV=cbbc} ~~ kept ~~ env=cbbb"
  "echo \"option a 'c'\" >/tmp/probe.conf; $base ~~ restarted ~~ env=a"
  "$base; procd_set_param limits nofile='123 456' ~~ restarted ~~ nofile=123"
  "$base; procd_set_param user nobody ~~ restarted ~~ uid=$(id -u nobody)"
  "$base 3600 5 2 ~~ restarted ~~ env=a"
)
# The report of the probe now running (empty until it wrote one).
probe_report() { local pid; pid=$(pid_of probe); [[ -n $pid ]] && cat "/tmp/probe.out.$pid" 2>/dev/null; }
before=""
for row in "${probe_rows[@]}"; do
  params=${row%% ~~ *} rest=${row#* ~~ }
  expected=${rest%% ~~ *} report=${rest#* ~~ }
  echo "$params" >/tmp/probe.params
  [[ $params == echo* ]] && eval "${params%%;*}"
  /etc/init.d/probe start
  sleep 0.5  # a restart has begun by now: the manager signals the program before the call returns
  eventually 10 eval '[[ -n $(probe_report) ]]'
  now=$(pid_of probe)
  case "$before" in "") outcome=started ;; "$now") outcome=kept ;; *) outcome=restarted ;; esac
  check "probe with '$params': $expected" test "$outcome" = "$expected"
  check "... reports $report" grep -qF -- "$report" <<<"$(probe_report)"
  before=$now
done
check "the probe's argument reached it whole (quotes, backslashes, tab, newline)" \
  test "$(probe_report | cut -d'|' -f1)" = "$(cat /tmp/probe.argument)"
check "its pid file holds its pid" test "$(cat /tmp/probe.pid)" = "$(pid_of probe)"
/etc/init.d/probe stop
check "stopped: its pid file is removed" eventually 10 test ! -e /tmp/probe.pid
# The manager's other ways: an init script's own reload_service, a program deaf to TERM killed
# after its term_timeout with one log line, a trigger run once however often its event came while
# it waited, its delay after the last, with output to nowhere.
cat >/tmp/probe <<'PROBE'
#!/bin/sh
trap 'echo reloaded >>/tmp/probe.reloads' HUP
trap '' TERM
while :; do sleep 0.1; done
PROBE
cat >/etc/init.d/probe <<'PROBE'
#!/bin/sh /etc/rc.common
USE_PROCD=1
start_service() {
	procd_open_instance
	procd_set_param command /tmp/probe
	procd_set_param term_timeout 1
	procd_close_instance
}
reload_service() { procd_send_signal probe; }
service_triggers() { procd_add_raw_trigger probe.poke 1000 /tmp/probe.poked; }
PROBE
printf '#!/bin/sh\ndate +%%s.%%N >>/tmp/probe.pokes\necho noise\n' >/tmp/probe.poked
chmod +x /etc/init.d/probe /tmp/probe /tmp/probe.poked
/etc/init.d/probe start
eventually 10 runs_anew probe ""
deaf=$(pid_of probe)
/etc/init.d/probe reload
check "reload runs the script's own reload_service (here a HUP), the program kept" \
  eventually 10 eval '[[ $(cat /tmp/probe.reloads 2>/dev/null) == reloaded && $(pid_of probe) == "$deaf" ]]'
poked=$(date +%s.%N)
for _ in 1 2 3; do ubus call service event '{"type":"probe.poke","data":{}}'; sleep 0.2; done
check "a trigger asked for three times within its delay runs once, its delay after the last" eventually 10 eval \
  '[[ $(wc -l 2>/dev/null </tmp/probe.pokes) == 1 ]] && awk -v t="$poked" "{ exit !(\$1 - t >= 1.4) }" /tmp/probe.pokes'
sleep 1.5
check "... and not again, its output nowhere" test "$(wc -l </tmp/probe.pokes)-$(logread -e noise | wc -l)" = "1-0"
/etc/init.d/probe stop
check "a program deaf to TERM is killed after its term_timeout" eventually 10 eval '! kill -0 "$deaf" 2>/dev/null'
check "... and the log says so in the manager's words" \
  in_log "^procd: Instance probe::instance1 pid $deaf not stopped on SIGTERM, sending SIGKILL instead\$"
rm /etc/init.d/probe

# The first-boot defaults script gives a gateway without an id one, from the coprocessor's address
# when the daemon has learnt it, else from the MAC address (eth0 first); an id set is kept.
defaults=$repo/packaging/openwrt/vorn/files/vorn_mgr.defaults
gateway_id=$(uci get gateway.main.register_name)
cp /etc/config/sensorlist /tmp/sensorlist.kept
mount -t tmpfs interfaces /sys/class/net
mkdir /sys/class/net/lo /sys/class/net/eth0 /sys/class/net/wlan0
echo 00:00:00:00:00:00 >/sys/class/net/lo/address
echo 02:aa:bb:cc:dd:01 >/sys/class/net/wlan0/address
echo 02:11:22:33:44:5e >/sys/class/net/eth0/address
derived_id() { # derived_id COPROCESSOR_ADDRESS ETH0_PRESENT
  uci -q delete gateway.main.register_name; uci commit gateway
  uci -q delete sensorlist.coprocessor
  [[ -n $1 ]] && uci set sensorlist.coprocessor=Coprocessor && uci set sensorlist.coprocessor.ExtAddress="$1"
  uci commit sensorlist
  [[ $2 == yes ]] || mv /sys/class/net/eth0 /sys/class/net/.eth0
  (cd /tmp && sh "$defaults") && uci get gateway.main.register_name
  [[ $2 == yes ]] || mv /sys/class/net/.eth0 /sys/class/net/eth0
}
check "no id: from the coprocessor's extended address" prints GW00124B00A1B2C399 derived_id 00124b00a1b2c399 yes
check "no id, no coprocessor address: from eth0's MAC address" prints GW02112233445E derived_id "" yes
check "no eth0: from the first interface with a MAC address" prints GW02AABBCCDD01 derived_id "" no
uci set gateway.main.register_name="$gateway_id"; uci commit gateway
check "an id set is kept" prints "$gateway_id" eval '(cd /tmp && sh "$defaults") && uci get gateway.main.register_name'
umount /sys/class/net
cp /tmp/sensorlist.kept /etc/config/sensorlist

/usr/sbin/cloud_agent >/tmp/cloud_agent.log 2>&1 &
ubus -t 10 wait_for cloud_agent || { echo "the cloud agent did not come up"; exit 1; }
# A quick respawn rule: 2 s before a respawn, at most 2 crashes, a crash being a run under 300 s.
uci set gateway.main.respawn_threshold=300
uci set gateway.main.respawn_timeout=2
uci set gateway.main.respawn_retry=2
uci commit gateway

# Enabled, they start with the router's boot, which also runs the first-boot defaults once.
for service in vorn_mgr vorn_mqtt vorn_web; do /etc/init.d/$service enable; done
check "enable links the start and stop scripts" test "$(readlink /etc/rc.d/S95vorn_mgr)-$(readlink /etc/rc.d/K10vorn_mgr)" = "../init.d/vorn_mgr-../init.d/vorn_mgr"
check "enabled says so" /etc/init.d/vorn_mgr enabled
check "status before the boot: inactive, exit 3" prints "inactive 3" status_of vorn_mgr
check "the boot's defaults are there" test -x /etc/uci-defaults/vorn_mgr
router-boot
check "the boot ran the defaults once, keeping the id set" test ! -e /etc/uci-defaults/vorn_mgr -a "$(uci get gateway.main.register_name)" = "$gateway_id"
check "the boot started all three: status running, exit 0" prints "running 0 running 0 running 0" eval \
  'echo $(status_of vorn_mgr) $(status_of vorn_mqtt) $(status_of vorn_web)'
check "service lists them enabled and running" \
  test "$(service | grep -cE '^/etc/init.d/vorn_(mgr|mqtt|web)[[:space:]]+enabled[[:space:]]+running$')" -eq 3
check "each has its program running" eventually 10 eval '[[ $(pids) =~ ^[0-9]+\ [0-9]+\ [0-9]+$ ]]'
first=$(pid_of vorn_mgr)
started=$(pids)
check "the daemon is whole and reporting" eventually 120 whole "$first"
check "reports reach the cloud agent" eventually 120 reports_above 0
for service in vorn_mgr vorn_mqtt vorn_web; do /etc/init.d/$service start; done
check "a second start leaves the running programs alone" test "$(pids)" = "$started"
check "stdout and stderr both reach the log" eventually 10 prints "err info" \
  eval "logread -e 'vorn_mgr\[$first\]' | grep -oE 'daemon\.(info|err)' | cut -d. -f2 | sort -u | xargs"
check "logread -e vorn_mgr shows the daemon's lines" test "$(logread -e vorn_mgr | grep -c "vorn_mgr\[$first\]: ")" -ge 20
check "the other two programs' lines are in the log" eventually 20 eval \
  "logread -e 'mqtt_agent\[' | grep -q . && logread -e 'vorn_web\[' | grep -q ."

# Killed, it is respawned after its timeout and is whole again; the manager logs nothing of it.
check "the ten sensors of the built-in network identified" eventually 180 prints 10 identified_sensors
before=$(reports)
kill -9 "$first"
killed_at=$SECONDS
check "respawned after a kill -9" eventually 20 runs_anew vorn_mgr "$first"
second=$(pid_of vorn_mgr)
check "not before its 2 s timeout" test $((SECONDS - killed_at)) -ge 2
check "the respawned daemon is whole" eventually 120 whole "$second"
check "the DeviceList rebuilt from sensorlist with the ten sensors" test "$(rebuilt_entries "$second")" -eq 10
check "its status object: collector running, link up, ten sensors in the DeviceList" eventually 30 bus_status_whole
check "reports flow again" eventually 120 reports_above "$before"
check "one collector, the old command process gone" eventually 20 prints "1 0" eval "echo \$(pgrep -c -x collector) \$(pgrep -c -P $first)"
check "a respawn is not in the log" test -z "$(logread -e '^procd: .*vorn_mgr')"

# Past its respawn rule it stays down, says so in the log and in its status.
kill -9 "$second"
check "respawned after the second crash" eventually 20 runs_anew vorn_mgr "$second"
third=$(pid_of vorn_mgr)
eventually 60 has_line "$third" "connected to the collector.."
kill -9 "$third"
check "the third crash leaves it down: not running, exit 5" eventually 20 prints "not running 5" status_of vorn_mgr
check "the log says why, in the manager's words" \
  in_log '^procd: Instance vorn_mgr::instance1 s in a crash loop 3 crashes, [0-9]* seconds since last crash$'
check "the crash loop is the manager's only line about it" test "$(logread -e '^procd: .*vorn_mgr' | wc -l)" -eq 1
sleep 3
check "and it stays down past its timeout" test -z "$(pid_of vorn_mgr)"
check "no daemon process is left" eventually 20 no_daemon

# Started by hand it runs again. reload_config restarts exactly the programs whose settings
# changed: nothing at its first run (it only records) nor without a change.
/etc/init.d/vorn_mgr start
check "started again after the crash loop" eventually 10 runs_anew vorn_mgr ""
check "... and whole" eventually 120 whole "$(pid_of vorn_mgr)"
started=$(pids)
reload_and_settle
check "the first reload_config restarts nothing" test "$(pids)" = "$started"
reload_and_settle
check "reload_config without a change restarts nothing" test "$(pids)" = "$started"
uci set gateway.main.region=4
uci commit gateway
reload_config
read -r daemon agent page <<<"$started"
check "a changed region restarts the daemon" eventually 30 runs_anew vorn_mgr "$daemon"
fourth=$(pid_of vorn_mgr)
check "... which runs with the new region" eventually 60 eval "has_line $fourth 'Sub1g Region: 4' && cmp -s /etc/collector.cfg /etc/vorn_cfg/collector_ETSI868_normal.cfg"
check "... and is whole" eventually 120 whole "$fourth"
sleep 2
check "... while the MQTT agent and the page keep running as they were" test "$(pid_of vorn_mqtt) $(pid_of vorn_web)" = "$agent $page"
check "the restart ended the old daemon's command process" eventually 20 prints 0 pgrep -c -P "$daemon"
uci set vorn_web.main.poll_ms=500
uci commit vorn_web
reload_config
check "a changed page setting restarts the page" eventually 30 runs_anew vorn_web "$page"
sleep 2
check "... alone" test "$(pid_of vorn_mgr) $(pid_of vorn_mqtt)" = "$fourth $agent"
page=$(pid_of vorn_web)
uci set gateway.main.register_name=GW00124B00A1B2C4  # its last character only
uci commit gateway
reload_config
check "a changed gateway id restarts the daemon and the MQTT agent, which read it" eventually 30 eval \
  "runs_anew vorn_mgr $fourth && runs_anew vorn_mqtt $agent"
sleep 2
check "... not the page, which reads it as it goes" test "$(pid_of vorn_web)" = "$page"
daemon=$(pid_of vorn_mgr)
/etc/init.d/vorn_mgr restart
check "restart gives a new daemon" eventually 20 runs_anew vorn_mgr "$daemon"

# Stopped and disabled.
for service in vorn_mgr vorn_mqtt vorn_web; do /etc/init.d/$service stop; done
check "stop: status inactive, exit 3" eventually 20 prints "inactive 3" status_of vorn_mgr
check "stop: no program of theirs left" eventually 20 eval '! pgrep -x vorn_mgr && ! pgrep -x mqtt_agent && ! pgrep -x vorn_web' >/dev/null
check "the manager knows none of them" test -z "$(ubus call service list | jq -r 'keys[]' | grep vorn)"
for service in vorn_mgr vorn_mqtt vorn_web; do /etc/init.d/$service disable; done
check "disable removes the links" test -z "$(ls /etc/rc.d)"
check "enabled says no" test "$(/etc/init.d/vorn_mgr enabled; echo $?)" = 1
check "no zombies" test -z "$(ps -eo stat= | grep Z)"
check "no sanitizer report in the log" test "$(logread -e 'Sanitizer\|runtime error' | wc -l)" -eq 0

killall -q -TERM collector cm_restart cloud_agent
exit $((fails > 0))
