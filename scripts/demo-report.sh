#!/bin/sh
# Shows what the demo modules did in a service started from BUILD_DIR (the
# first argument; default: build/ beside this script's directory): the
# monitor's log, then the recording's size and frames, with the frame
# numbers checked to run 1, 2, 3, ... in order. Run after the service started.
# Usage: scripts/demo-report.sh [BUILD_DIR] [SECONDS_TO_WAIT]
set -u
dir=${1:-$(dirname "$0")/../build}
wait_s=${2:-15}
monitor_log="$dir/monitor.log"
recorder_log="$dir/recorder.log"
recording="$dir/recording.bin"
frame_magic=1380341331 # "SVFR" read as a little-endian 32-bit number

# The recorder stops its request after 100 frames at 25 a second: wait for
# that, or at most wait_s seconds.
echo "Waiting for the demo recording (at most ${wait_s}s)..."
waited=0
while [ "$waited" -lt "$wait_s" ]; do
  if [ -f "$recorder_log" ] && grep -q '^stop .*reason=limit' "$recorder_log"; then
    break
  fi
  sleep 1
  waited=$((waited + 1))
done
sleep 1 # the last frame is written after the stop is logged

echo
echo "== $monitor_log =="
if [ -f "$monitor_log" ]; then
  cat "$monitor_log"
else
  echo "(missing: is monitor.so in $dir/plugins and the service running from $dir?)"
fi

echo
echo "== $recording =="
status=0
if [ ! -f "$recording" ]; then
  echo "(missing: is recorder.so in $dir/plugins and the service running from $dir?)"
  status=1
else
  size=$(wc -c <"$recording" | tr -d ' ')
  offset=0
  frames=0
  while [ "$offset" -lt "$size" ]; do
    # Each frame opens with magic, number, size and handle (32 bits each).
    # shellcheck disable=SC2046
    set -- $(od -An -tu4 -j "$offset" -N 16 "$recording")
    if [ $# -lt 4 ] || [ "$1" != "$frame_magic" ] || [ "$3" -lt 16 ]; then
      echo "no frame header at byte $offset"
      status=1
      break
    fi
    frames=$((frames + 1))
    if [ "$2" != "$frames" ]; then
      echo "frame $frames at byte $offset is numbered $2"
      status=1
    fi
    offset=$((offset + $3))
  done
  if [ "$offset" -gt "$size" ]; then
    echo "the last frame is cut short"
    status=1
  fi
  echo "$size bytes, $frames frames"
  if [ "$status" -eq 0 ]; then
    echo "frame numbers 1 to $frames, in order"
  fi
  if [ -f "$recorder_log" ]; then
    echo "recorder: $(grep -c 'recorded=1 release=0$' "$recorder_log") frames recorded and released"
    grep '^stop ' "$recorder_log" | sed 's/^/recorder: /'
  fi
fi

echo
if [ -f /run/vantriserver.pid ]; then
  echo "The service runs as PID $(cat /run/vantriserver.pid). Stop it with:"
else
  echo "Stop the service with:"
fi
echo "  kill -TERM \$(cat /run/vantriserver.pid)"
echo "The recorder then writes its summary line to $recorder_log."
exit "$status"
