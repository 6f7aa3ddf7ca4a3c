#!/bin/sh
# Installs what the fuzzing of tests/fuzz needs on Debian 12: clang with its
# runtime libraries (libFuzzer and the sanitizers) and the OpenMP runtime
# that clang builds of the back-projector link. Run as root (or through sudo).
set -eu
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev libomp-dev >/dev/null
