#!/usr/bin/env bash
# Runs a libFuzzer target for a while inside a router sandbox (call it through tools/router-sandbox).
#   run_fuzzer.sh FUZZER SEED_DIR SECONDS [LIBFUZZER_OPTION...]
# The uci tool is replaced by a stand-in that says the cloud agent is ready, wants interval 300
# for sensor 00124B0001A2B3C4 and the removal of 00124B0001A2B3C5, and knows nothing else; `sync`
# by a no-op. The handlers' commands then cost one short process each, which keeps the run fast,
# and the reporting, interval and removal paths are all reached. New inputs go to a
# folder under /tmp; the seeds in the repository are only read. Handler output goes to /dev/null;
# libFuzzer's report goes to standard error.
set -u
fuzzer=$1 seeds=$2 seconds=$3
shift 3

stubs=/tmp/fuzz-bin
mkdir -p "$stubs" /tmp/fuzz-corpus
cat > "$stubs/uci" <<'STUB'
#!/bin/sh
case "$*" in
  *gateway.main.cloud_ready*) echo 1 ;;
  *00124B0001A2B3C4*EventIntervalUserWanted*) echo 300 ;;
  *00124B0001A2B3C5*RemoveSensor*) echo 1 ;;
esac
exit 0
STUB
printf '#!/bin/sh\nexit 0\n' > "$stubs/sync"
chmod +x "$stubs/uci" "$stubs/sync"
export PATH=$stubs:$PATH

"$fuzzer" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 "$@" \
  /tmp/fuzz-corpus "$seeds" >/dev/null
