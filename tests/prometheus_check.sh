#!/usr/bin/env bash
# The tools that users point at the status listener accept what it says: a real Prometheus
# server scrapes it every second, promtool checks the metrics, curl and jq read the JSON.
#   prometheus_check.sh RELAY SIMULATOR
# Loopback only; every process it starts ends with it.
set -u
relay=$1 sim=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in prometheus promtool curl jq; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps installs it)"
done
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

# Waits up to $1 seconds for a command to succeed.
within() {
  local until=$((SECONDS + $1)); shift
  until "$@"; do
    ((SECONDS < until)) || return 1
    sleep 0.2
  done
}
port_in() { sed -n "s/.*$1[^:]*:\([0-9]*\).*/\1/p" "$2" | head -1; }

"$sim" --port 0 >"$work/sim.out" &
within 10 grep -qs listening "$work/sim.out" || fail "the simulator did not start"
"$relay" --listen 127.0.0.1 --port 0 --status 127.0.0.1:0 127.0.0.1 "$(port_in listening "$work/sim.out")" \
  >"$work/relay.out" 2>"$work/relay.err" &
within 10 grep -qs "Status on" "$work/relay.out" || fail "no status listener: $(cat "$work/relay.err")"
status=http://127.0.0.1:$(port_in "Status on" "$work/relay.out")
within 10 grep -qs "Waiting for" "$work/relay.out" || fail "the relay did not serve"

curl -sf "$status/metrics" >"$work/metrics" || fail "curl $status/metrics"
promtool check metrics <"$work/metrics" || fail "promtool check metrics: $(cat "$work/metrics")"
curl -sf "$status/status" | jq -e '
  (.state | type == "string") and (.id | type == "number") and (.micros | type == "number")
  and (.upstream.host | type == "string") and (.upstream.service | type == "string")
  and (.upstream.connected | type == "boolean")
  and (.upstream.last_sample_age_seconds | type == "number")
  and (.samples_total | type == "number") and (.clients | type == "number")
  and (.version | type == "string")' >/dev/null || fail "the JSON status lacks a field"

# A Prometheus server of its own, on a free port: one that is taken makes it end at once.
cat >"$work/prometheus.yml" <<YAML
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: eventid-relay
    static_configs:
      - targets: ["${status#http://}"]
YAML
query() {
  curl -sf "$api/api/v1/query" --data-urlencode "query=$1" | jq -r '.data.result[0].value[1] // empty'
}
scraped() { test "$(query up)" = 1; }
grown() { test "$(query eventid_relay_samples_total)" -gt "${first:-0}"; }
for try in 1 2 3 4 5; do
  api=http://127.0.0.1:$((20000 + RANDOM % 40000))
  prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data$try" \
    --web.listen-address="${api#http://}" >"$work/prometheus.log" 2>&1 &
  within 30 curl -sf "$api/-/ready" >/dev/null && break
  kill %% 2>/dev/null
done
within 30 scraped || fail "Prometheus never scraped the relay: $(curl -s "$api/api/v1/targets")"
first=$(query eventid_relay_samples_total)
within 15 grown || fail "eventid_relay_samples_total did not grow past ${first:-nothing}"
echo "Prometheus scraped the relay: up 1, samples_total $first and growing"
