#!/usr/bin/env bash
# The ways in that a user reaches with their own tools: --status over IPv6 and over a
# Unix-domain socket read with curl, and, in a network namespace with IPv6 disabled, a relay
# asked for an IPv6 listener ends with status 3 while one without IPv6 options serves as before,
# and in another an upstream at a link-local address is reached through its interface.
#   listeners_check.sh RELAY SIMULATOR
# Loopback only; every process it starts ends with it.
set -u
relay=$1 sim=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v curl >/dev/null || fail "curl is missing (scripts/install-deps installs it)"
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

within() {
  local until=$((SECONDS + $1)); shift
  until "$@"; do
    ((SECONDS < until)) || return 1
    sleep 0.2
  done
}
port_in() { sed -n "s/.*$1[^:]*:\([0-9]*\).*/\1/p" "$2" | tail -1; }

"$sim" --port 0 >"$work/sim.out" &
within 10 grep -qs listening "$work/sim.out" || fail "the simulator did not start"
upstream=$(port_in listening "$work/sim.out")

# The status listener over IPv6, then over a Unix-domain socket.
"$relay" --port 0 --status '[::1]:0' 127.0.0.1 "$upstream" >"$work/v6.out" 2>"$work/v6.err" &
within 10 grep -qs "Status on \[::1\]:" "$work/v6.out" || fail "no IPv6 status: $(cat "$work/v6.err")"
v6_port=$(sed -n 's/.*Status on \[::1\]:\([0-9]*\).*/\1/p' "$work/v6.out")
curl -sfg "http://[::1]:$v6_port/metrics" | grep -q '^eventid_relay_' ||
  fail "curl over [::1] read no metrics"
"$relay" --port 0 --status "unix:$work/status.sock" 127.0.0.1 "$upstream" \
  >"$work/unix.out" 2>"$work/unix.err" &
unix_relay=$!
within 10 grep -qs "Status on unix:$work/status.sock" "$work/unix.out" ||
  fail "no Unix-domain status: $(cat "$work/unix.err")"
[[ $(stat -c %a "$work/status.sock") == 660 ]] || fail "status socket mode $(stat -c %a "$work/status.sock")"
curl -sf --unix-socket "$work/status.sock" http://relay/status | grep -q '"state"' ||
  fail "curl --unix-socket read no status"
kill -TERM "$unix_relay" && wait "$unix_relay" 2>/dev/null
[[ ! -e $work/status.sock ]] || fail "the status socket outlived the relay's SIGTERM"

# A relay started with SIGINT ignored (a script's background job) keeps ignoring it.
bash -c "trap '' INT; exec \"\$0\" \"\$@\"" "$relay" --port 0 --status "unix:$work/ign.sock" \
  127.0.0.1 "$upstream" >"$work/ign.out" 2>&1 &
ignoring=$!
within 10 grep -qs "Status on" "$work/ign.out" || fail "no status: $(cat "$work/ign.out")"
kill -INT "$ignoring"
sleep 0.5  # nothing to wait for: it is to go on as it was
kill -0 "$ignoring" 2>/dev/null || fail "a relay that ignored SIGINT ended on it"
kill -TERM "$ignoring" && wait "$ignoring" 2>/dev/null

# IPv6 disabled: only as root, where a namespace of our own can be had.
if [[ $(id -u) != 0 ]] || ! unshare -n true 2>/dev/null; then
  echo "SKIP: IPv6 disabled in a namespace needs root and unshare"
  exit 0
fi
unshare -n bash -s "$relay" "$sim" "$work" <<'INNER'
set -u
relay=$1 sim=$2 work=$3
ip link set lo up || exit 77
sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.lo.disable_ipv6=1 || exit 77
"$sim" --port 0 >"$work/ns-sim.out" &
for _ in $(seq 50); do grep -qs listening "$work/ns-sim.out" && break; sleep 0.2; done
upstream=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/ns-sim.out")
timeout 30 "$relay" --listen '[::1]' --port 0 127.0.0.1 "$upstream" \
  >"$work/ns-v6.out" 2>"$work/ns-v6.err"
status=$?
[[ $status == 3 ]] || { echo "--listen [::1] ended with $status" >&2; exit 1; }
grep -q '^deliver_id() .* failed: ' "$work/ns-v6.err" &&
  grep -q '^deliver_id() cannot listen on \[::1\]:0' "$work/ns-v6.err" ||
  { echo "unexpected: $(cat "$work/ns-v6.err")" >&2; exit 1; }
"$relay" --port 0 127.0.0.1 "$upstream" >"$work/ns-v4.out" 2>"$work/ns-v4.err" &
for _ in $(seq 50); do grep -qs "Listening on" "$work/ns-v4.out" && break; sleep 0.2; done
port=$(sed -n 's/.*Listening on 0.0.0.0:\([0-9]*\).*/\1/p' "$work/ns-v4.out")
exec 3<>"/dev/tcp/127.0.0.1/$port" || exit 1
IFS= read -r -t 5 line <&3
kill $(jobs -p)
[[ $line =~ ^[0-9]+\.[0-9]{5}\ O\ -?[0-9]+\ -?[0-9]+$'\r'$ ]] || { echo "line: $line" >&2; exit 1; }
INNER
case $? in
  0) ;;
  77) echo "SKIP: no loopback or no writable /proc/sys in a namespace here"; exit 0 ;;
  *) fail "in a namespace without IPv6" ;;
esac

# An upstream at a link-local address, which only its interface (the zone after '%') makes
# reachable: the address given on lo of a namespace of our own.
unshare -n bash -s "$relay" "$sim" "$work" <<'INNER'
set -u
relay=$1 sim=$2 work=$3
ip link set lo up && ip -6 addr add fe80::1/64 dev lo nodad || exit 77
"$sim" --bind '[::]' --port 0 >"$work/ll-sim.out" &
for _ in $(seq 50); do grep -qs listening "$work/ll-sim.out" && break; sleep 0.2; done
upstream=$(sed -n 's/.*listening on \[::\]:\([0-9]*\).*/\1/p' "$work/ll-sim.out")
"$relay" --port 0 fe80::1%lo "$upstream" >"$work/ll.out" 2>"$work/ll.err" &
for _ in $(seq 50); do grep -qs "getting data" "$work/ll.out" && break; sleep 0.2; done
kill $(jobs -p)
grep -q "^Connection to fe80::1%lo successful" "$work/ll.out" ||
  { echo "link-local upstream: $(cat "$work/ll.out" "$work/ll.err")" >&2; exit 1; }
INNER
case $? in
  0) echo "PASS" ;;
  77) echo "SKIP: no link-local address could be given to lo in a namespace here" ;;
  *) fail "with a link-local upstream" ;;
esac
