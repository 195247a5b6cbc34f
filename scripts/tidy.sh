#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy) over every source file of ours and
# exits non-zero if it finds anything. Configures build/tidy for the compile
# database and runs Qt's moc there; builds nothing else. Slow: about 5 minutes
# on 2 cores. Usage: scripts/tidy.sh [-j JOBS] [FILE...]
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
if [ "${1:-}" = "-j" ]; then
  jobs=$2
  shift 2
fi

bash scripts/deps.sh --test
tidy=${CLANG_TIDY:-}
if [ -z "$tidy" ]; then
  for candidate in clang-tidy clang-tidy-14; do
    command -v "$candidate" >/dev/null && tidy=$candidate && break
  done
fi
if [ -z "$tidy" ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  echo "Installing: clang-tidy"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends clang-tidy
  tidy=clang-tidy
fi

build=build/tidy
cmake -S . -B "$build" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
# The window sources and the Qt tests include what moc writes.
mapfile -t autogen < <(ninja -C "$build" -t targets all | sed -n 's/^\([A-Za-z0-9_]*_autogen\): .*/\1/p' | sort -u)
cmake --build "$build" --parallel "$jobs" --target "${autogen[@]}" >/dev/null

folders=(axis usb sim poll scope profile referencing control ui app tests bench bridges)
if [ $# -gt 0 ]; then
  files=("$@")
else
  # Every source in the compile database from our folders (moc's files live
  # under the build directory and are left out).
  mapfile -t files < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$build/compile_commands.json" |
                         sed "s|^$PWD/||" | grep -E "^($(IFS='|'; echo "${folders[*]}"))/" | sort -u)
  # A source no target compiles would be skipped without a word.
  unlisted=$(comm -23 <(git ls-files -- "${folders[@]/%//*.cpp}" | sort) <(printf '%s\n' "${files[@]}"))
  if [ -n "$unlisted" ]; then
    echo "Not in the compile database, so not checked:" >&2
    echo "$unlisted" >&2
    exit 2
  fi
  files+=(fuzz/number_text_fuzz.cpp)
fi

# One file per clang-tidy run, its output printed whole when it ends; any
# finding counts as an error. The fuzz target is built only with the fuzz
# configuration, so it gets its flags here.
check_one() {
  local file=$1 output status=0
  local args=(-p "$BUILD" --quiet --warnings-as-errors='*' "$file")
  [ "$file" = fuzz/number_text_fuzz.cpp ] && args+=(-- -std=c++20 -Iaxis/include)
  output=$("$TIDY" "${args[@]}" 2>&1) || status=$?
  output=$(grep -Ev '^[0-9]+ (warnings?|errors?)( and [0-9]+ (warnings?|errors?))? generated\.$' <<<"$output" || true)
  [ -z "$output" ] || printf '%s\n' "$output"
  return "$status"
}
export -f check_one
export BUILD=$build TIDY=$tidy

echo "clang-tidy ($("$tidy" --version | sed -n 's/.*version \([0-9.]*\).*/\1/p')) on ${#files[@]} files, $jobs at a time"
if printf '%s\n' "${files[@]}" | xargs -P "$jobs" -I{} bash -c 'check_one "$1"' _ {}; then
  echo "clang-tidy: no findings"
else
  echo "clang-tidy: findings above" >&2
  exit 1
fi
