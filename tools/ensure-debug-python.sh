#!/usr/bin/env bash
# Makes sure Debian's debug interpreter python3.11-dbg (with
# sys.gettotalrefcount) and its venv support are installed.
set -euo pipefail
if command -v python3.11-dbg >/dev/null 2>&1 && python3.11-dbg -c "import ensurepip" >/dev/null 2>&1; then
  exit 0
fi
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "The debug interpreter is missing: installing Debian's python3.11-dbg"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3.11-dbg python3.11-venv >/dev/null
  exit 0
fi
echo "python3.11-dbg is missing and cannot be installed here." >&2
echo "Install it with: sudo apt-get install python3.11-dbg python3.11-venv" >&2
exit 1
