#!/usr/bin/env bash
# The shipped example schema, data and configuration work together: every
# statement fits its service, and a few lookups give the documented answers.
set -euo pipefail
src=$1 build=$2 state=$3
admin=$(cat "$state/conninfo")
psql -q "$admin" -c "DROP DATABASE IF EXISTS mail_example" -c "CREATE DATABASE mail_example" \
    >/dev/null 2>&1
mail=${admin/dbname=postgres/dbname=mail_example}
psql -q -v ON_ERROR_STOP=1 "$mail" -f "$src/examples/schema.sql" -f "$src/examples/data.sql" \
    >/dev/null
conf=$(mktemp)
trap 'rm -f "$conf"' EXIT
sed "s|^conninfo .*|conninfo ${mail/user=postgres/user=korvane}|" "$src/examples/korvane.conf" >"$conf"

q=$build/korvane-query
"$q" --check "$conf"
expect() {
    local want=$1
    shift
    local got
    got=$("$q" "$conf" "$@") || true
    if [ "$got" != "$want" ]; then
        echo "korvane-query $*: got '$got', want '$want'"
        exit 1
    fi
}
expect "alice@example.org, bob@example.org" lookup alias postmaster@example.org
expect "2000:2000:/var/vmail/example.org/bob" lookup userinfo bob@example.org
expect "found" check netaddr 192.0.2.44
expect "not-found" check netaddr 203.0.113.7
expect "not-found" check netaddr local
expect "alice@example.org, postmaster@example.org" lookup mailaddrmap alice@example.org
expect "$(printf '198.51.100.10\n198.51.100.11\n198.51.100.12\n198.51.100.10')" fetch 4
# The schema's triggers tell the cache what changed: psql prints the
# notifications its own session receives after each command.
heard=$(printf '%s\n' "LISTEN korvane;" \
    "UPDATE aliases SET position = position WHERE address = 'postmaster@example.org';" \
    "UPDATE relay_networks SET note = note;" \
    "TRUNCATE sender_logins;" "SELECT 1;" | psql -q "$mail" 2>&1)
for payload in alias:postmaster@example.org mailaddr:postmaster@example.org netaddr mailaddrmap; do
    grep -q "payload \"$payload\" received" <<<"$heard" ||
        { echo "no notification $payload: $heard"; exit 1; }
done
echo "examples ok"
