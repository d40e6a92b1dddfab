#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks that every file is where it belongs,
# that the unit names the prefix's own paths, that the manual pages render without a warning
# (and the simulator's names every option its --help lists), and that systemd accepts the unit.
#   install_check.sh BUILD_DIR
set -euo pipefail
# Every failure says why: without this, set -e would end the check without a word.
trap 'echo "install_check: failed ($?) at line $LINENO: $BASH_COMMAND" >&2' ERR
build=$1

# Each check needs its tool: a missing one fails the check (scripts/install-deps has them all).
missing=0
for tool in groff man systemd-analyze gzip; do
  command -v "$tool" >/dev/null || { echo "install_check: $tool is not installed"; missing=1; }
done
[ $missing = 0 ] || { echo "install_check: run scripts/install-deps"; exit 1; }

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

status=0
docs=share/doc/eventid-relay
unit=$prefix/lib/systemd/system/eventid-relay.service
for f in bin/eventid-relay bin/eventid-sim share/man/man1/eventid-relay.1.gz \
    share/man/man1/eventid-sim.1.gz lib/systemd/system/eventid-relay.service etc/default/eventid-relay \
    $docs/README.md $docs/copyright $docs/changelog.gz; do
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
for name in eventid-relay eventid-sim; do
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
# An option added to the simulator without a word in its page fails here.
text=$(groff -man -Tascii -rLL=200n -P -cbou "$prefix/eventid-sim.1")
for option in $("$prefix/bin/eventid-sim" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  grep -qF -- "$option" <<<"$text" || { echo "eventid-sim(1) lacks $option"; status=1; }
done

# The manual pages are checked above, in the prefix, where man cannot find them by name.
quiet systemd-analyze systemd-analyze verify --man=no "$unit"

[ $status = 0 ] && echo "installed files, manual pages and unit: all good"
exit $status
