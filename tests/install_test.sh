#!/usr/bin/env bash
# Installs the build into a scratch root and checks that every file lands
# where a mail admin looks for it, and that the manual pages render cleanly.
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
fail=0
for f in usr/libexec/korvane usr/bin/korvane-query usr/share/man/man8/korvane.8 \
         usr/share/man/man8/korvane-query.8 usr/share/man/man5/korvane.conf.5 \
         usr/share/doc/korvane/README.md usr/share/doc/korvane/examples/korvane.conf \
         usr/share/doc/korvane/examples/schema.sql usr/share/doc/korvane/examples/data.sql; do
    [ -e "$root/$f" ] || { echo "missing: /$f"; fail=1; }
done
[ -x "$root/usr/libexec/korvane" ] || { echo "korvane is not executable"; fail=1; }
for page in "$root"/usr/share/man/man*/*; do
    warnings=$(groff -mdoc -ww -z "$page" 2>&1 || true)
    [ -z "$warnings" ] || { echo "$page: $warnings"; fail=1; }
done
# The example configuration names every service and the source query.
for key in conninfo query_alias query_domain query_credentials query_netaddr query_userinfo \
           query_source query_mailaddr query_addrname query_mailaddrmap fetch_source; do
    grep -q "^$key " "$root/usr/share/doc/korvane/examples/korvane.conf" ||
        { echo "example lacks $key"; fail=1; }
done
[ $fail = 0 ] && echo "install layout ok"
exit $fail
