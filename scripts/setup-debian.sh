#!/usr/bin/env bash
# Installs everything the project needs to build and test on Debian 12:
# compilers for the host and for Windows (mingw-w64), CMake and Ninja, the
# test and benchmark libraries, and binutils for symbolised verifier reports.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
  build-essential binutils cmake ninja-build \
  libgtest-dev libgmock-dev libbenchmark-dev \
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
# A real serial client for the tests of 'tarvik-sim serve'.
$SUDO apt-get install -y --no-install-recommends python3 python3-serial
# The uninstaller's check under Wine (tests/wine): headless X, keys, a Japanese locale.
$SUDO apt-get install -y --no-install-recommends wine wine64 xvfb xdotool locales
locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$' || $SUDO localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
