#!/bin/sh
# Installs the Debian packages the build and the tests need, when missing.
# Run as root. Extra package names may be given as arguments.
set -e
PACKAGES="build-essential cmake pkg-config libwxgtk3.2-dev libdaemon-dev libtinyxml-dev libsystemd-dev libgtest-dev googletest g++-multilib util-linux iproute2 nlohmann-json3-dev libncurses-dev systemd $*"
missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing="$missing $p"
  fi
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq $missing >/dev/null
fi
