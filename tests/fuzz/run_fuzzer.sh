#!/usr/bin/env bash
# Runs a fuzz target inside a router sandbox (call it through tools/router-sandbox).
#   run_fuzzer.sh FUZZER SEED_DIR SECONDS [LIBFUZZER_OPTION...]
# SECONDS > 0: FUZZER is a libFuzzer program, run for that long. New inputs go to a folder under
# /tmp (the seeds in the repository are only read); findings go next to FUZZER, named after it;
# handler output goes to /dev/null and libFuzzer's report to standard error.
# SECONDS 0: every seed is run once, by a corpus replay program of the regular or sanitizer build
# (or a libFuzzer program), with the handlers' output shown.
# The targets that run handlers answer their uci and other commands themselves
# (shell_stand_in.cpp), so a seed takes the same path in either.
set -u
fuzzer=$1 seeds=$2 seconds=$3
shift 3

if [[ $seconds == 0 ]]; then
  exec "$fuzzer" -runs=0 "$seeds"
fi
name=$(basename "$fuzzer")
mkdir -p "/tmp/fuzz-corpus/$name"
"$fuzzer" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
  -artifact_prefix="$(dirname "$fuzzer")/$name-" "$@" "/tmp/fuzz-corpus/$name" "$seeds" >/dev/null
