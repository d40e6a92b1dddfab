#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks that every file is where it belongs,
# that the unit names the prefix's own paths, that the manual pages render without a warning
# (and the simulator's and eventid-read's name every option their --help lists), that systemd
# accepts the unit, and that programs built against the installed libeventid (C through
# pkg-config, shared and static; C++ through find_package) read an installed relay's segment.
#   install_check.sh BUILD_DIR
set -euo pipefail
# Every failure says why: without this, set -e would end the check without a word.
trap 'echo "install_check: failed ($?) at line $LINENO: $BASH_COMMAND" >&2' ERR
build=$1

# Each check needs its tool: a missing one fails the check (scripts/install-deps has them all).
missing=0
for tool in groff man systemd-analyze gzip pkg-config cc c++ cmake /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "install_check: $tool is not installed"; missing=1; }
done
[ $missing = 0 ] || { echo "install_check: run scripts/install-deps"; exit 1; }

prefix=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait; rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")

status=0
docs=share/doc/eventid-relay
data=share/eventid-relay
unit=$prefix/lib/systemd/system/eventid-relay.service
for f in bin/eventid-relay bin/eventid-sim bin/eventid-read share/man/man1/eventid-relay.1.gz \
    share/man/man1/eventid-sim.1.gz share/man/man1/eventid-read.1.gz \
    lib/systemd/system/eventid-relay.service etc/default/eventid-relay \
    $docs/README.md $docs/copyright $docs/changelog.gz include/eventid.h $lib/libeventid.so \
    $lib/libeventid.so.1 $lib/libeventid.a $lib/pkgconfig/eventid.pc \
    $lib/cmake/eventid/eventidConfig.cmake lib/python3/dist-packages/eventid/__init__.py \
    $data/eventid-relay.rules.yml $data/eventid-relay.dashboard.json; do
  [ -e "$prefix/$f" ] || { echo "missing: $f"; status=1; }
done
[ -x "$prefix/bin/eventid-relay" ] || { echo "not executable: bin/eventid-relay"; status=1; }

# The unit is written for the prefix installed to, not the one configured.
for line in "ExecStart=$prefix/bin/eventid-relay " "EnvironmentFile=-$prefix/etc/default/eventid-relay"; do
  grep -qF "$line" "$unit" || { echo "unit: no '$line'"; status=1; }
done

# quiet NAME COMMAND...: the command must succeed and write no warning (its standard error).
quiet() {
  local name=$1 out
  shift
  if ! out=$("$@" 2>&1 >/dev/null) || [ -n "$out" ]; then
    echo "$name: ${out:-failed without a message}"
    status=1
  fi
}

# The pages are installed compressed (gzip -9n); groff reads them plain, man either way.
for name in eventid-relay eventid-sim eventid-read; do
  page=$prefix/share/man/man1/$name.1.gz
  plain=$prefix/$name.1
  if ! gzip -dc "$page" >"$plain"; then
    echo "not a gzip file: share/man/man1/$name.1.gz"
    status=1
    continue
  fi
  quiet "groff ($name)" groff -z -ww -man "$plain"
  quiet "man ($name)" env MANWIDTH=80 man --warnings -l "$page"
done
# An option added to the simulator or the reader without a word in its page fails here.
for name in eventid-sim eventid-read; do
  text=$(groff -man -Tascii -rLL=200n -P -cbou "$prefix/$name.1")
  for option in $("$prefix/bin/$name" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    grep -qF -- "$option" <<<"$text" || { echo "$name(1) lacks $option"; status=1; }
  done
done

# The manual pages are checked above, in the prefix, where man cannot find them by name.
quiet systemd-analyze systemd-analyze verify --man=no "$unit"

# Programs built from the installed tree alone, each reading an installed relay's segment.
work=$prefix/work
mkdir "$work"
cat >"$work/reading.c" <<'EOF'
#include <eventid.h>
#include <stdio.h>
int main(int argc, char **argv) {
  eventid_source *source = NULL;
  eventid_reading reading = EVENTID_READING_INIT;
  char line[EVENTID_LINE_MAX];
  int code = eventid_open(argc > 1 ? argv[1] : NULL, &source);
  if (code == EVENTID_OK) code = eventid_read(source, &reading);
  if (code == EVENTID_OK && eventid_format(&reading, line, sizeof line) > 0) fputs(line, stdout);
  eventid_close(source);
  return code != EVENTID_OK;
}
EOF
cp "$work/reading.c" "$work/reading.cc"
cat >"$work/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(reading LANGUAGES CXX)
find_package(eventid 1.0 REQUIRED)
add_executable(reading_cxx reading.cc)
target_link_libraries(reading_cxx PRIVATE eventid::eventid)
add_executable(reading_cxx_static reading.cc)
target_link_libraries(reading_cxx_static PRIVATE eventid::eventid_static)
EOF
export PKG_CONFIG_PATH=$prefix/$lib/pkgconfig
# A sanitized build's library needs its sanitizers' runtime: the programs built against it take
# the build's -fsanitize flags, and none is linked fully static, which the sanitizers refuse.
sanitize=$(sed -n 's/^CMAKE_CXX_FLAGS:STRING=//p' "$build/CMakeCache.txt" |
  { grep -o -- '-fsanitize=[^ ]*' || true; } | tr '\n' ' ')
static_c=reading_c_static
[ -z "$sanitize" ] || static_c=
src=$(cd "$(dirname "$0")/.." && pwd)  # the README's examples, built as a reader would
# shellcheck disable=SC2046  # pkg-config's words are the compiler's arguments
{
  cc -std=c99 -Wall -Wextra -Werror $sanitize -o "$work/reading_c" "$work/reading.c" \
    $(pkg-config --cflags --libs eventid) -Wl,-rpath,"$(pkg-config --variable=libdir eventid)" &&
    { [ -z "$static_c" ] || cc -std=c99 -Wall -Wextra -Werror -static -o "$work/$static_c" \
      "$work/reading.c" $(pkg-config --static --cflags --libs eventid); } &&
    cc -std=c99 -Wall -Wextra -Werror $sanitize -o "$work/example_c" "$src/examples/read.c" \
      $(pkg-config --cflags --libs eventid) &&
    c++ -std=c++17 -Wall -Wextra -Werror $sanitize -o "$work/example_cxx" "$src/examples/wait.cc" \
      $(pkg-config --cflags --libs eventid) &&
    /usr/bin/python3 -c 'import sys; compile(open(sys.argv[1]).read(), sys.argv[1], "exec")' \
      "$src/examples/read.py" &&
    cmake -S "$work" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror $sanitize" &&
    cmake --build "$work/build"
} >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
# The shared ones load the installed library (through its soname link), the static ones none.
for program in reading_c build/reading_cxx; do
  [[ $(ldd "$work/$program") == *"=> $prefix/$lib/libeventid.so.1 "* ]] ||
    { echo "$program: not linked with the installed libeventid.so.1"; status=1; }
done
for program in $static_c build/reading_cxx_static; do
  [[ $(ldd "$work/$program" 2>&1) != *libeventid* ]] || { echo "$program: not static"; status=1; }
done

# A relay publishing in a folder of our own (in ours, under sticky /tmp), fed by the simulator.
within() {  # SECONDS COMMAND...: until the command succeeds
  local until=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < until)) || return 1
    sleep 0.1
  done
}
"$prefix/bin/eventid-sim" --port 0 >"$work/sim.out" &
within 10 grep -qs listening "$work/sim.out"
upstream=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/sim.out")
basis=$(mktemp -d "$prefix/run.XXXXXX")/basis
"$prefix/bin/eventid-relay" --listen 127.0.0.1 --port 0 --publish "$basis" 127.0.0.1 "$upstream" \
  >"$work/relay.out" 2>&1 &
within 20 "$prefix/bin/eventid-read" --from "$basis" >/dev/null 2>&1 ||
  { echo "eventid-read: nothing read: $(cat "$work/relay.out")"; status=1; }
fresh_line() {  # NAME COMMAND...: the command prints one ID line, in state O
  local name=$1 line
  shift
  line=$("$@" | tr -d '\r') || true
  [[ $line =~ ^[0-9]+\.[0-9]{5}\ O\ -?[0-9]+\ -?[0-9]+$ ]] || { echo "$name: '$line'"; status=1; }
}
for program in reading_c $static_c build/reading_cxx build/reading_cxx_static; do
  fresh_line "$program" "$work/$program" "$basis"
done
fresh_line "the Python module" env PYTHONPATH="$prefix/lib/python3/dist-packages" /usr/bin/python3 \
  -c 'import eventid, sys; print(eventid.open(sys.argv[1]).read(), end="")' "$basis"

if [ $status = 0 ]; then
  echo "installed files, manual pages, unit and library: all good"
elif [ -s "$work/relay.out" ]; then
  echo "the relay wrote:"; tail -n 10 "$work/relay.out"
fi
exit $status
