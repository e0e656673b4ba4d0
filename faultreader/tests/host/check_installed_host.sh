#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, checks that
# libfaultreader.so exports exactly its five functions, builds a host program
# against the installed header with pkg-config alone, and runs it with an
# ErrorCode.ini and the sample error database beside it.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
lib=$(find "$work/prefix" -name 'libfaultreader.so' | head -n1)
exports=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWDBV]$/ {print $3}' | sort | tr '\n' ' ')
expected="DllCreateFaultreaderObject Spec_ClearErrorCode Spec_GetError Spec_GetErrorCode Spec_SetErrorCode "
if [ "$exports" != "$expected" ]; then
  echo "FAIL: libfaultreader.so exports: $exports"
  exit 1
fi

export PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name faultreader.pc | head -n1)")
mkdir -p "$work/host"
header=$(find "$work/prefix" -path '*faultreader/faultreader.h' | head -n1)
# The header's example compiles as shown, with the header and the .pc file alone.
{
  echo '#include <faultreader/faultreader.h>'
  echo 'int main() {'
  sed -n '/^\/\/   DWORD dwWord/,/^\/\/   Spec_ClearErrorCode/p' "$header" | sed 's|^//   ||'
  echo '}'
} > "$work/example.cpp"
# shellcheck disable=SC2046
g++ -Wall -Wextra -Werror -o "$work/example" "$work/example.cpp" $(pkg-config --cflags --libs faultreader)
# shellcheck disable=SC2046
g++ -Wall -Wextra -Werror -o "$work/host/host" "$source_dir/host_main.cpp" \
    $(pkg-config --cflags --libs faultreader)
# The sample database, built by the installed tool from the repository's CSV files.
tool=$(find "$work/prefix" -name faultreader-tool | head -n1)
"$tool" --db "$work/host/errors.db" --password line-7 create >/dev/null
"$tool" --db "$work/host/errors.db" --password line-7 import "$source_dir/../../data" >/dev/null
printf '[Database]\r\nName=errors.db\r\nPassword=line_7\r\n' > "$work/host/ErrorCode.ini"
cd "$work"
./host/host
