#!/bin/sh
# Installs what is missing, builds, and runs the whole suite through CTest.
set -e
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
cd build
ctest --output-on-failure -j2 --timeout 300
