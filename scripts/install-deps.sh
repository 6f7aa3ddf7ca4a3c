#!/bin/sh
# Installs what korvan needs to build, test and run its example, from
# Debian's packages. Run as root (or through sudo) on Debian 12.
set -eu
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake pkg-config python3 \
  libflxmlrpc-dev libinih-dev libpng-dev libtiff-dev libgtest-dev libbenchmark-dev \
  libopenmpi-dev openmpi-bin file dpkg-dev lintian >/dev/null
