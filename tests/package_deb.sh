#!/bin/bash
# Builds the Debian package, checks it with lintian, installs, reinstalls
# and purges it, and checks on the way /usr/bin/velk, /etc/shells, the
# velk-sshd instance's files, the group velk and the main sshd's drop-in.
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
[ -e /etc/velk ] && skip "/etc/velk exists already"
had_group=""
getent group velk >/dev/null && had_group=1

work=$(mktemp -d /tmp/velk-deb.XXXXXX)
cp -p /etc/shells "$work/shells.before"
installed=""
cleanup() {
    [ -n "$installed" ] && dpkg --purge velk >/dev/null 2>&1
    [ -n "$installed" ] && rm -rf /etc/velk \
        /etc/systemd/system/multi-user.target.wants/velk-sshd.service
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
         ./usr/share/doc/velk/changelog.gz ./etc/velk/sshd_config \
         ./etc/velk/authorized_keys/ ./etc/ssh/sshd_config.d/velk.conf \
         ./lib/systemd/system/velk-sshd.service; do
    grep -qx "$f" <<<"$contents" || fail "package lacks $f"
done
depends=$(dpkg-deb -f "$deb" Depends)
for d in 'libc6 (>= ' adduser openssh-server; do
    grep -qF "$d" <<<"$depends" || fail "Depends is '$depends'"
done
dpkg-deb -e "$deb" "$work/control"
[ "$(sort "$work/control/conffiles")" = "$(printf '/etc/ssh/sshd_config.d/velk.conf\n/etc/velk/sshd_config')" ] \
    || fail "conffiles: $(cat "$work/control/conffiles")"

echo "--- lintian"
lintian_status=0
lintian --pedantic "$deb" > "$work/lintian" 2>&1 || lintian_status=$?
grep -v 'running with root privileges' "$work/lintian"
[ "$lintian_status" -eq 0 ] || fail "lintian exited with $lintian_status"
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

echo "--- the velk-sshd instance's files"
getent group velk >/dev/null || fail "no group velk"
[ "$(stat -c '%U %G %a' /etc/velk/authorized_keys)" = "root root 755" ] || fail "/etc/velk/authorized_keys: $(stat -c '%U %G %a' /etc/velk/authorized_keys)"
cmp -s /etc/velk/sshd_config packaging/sshd/sshd_config || fail "/etc/velk/sshd_config differs from the shipped one"
cmp -s /etc/ssh/sshd_config.d/velk.conf packaging/sshd/velk.conf || fail "drop-in differs from the shipped one"
grep -qx 'DenyGroups velk' /etc/ssh/sshd_config.d/velk.conf || fail "drop-in lacks DenyGroups velk"
systemd-analyze verify /lib/systemd/system/velk-sshd.service || fail "systemd-analyze verify velk-sshd.service"
[ -e /etc/systemd/system/multi-user.target.wants/velk-sshd.service ] && fail "velk-sshd is enabled by install"
made_run_sshd=""
[ -d /run/sshd ] || { mkdir -m 755 /run/sshd; made_run_sshd=1; }
/usr/sbin/sshd -t -f /etc/velk/sshd_config || fail "sshd -t -f /etc/velk/sshd_config"
# The main sshd, with Debian's configuration, now refuses the group.
/usr/sbin/sshd -T -C user=nobody,host=h,addr=10.0.0.5 | grep -qx 'denygroups velk' \
    || fail "the main sshd's configuration does not deny the group velk"
[ -n "$made_run_sshd" ] && rmdir /run/sshd

mkdir -m 700 "$work/home"
out=$(printf 'data' | HOME="$work/home" SSH_CLIENT='10.0.0.5 1 22' /usr/bin/velk -c 'db.dump -t 3')
[ "$out" = "written to $work/home/incoming/10.0.0.5/db.dump" ] || fail "installed velk said '$out'"
[ "$(cat "$work/home/incoming/10.0.0.5/db.dump")" = data ] || fail "installed velk stored the wrong bytes"

echo "--- dpkg -i again (an upgrade keeps the shell, the group and the administrator's edits)"
echo "# edited by the administrator" >> /etc/velk/sshd_config
echo 'restrict ssh-ed25519 AAAA... host1' > /etc/velk/authorized_keys/vbackup
dpkg -i "$deb" >/dev/null || fail "second dpkg -i"
[ "$(grep -cx /usr/bin/velk /etc/shells)" -eq 1 ] || fail "/etc/shells lost /usr/bin/velk on upgrade"
getent group velk >/dev/null || fail "the upgrade lost the group velk"
tail -n 1 /etc/velk/sshd_config | grep -qx '# edited by the administrator' || fail "the upgrade replaced the edited /etc/velk/sshd_config"
[ -e /etc/velk/authorized_keys/vbackup ] || fail "the upgrade lost a key file"

echo "--- dpkg --purge of an enabled instance (keys are the administrator's and stay)"
systemctl enable velk-sshd.service >/dev/null 2>&1
[ -L /etc/systemd/system/multi-user.target.wants/velk-sshd.service ] || fail "systemctl enable made no link"
dpkg --purge velk >/dev/null 2>&1 || fail "dpkg --purge"
installed=""
grep -qx /usr/bin/velk /etc/shells && fail "/etc/shells still lists /usr/bin/velk"
[ -e /usr/bin/velk ] && fail "/usr/bin/velk is still there"
cmp -s /etc/shells "$work/shells.before" || fail "/etc/shells differs from before"
dpkg -s velk >/dev/null 2>&1 && fail "dpkg still knows velk"
for f in /etc/velk/sshd_config /etc/ssh/sshd_config.d/velk.conf \
         /lib/systemd/system/velk-sshd.service /var/lib/velk \
         /etc/systemd/system/multi-user.target.wants/velk-sshd.service \
         /etc/systemd/system/velk-sshd.service; do
    [ -e "$f" ] && fail "$f is still there"
done
[ -e /etc/velk/authorized_keys/vbackup ] || fail "purge removed the administrator's key file"
rm -r /etc/velk
if [ -n "$had_group" ]; then
    getent group velk >/dev/null || fail "purge removed a group velk that was there before"
else
    getent group velk >/dev/null && fail "purge left the group velk"
fi

echo "package test passed"
