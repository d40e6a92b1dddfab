#!/usr/bin/env bash
# service_check.sh BUILD_DIR [WINDRES]: the relay of a Windows build as a service under Wine's
# Service Control Manager, in a Wine prefix of its own (whose every process it ends): a client
# served and a stop in 2 s, a stop while starting, a port taken, the messages as events.
set -euo pipefail
trap 'echo "service_check: failed ($?) at line $LINENO: $BASH_COMMAND" >&2' ERR
build=$(cd "$1" && pwd) work=$(mktemp -d) wine=wine
export WINEPREFIX=$build/service-wineprefix WINEDEBUG=-all DISPLAY=
[ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
trace=$work/wine.err
w() { timeout 30 "$wine" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
fail() { echo "service_check: $*" >&2; exit 1; }
trap 'w sc stop eventid-relay >/dev/null || true; w sc delete eventid-relay >/dev/null || true
      wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
field() { awk -v f="$1" '$1 == f { print $3 }' <<<"$status"; }  # NAME : N, in the last query
wait_state() {  # STATE SECONDS: polls sc query until the service is in that state
  local until=$((SECONDS + $2))
  until status=$(w sc query eventid-relay) && grep -q "STATE *: [0-9]  $1\$" <<<"$status"; do
    [ $SECONDS -lt "$until" ] || fail "not $1 within $2 s: $status"
    sleep 0.2
  done
}
exits() { [ "$(field WIN32_EXIT_CODE)/$(field SERVICE_EXIT_CODE)" = "$1/$2" ] || fail "$status"; }
start() {  # ARGS...: the service created afresh with this command line, and started
  w sc delete eventid-relay >/dev/null || true
  w sc create eventid-relay binpath= "$exe --service $*" && w sc start eventid-relay >/dev/null
}
# LABEL: STOPPED, code 0, in 5 s around the calls and in 2 s in the service (in Wine's trace).
stop() {
  local begun=${EPOCHREALTIME/./}
  w sc stop eventid-relay >/dev/null || true
  wait_state STOPPED 5 && exits 0 0
  awk -F: '/service_handle_control L"eventid-relay" control 1 / { t = $1 }
    /SetServiceStatus [0-9A-F]+ 0x10 0x1 / { s = $1 }
    END { printf "%s: STOP to STOPPED %.0f ms in the service, %d ms around sc\n", l, (s-t)*1000, a
          exit !(t != "" && s != "" && s >= t && s - t <= 2) }' \
    l="$1" a=$(((${EPOCHREALTIME/./} - begun) / 1000)) "$trace" || fail "$1: not STOPPED in 2 s"
}
free_port() {
  for port in $(shuf -i 20000-32000 -n 50); do
    ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return
  done
  fail "no free port"
}

"${2:-x86_64-w64-mingw32-windres}" -i "$build/eventid-relay.exe" -J coff -O rc |
  grep -q RT_MESSAGETABLE || fail "eventid-relay.exe carries no message table"
mkdir -p "$WINEPREFIX"
wineserver -k 2>/dev/null || true
wineserver -p </dev/null >/dev/null 2>&1  # else Wine ends services 2 s after the last command
# The first command starts the service manager, whose services inherit its standard error:
# there Wine writes each event reported and each status set.
WINEDEBUG=-all,+eventlog,+service,+timestamp timeout 120 "$wine" wineboot \
  </dev/null >/dev/null 2>"$trace"
exe=$(w winepath -w "$build/eventid-relay.exe")
timeout 300 "$wine" "$build/eventid-sim.exe" --port 0 </dev/null >"$work/sim" 2>&1 &
for _ in {1..100}; do
  upstream=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/sim")
  [ -n "$upstream" ] && break || sleep 0.1
done

# A client served on the port of the command line; messages as events, whole and in order.
free_port
start --listen 127.0.0.1 --port "$port" 127.0.0.1 "${upstream:?the simulator did not start}"
wait_state RUNNING 30
IFS= read -r -t 5 line <"/dev/tcp/127.0.0.1/$port" || fail "no ID line"
[[ $line =~ ^[0-9]+\.[0-9]{5,}\ O\ -?[0-9]+\ -?[0-9]+$'\r'$ ]] || fail "ID line: $line"
stop serving
diff <(sed -n 's/.*:eventlog:ReportEventW L"\(.*\)"$/\1/p' "$trace" | head -5) - <<EOF
Trying to connect to 127.0.0.1
Connection to 127.0.0.1 successful
Connected to EventID server and getting data
Waiting for incoming connections...
Listening on 127.0.0.1:$port
EOF
w reg query 'HKLM\System\CurrentControlSet\Services\EventLog\Application\eventid-relay' |
  grep -q "EventMessageFile.*eventid-relay.exe" || fail "no event source in the registry"
# Stopped while the start is pending, kept fresh through the collector's retry pauses.
free_port
start 127.0.0.1 "$port"
wait_state START_PENDING 10
first=$(field CHECKPOINT) until_fresh=$((SECONDS + 15))
while wait_state START_PENDING 5 && [ "$(field CHECKPOINT)" = "$first" ]; do
  [ $SECONDS -lt $until_fresh ] || fail "start pending, not refreshed: $status"
done
stop "awaiting the upstream"
# The port taken: the relay's status 3 as the service-specific exit code (1066).
start --listen 127.0.0.1 --port "$upstream" 127.0.0.1 "$upstream"
wait_state STOPPED 30
exits 1066 3
grep -q 'err:eventlog:ReportEventW L"deliver_id() bind failed: ' "$trace" || fail "no error event"
echo "service cycle, stop while starting, service-specific exit code, event log: all good"
