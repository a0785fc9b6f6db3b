#!/usr/bin/env bash
# Runs a fuzz target inside a router sandbox (call it through tools/router-sandbox).
#   run_fuzzer.sh FUZZER SEED_DIR SECONDS [LIBFUZZER_OPTION...]
# SECONDS > 0: FUZZER is a libFuzzer program, run for that long. New inputs go to a folder under
# /tmp (the seeds in the repository are only read); findings go next to FUZZER, named after it;
# handler output goes to /dev/null and libFuzzer's report to standard error.
# SECONDS 0: every seed is run once, by a corpus replay program of the regular or sanitizer build
# (or a libFuzzer program), with the handlers' output shown.
# Both run with the same stand-ins, so a seed takes the same path in either. The uci tool changes
# nothing and, asked for a value, says that the cloud agent is ready, that sensor 00124B0001A2B3C4
# has ShortAddress 0001 and wants interval 300, and that 00124B0001A2B3C5 is to be removed; it
# knows nothing else. `sync`, `killall`, `ubus` and check_sub1g_module do nothing. The handlers'
# commands then cost one short process each, which keeps the run fast, and the reporting,
# interval, removal and command paths are all reached.
set -u
fuzzer=$1 seeds=$2 seconds=$3
shift 3

stubs=/tmp/fuzz-bin
mkdir -p "$stubs"
cat > "$stubs/uci" <<'STUB'
#!/bin/sh
case "$*" in *get\ *) ;; *) exit 0 ;; esac
case "$*" in
  *gateway.main.cloud_ready*) echo 1 ;;
  *00124B0001A2B3C4*EventIntervalUserWanted*) echo 300 ;;
  *00124B0001A2B3C4*ShortAddress*) echo 0001 ;;
  *00124B0001A2B3C5*RemoveSensor*) echo 1 ;;
esac
exit 0
STUB
for tool in sync killall ubus check_sub1g_module; do printf '#!/bin/sh\nexit 0\n' > "$stubs/$tool"; done
chmod +x "$stubs"/*
export PATH=$stubs:$PATH

if [[ $seconds == 0 ]]; then
  exec "$fuzzer" -runs=0 "$seeds"
fi
name=$(basename "$fuzzer")
mkdir -p "/tmp/fuzz-corpus/$name"
"$fuzzer" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
  -artifact_prefix="$(dirname "$fuzzer")/$name-" "$@" "/tmp/fuzz-corpus/$name" "$seeds" >/dev/null
