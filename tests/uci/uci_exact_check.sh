#!/usr/bin/env bash
# The daemon's join sequence, run exactly as written from the host through the router sandbox:
# the last line must be the sensor's short address as the start-up scan reads it.
set -u
repo=$1 build=$2
export VORN_BUILD_DIR=$build
out=$("$repo/tools/router-sandbox" -- sh -c 'uci -q add sensorlist 00124B0001A2B3C4 && uci set sensorlist.@00124B0001A2B3C4[].ShortAddress="0003" && uci commit sensorlist; sync; uci show sensorlist | grep ShortAddress | cut -d"@" -f2')
last=$(printf '%s\n' "$out" | tail -n 1)
if [[ "$last" == "00124B0001A2B3C4[0].ShortAddress='0003'" ]]; then
  echo "ok   - join sequence prints $last"
else
  echo "FAIL - join sequence printed: $out"
  exit 1
fi
