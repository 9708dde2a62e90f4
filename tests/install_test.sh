#!/usr/bin/env bash
# Installs the build into a scratch root and checks that every file lands
# where a mail admin looks for it, and that the manual pages render cleanly.
# Then builds the Debian package from a copy of the sources, checks what it
# holds, that lintian finds nothing to say about it, and that it serves as
# installed (its autopkgtest).
set -euo pipefail
build=$1 src=$2
root=$(mktemp -d)
pkg=$(mktemp -d)
trap 'rm -rf "$root" "$pkg"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
fail=0
for f in usr/libexec/korvane usr/bin/korvane-query usr/share/man/man8/korvane.8 \
         usr/share/man/man1/korvane-query.1 usr/share/man/man5/korvane.conf.5 \
         usr/share/doc/korvane/README.md usr/share/doc/korvane/examples/korvane.conf \
         usr/share/doc/korvane/examples/schema.sql usr/share/doc/korvane/examples/data.sql \
         usr/share/doc/korvane/examples/korvane.rules.yml; do
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

# The package, built as a packager would, from the files git tracks.
mkdir "$pkg/korvane"
(cd "$src" && git ls-files -z --cached --others --exclude-standard) |
    (cd "$src" && xargs -0 cp --parents -t "$pkg/korvane")
if ! (cd "$pkg/korvane" && dpkg-buildpackage -us -uc -b >"$pkg/build.log" 2>&1); then
    tail -30 "$pkg/build.log"
    exit 1
fi
deb=$(ls "$pkg"/korvane_*_*.deb)
mkdir "$pkg/x"
dpkg-deb -x "$deb" "$pkg/x"
for f in usr/libexec/korvane usr/bin/korvane-query usr/share/man/man8/korvane.8.gz \
         usr/share/man/man1/korvane-query.1.gz usr/share/man/man5/korvane.conf.5.gz \
         usr/share/doc/korvane/copyright usr/share/doc/korvane/changelog.gz \
         usr/share/doc/korvane/examples/korvane.conf; do
    [ -e "$pkg/x/$f" ] || { echo "package lacks /$f"; fail=1; }
done
# grep reads all its input (no -q): under pipefail an early exit would
# make the writer die of SIGPIPE and fail the check at random.
for bin in usr/libexec/korvane usr/bin/korvane-query; do
    file "$pkg/x/$bin" | grep ', stripped' >/dev/null || { echo "/$bin is not stripped"; fail=1; }
    readelf -d "$pkg/x/$bin" | grep 'BIND_NOW' >/dev/null || { echo "/$bin lacks BIND_NOW"; fail=1; }
    readelf -lW "$pkg/x/$bin" | grep 'GNU_RELRO' >/dev/null || { echo "/$bin lacks RELRO"; fail=1; }
    nm -D "$pkg/x/$bin" | grep '_chk@' >/dev/null || { echo "/$bin is not fortified"; fail=1; }
done
ls "$pkg"/korvane-dbgsym_*.deb >/dev/null || { echo "no -dbgsym package"; fail=1; }
tags=$(lintian --allow-root --pedantic -I -E "$pkg"/korvane_*.changes 2>&1 || true)
[ -z "$tags" ] || { echo "lintian: $tags"; fail=1; }
# The package tested as installed (debian/tests): autopkgtest installs it on
# this machine (the null runner) and runs its test against a throwaway
# PostgreSQL; without autopkgtest, the test script runs as it would.
if command -v autopkgtest >/dev/null; then
    if ! autopkgtest "$deb" "$pkg/korvane" -- null >"$pkg/autopkgtest.log" 2>&1; then
        tail -40 "$pkg/autopkgtest.log"
        fail=1
    fi
else
    dpkg -i "$deb" >/dev/null && (cd "$pkg/korvane" && debian/tests/serve) || fail=1
fi
[ $fail = 0 ] && echo "debian package ok"
exit $fail
