#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, checks that libnetlane.so
# exports exactly InitDll, builds a host program against the installed header
# with pkg-config alone, and runs it on loopback.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
lib=$(find "$work/prefix" -name 'libnetlane.so' | head -n1)
exports=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TW]$/ {print $3}' | sort | tr '\n' ' ')
if [ "$exports" != "InitDll " ]; then
  echo "FAIL: libnetlane.so exports: $exports"
  exit 1
fi

export PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name netlane.pc | head -n1)")
# shellcheck disable=SC2046
g++ -Wall -Wextra -Werror -o "$work/host" "$source_dir/host_main.cpp" \
    $(pkg-config --cflags --libs netlane) -pthread
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$work/host" "$port"
