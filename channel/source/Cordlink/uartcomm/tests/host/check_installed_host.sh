#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, checks that libcordlink.so
# exports exactly its two functions, builds a host program against the
# installed header with pkg-config alone, and runs it on a pseudo-terminal.
# Then every example in an installed public header ("// Example ..." followed
# by lines indented "//   ") is compiled and linked as shown, inside main(),
# with only that header and its library's .pc file, at the compiler's default
# language standard and at C++20.
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
for pc in platform cordlink; do
  if pkg-config --cflags "$pc" | grep -q -- '-std='; then
    echo "FAIL: $pc.pc forces a language standard"
    exit 1
  fi
done
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

# The examples of the public headers, each built alone.
nExamples=0
while IFS= read -r header; do
  rel=${header#"$work/prefix/include/"}
  library=${rel%%/*}
  pkg-config --exists "$library" || continue
  awk -v out="$work/example" -v header="$rel" '
    /^\/\/ Example/ { n++; file = out "_" n ".cpp"
                      print "#include <" header ">\nint main() {" > file; inside = 1; next }
    inside && /^\/\/   / { sub(/^\/\/   /, ""); print > file; next }
    inside { print "    return 0;\n}" > file; close(file); inside = 0 }
    END { if (inside) { print "    return 0;\n}" > file; close(file) } }
  ' "$header"
  for example in "$work"/example_*.cpp; do
    [ -e "$example" ] || continue
    for std in "" "-std=c++20"; do
      # shellcheck disable=SC2046
      if ! g++ $std -Wall -Wextra -Werror -o "$work/example" "$example" \
             $(pkg-config --cflags --libs "$library"); then
        echo "FAIL: the example in $rel does not build as shown ($std)"
        cat -n "$example"
        exit 1
      fi
    done
    nExamples=$((nExamples + 1))
    rm -f "$example"
  done
done < <(find "$work/prefix/include" -name '*.h' | sort)
if [ "$nExamples" -lt 2 ]; then
  echo "FAIL: only $nExamples header examples found"
  exit 1
fi
