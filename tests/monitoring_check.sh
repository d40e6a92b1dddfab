#!/usr/bin/env bash
# The alerts and the dashboard in monitoring/ as Prometheus reads them: the rules load, each
# alert's unit test passes (it fires when it should, and only then), and every query of the
# dashboard, its variables filled in as Grafana would, is PromQL that Prometheus accepts.
#   monitoring_check.sh
set -euo pipefail
dir=$(cd "$(dirname "$0")/../monitoring" && pwd)
fail() { echo "monitoring_check: $*" >&2; exit 1; }
for tool in promtool /usr/bin/python3; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/install-deps installs it)"
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

promtool check rules "$dir/eventid-relay.rules.yml" || fail "the alert rules do not load"
promtool test rules "$dir/eventid-relay.rules.test.yml" || fail "an alert's unit test failed"

# Each panel's queries and each variable's, as recording rules named after their panel, so that
# promtool's message leads to it. A query that still holds a $ after the variables below are
# filled in names a variable this check does not know.
/usr/bin/python3 - "$dir/eventid-relay.dashboard.json" >"$work/dashboard.rules.yml" <<'PYTHON' ||
import json, re, sys

VALUES = {"job": "eventid-relay", "instance": ".*", "__rate_interval": "1m",
          "__interval": "15s", "__range": "1h"}
SOURCE = {"type": "prometheus", "uid": "${datasource}"}


def filled(expr, where):
    expr = re.sub(r"\$\{(\w+)(?::\w+)?\}|\$(\w+)",
                  lambda m: VALUES.get(m.group(1) or m.group(2), m.group(0)), expr)
    if "$" in expr:
        sys.exit(f"{where}: a variable this check does not fill in: {expr}")
    return expr


def name(*words):
    return "dashboard:" + "_".join(re.sub(r"\W+", "_", w.lower()).strip("_") for w in words)


def panels(items):
    for p in items:
        yield p
        yield from panels(p.get("panels", []))


board = json.load(open(sys.argv[1]))
rules = []
for p in panels(board["panels"]):
    for t in p.get("targets", []):
        where = f"panel '{p['title']}', query {t['refId']}"
        if p.get("datasource") != SOURCE or t.get("datasource", SOURCE) != SOURCE:
            sys.exit(f"{where}: not on the data source variable ${{datasource}}")
        rules.append((name(p["title"], t["refId"]), filled(t["expr"], where)))
for v in board["templating"]["list"]:
    if v["type"] == "query":
        where = f"variable {v['name']}"
        query = re.fullmatch(r"label_values\((.*),\s*\w+\)", v["definition"])
        if v.get("datasource") != SOURCE or not query:
            sys.exit(f"{where}: not label_values(SELECTOR, LABEL) on ${{datasource}}")
        rules.append((name("variable", v["name"]), filled(query.group(1), where)))
if not rules:
    sys.exit("the dashboard has no query")
print("groups:\n  - name: dashboard\n    rules:")
for record, expr in rules:
    print(f"      - record: {record}\n        expr: {json.dumps(expr)}")
PYTHON
  fail "cannot read the dashboard's queries"
promtool check rules "$work/dashboard.rules.yml" >"$work/check.out" 2>&1 ||
  fail "a dashboard query is not PromQL: $(cat "$work/check.out")"
echo "monitoring: rules load, alerts tested, $(grep -c 'record:' "$work/dashboard.rules.yml") dashboard queries parse"
