#!/usr/bin/env bash
# The gateway under the router's process manager (its stand-in), in a router sandbox: enabled and
# started by the boot, killed and respawned whole (collector link, DeviceList, reports), killed
# past its respawn rule and left down with the reason in the log, its output in logread, started
# again, restarted by a change of its configuration, stopped and disabled.
set -u
repo=$1
fails=0
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; fails=$((fails + 1)); fi
}
# eventually SECONDS COMMAND...: true once COMMAND is, within SECONDS (a bound that catches a hang).
eventually() {
  local until=$((SECONDS + $1)); shift
  until "$@"; do ((SECONDS < until)) || return 1; sleep 0.2; done
}
# prints EXPECTED COMMAND...: whether COMMAND's output, run now, is EXPECTED.
prints() { [[ $("${@:2}") == "$1" ]]; }
pid_file=/var/run/procd/vorn_mgr/instance1/pid
main_pid() { cat "$pid_file" 2>/dev/null; }
# The pid of a program just started: its supervisor reports the start before the program's own
# process has written the pid file.
started_pid() { eventually 10 test -s "$1"; cat "$1" 2>/dev/null; }
running_other_than() { local pid; pid=$(main_pid); [[ -n $pid && $pid != "$1" ]] && kill -0 "$pid" 2>/dev/null; }
lines_of() { logread | grep -F "vorn_mgr[$1]: " | grep -c -F -- "$2"; }
has_line() { (($(lines_of "$1" "$2") > 0)); }
reports() { wc -l </tmp/cloud_agent/transmit.log 2>/dev/null || echo 0; }
reports_above() { (($(reports) > $1)); }
in_log() { logread -e "$1" | grep -q .; }
status_is() { [[ $(/etc/init.d/vorn_mgr status) == "$1" ]]; }
no_daemon() { ! pgrep -x vorn_mgr >/dev/null; }
# The daemon's main process $1 is whole: connected to the collector, the DeviceList rebuilt from
# sensorlist before the link semaphore (one entry per sensor there), sensor data handled.
whole() {
  has_line "$1" "connected to the collector.." && has_line "$1" "Create Semphore Success" &&
    has_line "$1" "Sensor 0x" || return 1
}
bus_status_whole() {
  local status
  status=$(ubus call vorn_mgr status 2>/dev/null | tr -d ' \t\n')
  [[ $status == *'"collector":{"state":"running","link":"up"'* && $status == *'"device_list":10,'* ]]
}
rebuilt_entries() { logread | sed -n "/vorn_mgr\[$1\]: Create Semphore Success/q; s/.*vorn_mgr\[$1\]: Add - DeviceList\[\(0x[0-9A-F]*\)\].*/\1/p" | sort -u | wc -l; }
# Sensors of sensorlist with a firmware version: the ones the start-up puts in the DeviceList.
identified_sensors() { uci show sensorlist | grep -v Coprocessor | grep -cE '^sensorlist\.[^.]*\.ModelVersion='; }

/usr/sbin/cloud_agent >/tmp/cloud_agent.log 2>&1 &
ubus -t 10 wait_for cloud_agent || { echo "the cloud agent did not come up"; exit 1; }
# A quick respawn rule: 2 s before a respawn, at most 2 crashes, a crash being a run under 300 s.
uci set gateway.main.respawn_threshold=300
uci set gateway.main.respawn_timeout=2
uci set gateway.main.respawn_retry=2
uci commit gateway

# Enabled, it starts with the router's boot.
/etc/init.d/vorn_mgr enable
check "enable links the start and stop scripts" test "$(readlink /etc/rc.d/S95vorn_mgr)-$(readlink /etc/rc.d/K10vorn_mgr)" = "../init.d/vorn_mgr-../init.d/vorn_mgr"
check "enabled says so" /etc/init.d/vorn_mgr enabled
check "status before the boot: inactive" status_is inactive
router-boot
check "the boot started it: status running" status_is running
check "service lists it enabled and running" grep -qE '^vorn_mgr +enabled +running' <<<"$(service)"
first=$(started_pid "$pid_file")
check "the daemon is whole and reporting" eventually 120 whole "$first"
check "reports reach the cloud agent" eventually 120 reports_above 0
/etc/init.d/vorn_mgr start
check "a second start leaves the running daemon alone" test "$(main_pid)" = "$first"
check "stdout and stderr both reach the log" eventually 10 prints "err info" \
  eval "logread -e 'vorn_mgr\[$first\]' | grep -oE 'daemon\.(info|err)' | cut -d. -f2 | sort -u | xargs"
check "logread | grep vorn_mgr shows the daemon's lines" test "$(logread | grep -c vorn_mgr)" -ge 20

# Killed, it is respawned after its timeout and is whole again.
check "the ten sensors of the built-in network identified" eventually 180 prints 10 identified_sensors
before=$(reports)
kill -9 "$first"
killed_at=$SECONDS
check "respawned after a kill -9" eventually 20 running_other_than "$first"
second=$(main_pid)
check "not before its 2 s timeout" test $((SECONDS - killed_at)) -ge 2
check "the log says it died and is respawned" eventually 5 in_log "procd: Instance vorn_mgr::instance1 killed by signal 9 after [0-9]+s, respawning in 2s"
check "the respawned daemon is whole" eventually 120 whole "$second"
check "the DeviceList rebuilt from sensorlist with the ten sensors" test "$(rebuilt_entries "$second")" -eq 10
check "its status object: collector running, link up, ten sensors in the DeviceList" eventually 30 bus_status_whole
check "reports flow again" eventually 120 reports_above "$before"
check "one collector, the old command process gone" eventually 20 prints "1 0" eval "echo \$(pgrep -c -x collector) \$(pgrep -c -P $first)"

# Past its respawn rule it stays down and says why.
kill -9 "$second"
check "respawned after the second crash" eventually 20 running_other_than "$second"
third=$(main_pid)
eventually 60 has_line "$third" "connected to the collector.."
kill -9 "$third"
check "the third crash leaves it down" eventually 20 status_is "not running (crash loop: 3 deaths, see logread)"
check "the log says why" in_log "daemon.err procd: Instance vorn_mgr::instance1 killed by signal 9 after [0-9]+s: in a crash loop, 3 deaths each within 300s of its start, more than the 2 respawns allowed; not started again"
sleep 3
check "and it stays down past its timeout" test -z "$(main_pid)"
check "no daemon process is left" eventually 20 no_daemon

# Started by hand it runs again; a change of its configuration restarts it with the new settings.
/etc/init.d/vorn_mgr start
check "started again after the crash loop" status_is running
fourth=$(started_pid "$pid_file")
reload_config >/dev/null
check "reload_config without a change leaves it alone" test "$(main_pid)" = "$fourth"
uci set gateway.main.debug=1
uci commit gateway
check "reload_config after a change of gateway reloads it" grep -q "gateway changed, reloading vorn_mgr" <<<"$(reload_config)"
fifth=$(started_pid "$pid_file")
# Under user-mode emulation the command line starts with the emulator: only its end is compared.
started_with_d1() { [[ -n "$fifth" && "$fifth" != "$fourth" && "$(tr '\0' ' ' </proc/"$fifth"/cmdline 2>/dev/null)" == *"/usr/sbin/vorn_mgr -d1 " ]]; }
check "a new daemon with the new setting (-d1)" started_with_d1
check "the restart ended the old daemon's command process" eventually 20 prints 0 pgrep -c -P "$fourth"
/etc/init.d/vorn_mgr restart
check "restart gives a new daemon" running_other_than "$fifth"

# The MQTT agent's and the page's init scripts, each on a stand-in program that prints a line on
# each stream and waits: started, output in the log, respawned after a kill, restarted by a change
# of its own configuration only.
pid_of() { cat "/var/run/procd/$1/instance1/pid" 2>/dev/null; }
# A process of SERVICE other than PID runs. (The supervisor says "running" as it starts the program,
# whose own process writes the pid file a moment later: until then there is no pid to compare.)
runs_anew() { local now; now=$(pid_of "$1"); [[ -n $now && $now != "$2" ]] && kill -0 "$now" 2>/dev/null; }
declare -A program=([vorn_mqtt]=mqtt_agent [vorn_web]=vorn_web) package=([vorn_mqtt]=vorn-mqtt [vorn_web]=vorn-web)
declare -A started
for service in vorn_mqtt vorn_web; do
  printf '#!/bin/sh\necho "%s up"\necho "%s warns" >&2\nexec sleep 600\n' "$service" "$service" >"/usr/sbin/${program[$service]}"
  chmod +x "/usr/sbin/${program[$service]}"
  cp "$repo/packaging/openwrt/${package[$service]}/files/$service.init" "/etc/init.d/$service"
  touch "/etc/config/$service"
  "/etc/init.d/$service" start
  started[$service]=$(started_pid "/var/run/procd/$service/instance1/pid")
  check "$service: started" test "$("/etc/init.d/$service" status)" = running
  check "$service: both streams in the log" eventually 10 prints 2 eval \
    "logread -e '(info|err) ${program[$service]}\[${started[$service]}\]: $service (up|warns)' | wc -l"
  kill -9 "${started[$service]}"
done
for service in vorn_mqtt vorn_web; do
  check "$service: respawned after its 5 s timeout" eventually 20 prints running eval \
    "runs_anew $service ${started[$service]} && /etc/init.d/$service status"
  started[$service]=$(pid_of "$service")
done
echo "config extra 'extra'" >>/etc/config/vorn_web
check "a change of vorn_web reloads vorn_web alone" test "$(reload_config)" = "reload_config: vorn_web changed, reloading vorn_web"
# Under load the new instance may take longer to come up than the reload waits for it.
check "... which runs again, the MQTT agent untouched" eventually 20 prints "running-${started[vorn_mqtt]}" \
  eval 'echo "$(/etc/init.d/vorn_web status)-$(pid_of vorn_mqtt)"'
check "... as a new process" eventually 10 runs_anew vorn_web "${started[vorn_web]}"
/etc/init.d/vorn_mqtt stop
/etc/init.d/vorn_web stop
check "both stopped, their programs ended" test "$(/etc/init.d/vorn_mqtt status; /etc/init.d/vorn_web status; pgrep -c -f 'sleep 600')" = $'inactive\ninactive\n0'

# Stopped and disabled.
supervisor=$(cat /var/run/procd/vorn_mgr/instance1/supervisor)
/etc/init.d/vorn_mgr stop
check "stop: status inactive" status_is inactive
check "stop: no daemon process left" eventually 20 no_daemon
check "stop: its supervisor ended" test -n "$supervisor" -a ! -d "/proc/$supervisor"
/etc/init.d/vorn_mgr disable
check "disable removes the links" test -z "$(ls /etc/rc.d)"
check "enabled says no" test "$(/etc/init.d/vorn_mgr enabled; echo $?)" = 1
check "no zombies" test -z "$(ps -eo stat= | grep Z)"
check "no sanitizer report in the log" test "$(logread -e 'Sanitizer|runtime error' | wc -l)" -eq 0

killall -q -TERM collector cm_restart cloud_agent
exit $((fails > 0))
