#!/bin/bash
# Builds the Debian package, checks it with lintian, installs, reinstalls
# and purges it, and checks /usr/bin/velk and /etc/shells on the way.
# Needs root; leaves the machine as it found it: the package is purged
# and /etc/shells put back, also when a check fails.  Without root (or
# with velk already installed) it reports itself skipped, except on CI.
set -u
cd "$(dirname "$0")/.."

skip() {
    echo "SKIP: $*"
    [ "${CI:-}" = true ] && exit 1
    exit 77
}
fail() {
    echo "FAIL: $*"
    exit 1
}

[ "$(id -u)" -eq 0 ] || skip "needs root to install the package"
for tool in cpack dpkg dpkg-shlibdeps lintian; do
    command -v "$tool" >/dev/null || skip "$tool is missing"
done
dpkg -s velk >/dev/null 2>&1 && skip "a velk package is installed already"
[ -e /usr/bin/velk ] && skip "/usr/bin/velk exists already"

work=$(mktemp -d /tmp/velk-deb.XXXXXX)
cp -p /etc/shells "$work/shells.before"
installed=""
cleanup() {
    [ -n "$installed" ] && dpkg --purge velk >/dev/null 2>&1
    cmp -s /etc/shells "$work/shells.before" || cat "$work/shells.before" > /etc/shells
    rm -rf "$work"
}
trap cleanup EXIT

echo "--- building the package"
cmake -S . -B "$work/build" -DVELK_TESTS=OFF -DVELK_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Release >/dev/null || fail "cmake"
cmake --build "$work/build" -j "$(nproc)" >/dev/null || fail "build"
(cd "$work/build" && cpack -G DEB >/dev/null) || fail "cpack"
deb="$work/build/velk_1.7_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(ls "$work/build"/*.deb 2>/dev/null)"

contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for f in ./usr/bin/velk ./usr/share/man/man8/velk.8.gz \
         ./usr/share/doc/velk/README.md ./usr/share/doc/velk/copyright \
         ./usr/share/doc/velk/changelog.gz; do
    grep -qx "$f" <<<"$contents" || fail "package lacks $f"
done
depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'libc6 (>= ' <<<"$depends" || fail "Depends is '$depends'"

echo "--- lintian"
lintian --pedantic "$deb" 2>&1 | grep -v 'running with root privileges' > "$work/lintian"
cat "$work/lintian"
grep -q '^[EW]:' "$work/lintian" && fail "lintian reports errors or warnings"

echo "--- dpkg -i"
installed=1
dpkg -i "$deb" >/dev/null || fail "dpkg -i"
first=$(/usr/bin/velk -V | head -n 1)
/usr/bin/velk -V >/dev/null
status=$?
[ "$first" = 'velk $Name: VELK_REL_1_7 $' ] || fail "velk -V printed '$first'"
[ "$status" -eq 1 ] || fail "velk -V exited $status"
[ "$(grep -cx /usr/bin/velk /etc/shells)" -eq 1 ] || fail "/etc/shells does not list /usr/bin/velk once"
zcat /usr/share/man/man8/velk.8.gz | grep -q '^\.Dt VELK 8' || fail "man page not installed"

mkdir -m 700 "$work/home"
out=$(printf 'data' | HOME="$work/home" SSH_CLIENT='10.0.0.5 1 22' /usr/bin/velk -c 'db.dump -t 3')
[ "$out" = "written to $work/home/incoming/10.0.0.5/db.dump" ] || fail "installed velk said '$out'"
[ "$(cat "$work/home/incoming/10.0.0.5/db.dump")" = data ] || fail "installed velk stored the wrong bytes"

echo "--- dpkg -i again (an upgrade keeps the shell listed)"
dpkg -i "$deb" >/dev/null || fail "second dpkg -i"
[ "$(grep -cx /usr/bin/velk /etc/shells)" -eq 1 ] || fail "/etc/shells lost /usr/bin/velk on upgrade"

echo "--- dpkg --purge"
dpkg --purge velk >/dev/null || fail "dpkg --purge"
installed=""
grep -qx /usr/bin/velk /etc/shells && fail "/etc/shells still lists /usr/bin/velk"
[ -e /usr/bin/velk ] && fail "/usr/bin/velk is still there"
cmp -s /etc/shells "$work/shells.before" || fail "/etc/shells differs from before"
dpkg -s velk >/dev/null 2>&1 && fail "dpkg still knows velk"

echo "package test passed"
