#!/usr/bin/env bash
# Installs the Debian packages named as arguments that are not installed yet
# (one apt-get update, and only when something is missing).
#
#   bash scripts/apt-need.sh PACKAGE...
set -euo pipefail

missing=()
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
[ ${#missing[@]} -gt 0 ] || exit 0
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
