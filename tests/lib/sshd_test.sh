# The start of every test that runs velk under a throwaway sshd: the
# prerequisites (root, sshd, ssh; skipped with 77 without them, failed
# when CI=true), the account and sshd brought up with a trap that always
# takes them down, and the check helpers.  Sourced after velk=$1 and
# here=<the tests directory> are set.

skip() {
    if [ "${CI:-}" = true ]; then
        echo "FAIL: $1" >&2
        exit 1
    fi
    echo "skipped: $1"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "needs root to make a throwaway account"
[ -x /usr/sbin/sshd ] || skip "sshd is not installed (openssh-server)"
command -v ssh >/dev/null || skip "ssh is not installed (openssh-client)"

. "$here/lib/loopback_sshd.sh"
trap sshd_down EXIT
trap 'exit 1' INT TERM
sshd_up "$velk" || exit 1

failures=0
check() {   # check DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAIL: $what" >&2
        failures=$((failures + 1))
    fi
}
# same GOT WANT: the two strings are equal; otherwise both are shown.
same() { [ "$1" = "$2" ] || { printf '  got:  %q\n  want: %q\n' "$1" "$2" >&2; return 1; }; }
