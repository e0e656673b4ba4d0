#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, checks that libcordlink.so
# exports exactly its two functions, builds a host program against the
# installed header with pkg-config alone, and runs it on a pseudo-terminal.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
lib=$(find "$work/prefix" -name 'libcordlink.so' | head -n1)
exports=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TW]$/ {print $3}' | sort | tr '\n' ' ')
if [ "$exports" != "CreateChannel ReleaseChannel " ]; then
  echo "FAIL: libcordlink.so exports: $exports"
  exit 1
fi

export PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name cordlink.pc | head -n1)")
# shellcheck disable=SC2046
g++ -Wall -Wextra -Werror -o "$work/host" "$source_dir/host_main.cpp" \
    $(pkg-config --cflags --libs cordlink) -pthread
mkdir -p "$work/comports"
cd "$work"
COMPORT_MAP_DIR="$work/comports" ./host
test -n "$(find "$work/ChannelLog" -name 'UartComm_COM*.log' -size +0)" || {
  echo "FAIL: no channel log beside the host"
  exit 1
}
