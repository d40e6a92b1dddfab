#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks that every file is where it belongs,
# that the manual page renders without a warning, and that systemd accepts the unit.
#   install_check.sh BUILD_DIR
set -euo pipefail
# Every failure says why: without this, set -e would end the check without a word.
trap 'echo "install_check: failed ($?) at line $LINENO: $BASH_COMMAND" >&2' ERR
build=$1

# Each check needs its tool: a missing one fails the check (scripts/install-deps has them all).
missing=0
for tool in groff man systemd-analyze; do
  command -v "$tool" >/dev/null || { echo "install_check: $tool is not installed"; missing=1; }
done
[ $missing = 0 ] || { echo "install_check: run scripts/install-deps"; exit 1; }

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

status=0
for f in bin/eventid-relay bin/eventid-sim share/man/man1/eventid-relay.1 \
    lib/systemd/system/eventid-relay.service etc/default/eventid-relay \
    share/doc/eventid-relay/README.md share/doc/eventid-relay/LICENSE; do
  [ -e "$prefix/$f" ] || { echo "missing: $f"; status=1; }
done
[ -x "$prefix/bin/eventid-relay" ] || { echo "not executable: bin/eventid-relay"; status=1; }

# quiet NAME COMMAND...: the command must succeed and write no warning (its standard error).
quiet() {
  local name=$1 out
  shift
  if ! out=$("$@" 2>&1 >/dev/null) || [ -n "$out" ]; then
    echo "$name: ${out:-failed without a message}"
    status=1
  fi
}

page=$prefix/share/man/man1/eventid-relay.1
quiet groff groff -z -ww -man "$page"
quiet man env MANWIDTH=80 man --warnings -l "$page"

# The unit names the configured prefix's binary; check it against the one installed here.
unit=$prefix/eventid-relay.service
sed "s|^ExecStart=[^ ]*|ExecStart=$prefix/bin/eventid-relay|" \
  "$prefix/lib/systemd/system/eventid-relay.service" >"$unit"
# The manual page is checked above, in the prefix, where man cannot find it by name.
quiet systemd-analyze systemd-analyze verify --man=no "$unit"

[ $status = 0 ] && echo "installed files, manual page and unit: all good"
exit $status
