#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks that every file is where it belongs,
# that the manual page renders without a warning, and that systemd accepts the unit.
#   install_check.sh BUILD_DIR
set -euo pipefail
build=$1
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

page=$prefix/share/man/man1/eventid-relay.1
warnings=$(groff -z -ww -man "$page" 2>&1)
[ -z "$warnings" ] || { echo "groff: $warnings"; status=1; }
if command -v man >/dev/null; then
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "man: $warnings"; status=1; }
fi

if command -v systemd-analyze >/dev/null; then
  # The unit names the configured prefix's binary; check it against the one installed here.
  unit=$prefix/eventid-relay.service
  sed "s|^ExecStart=[^ ]*|ExecStart=$prefix/bin/eventid-relay|" \
    "$prefix/lib/systemd/system/eventid-relay.service" >"$unit"
  # The manual page is checked above, in the prefix, where man cannot find it by name.
  verify=$(systemd-analyze verify --man=no "$unit" 2>&1) || { echo "systemd-analyze: $verify"; status=1; }
  [ -z "$verify" ] || { echo "systemd-analyze: $verify"; status=1; }
else
  echo "systemd-analyze is not here: the unit is not verified"
fi
[ $status = 0 ] && echo "installed files, manual page and unit: all good"
exit $status
