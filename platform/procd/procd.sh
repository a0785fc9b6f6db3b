# The procd_* functions an init script's start_service() and service_triggers() call. They stage
# the service's instances under $PROCD_RUN/.staged/<service>; procd_commit (called by rc.common
# after those functions) hands them to the supervisor. POSIX sh: init scripts run under /bin/sh.

PROCD_RUN=/var/run/procd
PROCD_LIB=/lib/procd

# Starts staging the service $1: no instance and no trigger yet.
procd_open_service() {
	_procd_service=$1
	_procd_staged=$PROCD_RUN/.staged/$1
	_procd_instance=""
	_procd_count=0
	rm -rf "$_procd_staged"
	mkdir -p "$_procd_staged"
	: >"$_procd_staged/triggers"
}

procd_open_instance() {
	[ -n "${_procd_staged:-}" ] || { echo "procd_open_instance: no service is being started" >&2; return 1; }
	_procd_count=$((_procd_count + 1))
	_procd_instance=${1:-instance$_procd_count}
	case "$_procd_instance" in */* | .* | '') echo "procd_open_instance: bad name '$_procd_instance'" >&2; return 1 ;; esac
	mkdir -p "$_procd_staged/$_procd_instance"
}

# procd_set_param KEY VALUE...: one value per line in the instance's KEY file.
procd_set_param() {
	[ -n "${_procd_instance:-}" ] || { echo "procd_set_param: no open instance" >&2; return 1; }
	_procd_key=$1
	shift
	case "$_procd_key" in
	command | env) ;;
	respawn)
		# threshold (s), timeout (s), retry: the router's defaults when left out.
		set -- "${1:-3600}" "${2:-5}" "${3:-5}"
		for _procd_value in "$@"; do
			case "$_procd_value" in '' | *[!0-9]*) echo "procd_set_param respawn: '$_procd_value' is not a number" >&2; return 1 ;; esac
		done ;;
	stdout | stderr | term_timeout)
		case "${1:-}" in '' | *[!0-9]*) echo "procd_set_param $_procd_key: '${1:-}' is not a number" >&2; return 1 ;; esac ;;
	*) echo "procd_set_param: unknown parameter '$_procd_key'" >&2; return 1 ;;
	esac
	: >"$_procd_staged/$_procd_instance/$_procd_key"
	procd_append_param "$_procd_key" "$@"
}

procd_append_param() {
	_procd_file=$_procd_staged/$_procd_instance/$1
	shift
	for _procd_value in "$@"; do
		printf '%s\n' "$_procd_value" >>"$_procd_file"
	done
}

procd_close_instance() {
	[ -s "$_procd_staged/$_procd_instance/command" ] || {
		echo "procd_close_instance: instance $_procd_instance has no command, dropped" >&2
		rm -rf "${_procd_staged:?}/$_procd_instance"
	}
	_procd_instance=""
}

# A change of one of these configuration packages (reload_config) reloads the service.
procd_add_reload_trigger() {
	for _procd_value in "$@"; do
		printf '%s\n' "$_procd_value" >>"$_procd_staged/triggers"
	done
}

# Instance names of the running service $1, one a line.
procd_instances() {
	for _procd_idir in "$PROCD_RUN/$1"/*/; do
		[ -d "$_procd_idir" ] && basename "$_procd_idir"
	done
}

# Stops instance $2 of service $1: TERM to its supervisor, which ends the program (KILL after the
# instance's term_timeout) and then itself.
procd_stop_instance() {
	_procd_idir=$PROCD_RUN/$1/$2
	_procd_isup=$(cat "$_procd_idir/supervisor" 2>/dev/null)
	if [ -n "$_procd_isup" ] && kill -0 "$_procd_isup" 2>/dev/null; then
		kill -TERM "$_procd_isup" 2>/dev/null
		_procd_iwait=$(( ($(cat "$_procd_idir/term_timeout" 2>/dev/null || echo 5) + 3) * 10 ))
		while [ "$_procd_iwait" -gt 0 ] && kill -0 "$_procd_isup" 2>/dev/null; do
			sleep 0.1
			_procd_iwait=$((_procd_iwait - 1))
		done
	fi
	# A program whose supervisor is gone (killed) is ended here.
	_procd_ipid=$(cat "$_procd_idir/pid" 2>/dev/null)
	if [ -n "$_procd_ipid" ] && kill -0 "$_procd_ipid" 2>/dev/null; then
		kill -TERM "$_procd_ipid" 2>/dev/null
		sleep 1
		kill -KILL "$_procd_ipid" 2>/dev/null
	fi
	rm -rf "$_procd_idir"
}

procd_stop_service() {
	for _procd_sname in $(procd_instances "$1"); do
		procd_stop_instance "$1" "$_procd_sname"
	done
	rm -rf "${PROCD_RUN:?}/$1"
}

# Puts the staged service in place: an instance whose parameters did not change and that is still
# supervised keeps running; the others are stopped and started afresh.
procd_commit() {
	_procd_live=$PROCD_RUN/$_procd_service
	mkdir -p "$_procd_live"
	for _procd_name in $(procd_instances "$_procd_service"); do
		[ -d "$_procd_staged/$_procd_name" ] || procd_stop_instance "$_procd_service" "$_procd_name"
	done
	for _procd_dir in "$_procd_staged"/*/; do
		[ -d "$_procd_dir" ] || continue
		_procd_name=$(basename "$_procd_dir")
		_procd_sup=$(cat "$_procd_live/$_procd_name/supervisor" 2>/dev/null)
		if [ -n "$_procd_sup" ] && kill -0 "$_procd_sup" 2>/dev/null &&
			[ "$(_procd_params "$_procd_dir")" = "$(_procd_params "$_procd_live/$_procd_name")" ]; then
			continue
		fi
		procd_stop_instance "$_procd_service" "$_procd_name"
		cp -R "$_procd_dir" "$_procd_live/$_procd_name"
		# A session of its own, no terminal and no inherited output: the caller (a shell, a
		# command substitution) neither waits for it nor takes it down.
		setsid "$PROCD_LIB/instance" "$_procd_service" "$_procd_name" </dev/null >/dev/null 2>&1 &
		_procd_wait=50
		while [ "$_procd_wait" -gt 0 ] && [ ! -e "$_procd_live/$_procd_name/state" ]; do
			sleep 0.1
			_procd_wait=$((_procd_wait - 1))
		done
	done
	cp "$_procd_staged/triggers" "$_procd_live/triggers"
	# reload_config compares the trigger packages with their state at this start.
	while read -r _procd_package; do
		_procd_sum=$(md5sum <"/etc/config/$_procd_package" 2>/dev/null | cut -d' ' -f1)
		{ grep -v "^$_procd_package " "$PROCD_RUN/.config.md5" 2>/dev/null; echo "$_procd_package $_procd_sum"; } >"$PROCD_RUN/.config.md5.new"
		mv "$PROCD_RUN/.config.md5.new" "$PROCD_RUN/.config.md5"
	done <"$_procd_staged/triggers"
	rm -rf "$_procd_staged"
	rmdir "$_procd_live" 2>/dev/null
	return 0
}

_procd_params() {
	for _procd_key in command env respawn stdout stderr term_timeout; do
		printf '%s:' "$_procd_key"
		cat "$1/$_procd_key" 2>/dev/null
	done
}
