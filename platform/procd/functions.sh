# Shell helpers of the router that init scripts and package scripts use. POSIX sh.

# append VAR VALUE [SEPARATOR]: adds VALUE to the list in VAR (space-separated by default).
append() {
	eval "[ -n \"\${$1}\" ] && $1=\"\${$1}\${3:- }$2\" || $1=\"$2\""
}

# list_contains VAR VALUE: whether the space-separated list in VAR holds VALUE.
list_contains() {
	eval "case \" \${$1} \" in *\" $2 \"*) return 0 ;; esac"
	return 1
}

# Runs each first-boot defaults script of /etc/uci-defaults once, in the order of their names,
# from that folder; a script that exits 0 is removed, one that fails stays for the next boot.
uci_apply_defaults() {
	[ -d /etc/uci-defaults ] || return 0
	cd /etc/uci-defaults || return 0
	for _defaults in ./*; do
		[ -f "$_defaults" ] || continue
		( . "$_defaults" ) && rm -f "$_defaults"
	done
	uci commit
	cd / || return 0
}
