#!/usr/bin/env bash
# Makes sure GoogleTest (Debian's libgtest-dev) is installed for the native
# tests, installing it with apt-get when it is missing and that is possible.
set -euo pipefail
# Debian puts the library in its multiarch directory (/usr/lib/x86_64-linux-gnu).
if [ -f /usr/include/gtest/gtest.h ] && { compgen -G "/usr/lib/*/libgtest.a" >/dev/null || [ -f /usr/lib/libgtest.a ]; }; then
  exit 0
fi
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "GoogleTest is missing: installing Debian's libgtest-dev"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  exit 0
fi
echo "GoogleTest is missing and cannot be installed here." >&2
echo "Install it with: sudo apt-get install libgtest-dev   (or set GTEST_ROOT to an installed GoogleTest)" >&2
exit 1
