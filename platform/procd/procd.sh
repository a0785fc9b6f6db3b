# The procd_* functions an init script's start_service() and service_triggers() call, as on the
# router: they describe the service (its instances and triggers) as JSON and procd_close_service
# (called by rc.common after those functions) hands it to the service manager's bus object:
#   ubus call service set '{"name":...,"script":...,"instances":{...},"triggers":[...],"data":{...}}'
# The manager starts what is new, restarts an instance only when its definition changed (command,
# environment, the content of the files named by "file", respawn rule, user, limits, ...) and
# stops what the service no longer names. POSIX sh: init scripts run under /bin/sh.

PROCD_RELOAD_DELAY=${PROCD_RELOAD_DELAY:-1000}
_procd_tab=$(printf '\t')
_procd_cr=$(printf '\r')
_procd_nl='
'

# A shell value as a JSON string. Backslash, quote, tab, carriage return and newline are escaped;
# other control characters are dropped.
_procd_json_string() {
	case "$1" in
	*[\"\\]* | *"$_procd_tab"* | *"$_procd_cr"* | *"$_procd_nl"* | *[[:cntrl:]]*)
		printf '"%s"' "$(printf '%s' "$1" | tr -d '\000-\010\013\014\016-\037' |
			sed -e 's/\\/\\\\/g' -e 's/"/\\"/g' -e "s/$_procd_tab/\\\\t/g" -e "s/$_procd_cr/\\\\r/g" |
			awk 'NR > 1 { printf "\\n" } { printf "%s", $0 }')" ;;
	*) printf '"%s"' "$1" ;;
	esac
}

# JSON read back as one "path=value" line per value (path: keys and array indexes joined by "/"),
# "path={}" or "path=[]" for an empty table or array inside it; strings unquoted.
_procd_flatten() {
	awk '
	function skip() { while (i <= n && index(" \t\r\n", substr(text, i, 1))) i++ }
	function str(   out, c) {
		i++; out = ""
		while (i <= n) {
			c = substr(text, i, 1)
			if (c == "\\") {
				c = substr(text, i + 1, 1); i += 2
				if (c == "n") out = out "\n"; else if (c == "t") out = out "\t"
				else if (c == "u") { out = out "?"; i += 4 } else out = out c
				continue
			}
			i++
			if (c == "\"") return out
			out = out c
		}
		return out
	}
	function value(path,   c, key, k) {
		skip(); c = substr(text, i, 1)
		if (c == "{" || c == "[") {
			i++; skip(); k = 0
			if (substr(text, i, 1) == (c == "{" ? "}" : "]")) {
				i++
				if (path != "") print path "=" c (c == "{" ? "}" : "]")
				return
			}
			while (i <= n) {
				skip()
				if (c == "{") { key = str(); skip(); i++ } else key = k++
				value(path == "" ? key : path "/" key); skip()
				if (substr(text, i++, 1) != ",") return
			}
			return
		}
		if (c == "\"") { print path "=" str(); return }
		k = i
		while (i <= n && !index(",}] \t\r\n", substr(text, i, 1))) i++
		print path "=" substr(text, k, i - k)
	}
	{ text = text $0 "\n" }
	END { n = length(text); i = 1; if (n > 1) value("") }'
}

_procd_ubus_call() {
	ubus call service "$@"
}

# Starts the description of service $1 (its init script $2).
procd_open_service() {
	_PROCD_SERVICE=$1
	_PROCD_SCRIPT=${2:-}
	_PROCD_INSTANCES=""
	_PROCD_TRIGGERS=""
	_PROCD_DATA=""
	_PROCD_INSTANCE=""
	_PROCD_COUNT=0
}

# Hands the description to the manager: "set" (default) replaces the service, "add" adds
# instances to it.
procd_close_service() {
	[ -n "${_PROCD_SERVICE:-}" ] || { echo "procd_close_service: no service is open" >&2; return 1; }
	type service_triggers >/dev/null 2>&1 && service_triggers
	type service_data >/dev/null 2>&1 && service_data
	_procd_message="{\"name\":$(_procd_json_string "$_PROCD_SERVICE")"
	[ -n "$_PROCD_SCRIPT" ] && _procd_message="$_procd_message,\"script\":$(_procd_json_string "$_PROCD_SCRIPT")"
	_procd_message="$_procd_message,\"instances\":{$_PROCD_INSTANCES}"
	[ -n "$_PROCD_TRIGGERS" ] && _procd_message="$_procd_message,\"triggers\":[$_PROCD_TRIGGERS]"
	[ -n "$_PROCD_DATA" ] && _procd_message="$_procd_message,\"data\":{$_PROCD_DATA}"
	_PROCD_SERVICE=""
	_procd_ubus_call "${1:-set}" "$_procd_message}"
}

procd_open_instance() {
	[ -n "${_PROCD_SERVICE:-}" ] || { echo "procd_open_instance: no service is open" >&2; return 1; }
	_PROCD_COUNT=$((_PROCD_COUNT + 1))
	_PROCD_INSTANCE=${1:-instance$_PROCD_COUNT}
	_PROCD_KEYS=""
}

# How the manager reads each parameter; an unknown one is said and left out, as the manager would
# ignore it.
_procd_kind() {
	case "$1" in
	command | netdev | file | respawn | watch | watchdog | error) echo array ;;
	env | data | limits) echo table ;;
	nice | term_timeout | reload_signal) echo int ;;
	stdout | stderr | no_new_privs | trace) echo bool ;;
	pidfile | user | group | seccomp | capabilities | facility | extroot | overlaydir | tmpoverlaysize | bundle) echo string ;;
	*) echo unknown ;;
	esac
}

# procd_set_param KEY VALUE...: sets a parameter of the open instance (tables take KEY=VALUE words,
# a boolean 1 or 0, reload_signal a signal name or number).
procd_set_param() {
	[ -n "${_PROCD_INSTANCE:-}" ] || { echo "procd_set_param: no open instance" >&2; return 1; }
	case "$(_procd_kind "$1")" in
	unknown) echo "procd_set_param: unknown parameter '$1', left out" >&2; return 0 ;;
	esac
	eval "_PROCD_P_$1=''"
	case " $_PROCD_KEYS " in *" $1 "*) ;; *) _PROCD_KEYS="$_PROCD_KEYS $1" ;; esac
	procd_append_param "$@"
}

# procd_append_param KEY VALUE...: adds to a list or table parameter (sets any other).
procd_append_param() {
	[ -n "${_PROCD_INSTANCE:-}" ] || { echo "procd_append_param: no open instance" >&2; return 1; }
	_procd_key=$1
	shift
	_procd_kind=$(_procd_kind "$_procd_key")
	[ "$_procd_kind" = unknown ] && { echo "procd_append_param: unknown parameter '$_procd_key', left out" >&2; return 0; }
	case " $_PROCD_KEYS " in *" $_procd_key "*) ;; *) _PROCD_KEYS="$_PROCD_KEYS $_procd_key" ;; esac
	eval "_procd_value=\$_PROCD_P_$_procd_key"
	case "$_procd_kind" in
	array | table)
		for _procd_word in "$@"; do
			if [ "$_procd_kind" = table ]; then
				_procd_word="$(_procd_json_string "${_procd_word%%=*}"):$(_procd_json_string "${_procd_word#*=}")"
			else
				_procd_word=$(_procd_json_string "$_procd_word")
			fi
			_procd_value="${_procd_value:+$_procd_value,}$_procd_word"
		done ;;
	int)
		_procd_value=$1
		[ "$_procd_key" = reload_signal ] && case "$1" in *[!0-9]*) _procd_value=$(kill -l "$1" 2>/dev/null) ;; esac
		case "$_procd_value" in '' | *[!0-9-]*) echo "procd_set_param $_procd_key: '$1' is not a number" >&2; return 1 ;; esac ;;
	bool) [ "${1:-0}" = 0 ] && _procd_value=false || _procd_value=true ;;
	string) _procd_value=$(_procd_json_string "$1") ;;
	esac
	eval "_PROCD_P_$_procd_key=\$_procd_value"
}

procd_close_instance() {
	[ -n "${_PROCD_INSTANCE:-}" ] || return 0
	_procd_entry=""
	for _procd_key in $_PROCD_KEYS; do
		eval "_procd_value=\$_PROCD_P_$_procd_key"
		case "$(_procd_kind "$_procd_key")" in
		array) _procd_value="[$_procd_value]" ;;
		table) _procd_value="{$_procd_value}" ;;
		esac
		_procd_entry="${_procd_entry:+$_procd_entry,}\"$_procd_key\":$_procd_value"
		eval "unset _PROCD_P_$_procd_key"
	done
	_PROCD_INSTANCES="${_PROCD_INSTANCES:+$_PROCD_INSTANCES,}$(_procd_json_string "$_PROCD_INSTANCE"):{$_procd_entry}"
	_PROCD_INSTANCE=""
}

# procd_set_data / procd_append_data KEY=VALUE...: data of the service as a whole.
procd_append_data() {
	for _procd_word in "$@"; do
		_PROCD_DATA="${_PROCD_DATA:+$_PROCD_DATA,}$(_procd_json_string "${_procd_word%%=*}"):$(_procd_json_string "${_procd_word#*=}")"
	done
}
procd_set_data() {
	_PROCD_DATA=""
	procd_append_data "$@"
}

# Triggers: rules the manager runs against the events it is sent. A config trigger runs COMMAND
# when an event of type TYPE names the configuration package PACKAGE, PROCD_RELOAD_DELAY ms later.
procd_open_trigger() { :; }
procd_close_trigger() { :; }

_procd_add_trigger() {
	_PROCD_TRIGGERS="${_PROCD_TRIGGERS:+$_PROCD_TRIGGERS,}$1"
}

_procd_json_list() {
	_procd_list=""
	for _procd_word in "$@"; do
		_procd_list="${_procd_list:+$_procd_list,}$(_procd_json_string "$_procd_word")"
	done
	printf '%s' "$_procd_list"
}

# procd_add_config_trigger TYPE PACKAGE COMMAND...
procd_add_config_trigger() {
	_procd_type=$1 _procd_package=$2
	shift 2
	_procd_add_trigger "[$(_procd_json_string "$_procd_type"),[\"if\",[\"eq\",\"package\",$(_procd_json_string "$_procd_package")],[\"run_script\",$(_procd_json_list "$@")]],$PROCD_RELOAD_DELAY]"
}

# procd_add_raw_trigger TYPE DELAY_MS COMMAND...: COMMAND on every event of type TYPE.
procd_add_raw_trigger() {
	_procd_type=$1 _procd_delay=$2
	shift 2
	_procd_add_trigger "[$(_procd_json_string "$_procd_type"),[\"run_script\",$(_procd_json_list "$@")],$_procd_delay]"
}

# procd_add_reload_trigger PACKAGE...: a change of one of these configuration packages
# (reload_config) reloads the service: /etc/init.d/<service> reload.
procd_add_reload_trigger() {
	_procd_script=$(readlink "$initscript" 2>/dev/null)
	_procd_script=${_procd_script:-$initscript}
	for _procd_package in "$@"; do
		procd_add_config_trigger "config.change" "$_procd_package" "/etc/init.d/${_procd_script##*/}" reload
	done
}

# Stops service $1 (only its instance $2 when given): the manager ends the programs (TERM, then
# KILL after their term_timeout) and forgets them.
procd_kill() {
	_procd_message="{\"name\":$(_procd_json_string "$1")"
	[ -n "${2:-}" ] && _procd_message="$_procd_message,\"instance\":$(_procd_json_string "$2")"
	_procd_ubus_call delete "$_procd_message}" >/dev/null 2>&1
	return 0
}

# procd_send_signal SERVICE [INSTANCE|'*' [SIGNAL]]: SIGNAL (default HUP) to the programs.
procd_send_signal() {
	_procd_message="{\"name\":$(_procd_json_string "$1")"
	[ -n "${2:-}" ] && [ "$2" != "*" ] && _procd_message="$_procd_message,\"instance\":$(_procd_json_string "$2")"
	if [ -n "${3:-}" ]; then
		_procd_signal=$3
		case "$3" in *[!0-9]*) _procd_signal=$(kill -l "$3" 2>/dev/null) ;; esac
		_procd_message="$_procd_message,\"signal\":${_procd_signal:-1}"
	fi
	_procd_ubus_call signal "$_procd_message}"
}

# The service's entry as the manager lists it, flattened (empty when it does not know it).
_procd_entry() {
	_procd_ubus_call list "{\"name\":$(_procd_json_string "$1")}" 2>/dev/null | _procd_flatten
}

# Whether an instance of service $1 (instance $2 when given) runs.
_procd_running() {
	_procd_entry "$1" | grep -q "^[^/]*/instances/${2:-[^/]*}/running=true\$"
}

# The service's state as the router says it: running (0); not running (5); active with no
# instances (0); inactive, the manager does not know it (3).
_procd_status() {
	_procd_state=$(_procd_entry "$1")
	[ -n "$_procd_state" ] || { echo "inactive"; return 3; }
	if ! printf '%s\n' "$_procd_state" | grep -q "^[^/]*/instances/" && [ -z "${2:-}" ]; then
		echo "active with no instances"
		return 0
	fi
	if printf '%s\n' "$_procd_state" | grep -q "^[^/]*/instances/${2:-[^/]*}/running=true\$"; then
		echo "running"
		return 0
	fi
	echo "not running"
	return 5
}
