#!/bin/sh
# Installs what is missing, builds, and starts the service from build/ with
# the demo modules. Returns once the daemon has reported its start-up.
set -e
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target Selvar Selvar-top
if [ -f /run/vantriserver.pid ] && kill -0 "$(cat /run/vantriserver.pid)" 2>/dev/null; then
  echo "The service is already running (PID $(cat /run/vantriserver.pid))."
  echo "Stop it with: kill -TERM $(cat /run/vantriserver.pid)"
  exit 0
fi
./build/Selvar
echo "Selvar started (PID $(cat /run/vantriserver.pid)); its log goes to syslog as \"vantriserver\"."
# The report ends by saying how to stop the service; without it, say it here.
./scripts/demo-report.sh build || echo "Stop it with: kill -TERM \$(cat /run/vantriserver.pid)"
# What the service itself counts for the demo modules; the live view is
# ./build/Selvar-top.
echo
echo "== ./build/Selvar-top --once =="
./build/Selvar-top --once || true
