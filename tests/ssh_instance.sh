#!/bin/bash
# The velk-sshd instance as deployed, tried the way an attacker would: the
# shipped packaging/sshd/sshd_config (only port, listen address, host key
# and pid file set on sshd's command line), throwaway accounts in group
# velk with their keys in /etc/velk/authorized_keys, and the real ssh,
# sftp and scp clients trying everything SSH offers.  Then the main sshd
# with Debian's default configuration and "Subsystem sftp internal-sftp",
# with and without the shipped drop-in.  Needs root and sshd; skipped (77)
# without them, failed when CI=true.
set -uo pipefail
velk=$1
here=$(cd "$(dirname "$0")" && pwd)

. "$here/lib/sshd_test.sh"
fails() { ! "$@" >/dev/null 2>&1; }
# ssh_within USER KEY ARGS...: ssh_as with a time limit.
ssh_within() {
    ssh_args "$1" "$2"
    shift 2
    timeout 20 "${SSH_ARGS[@]}" "$@"
}
not_there() { [ ! -e "$1" ] || { ls -ld "$1" >&2; return 1; }; }

A=$VELK_USER
key=$VELK_WORK/client_key
dir=$VELK_HOME/incoming/127.0.0.1
scratch=$VELK_WORK/scratch
mkdir -p "$scratch/data"
chmod 755 "$scratch"

# A second backup account, an account outside group velk with a key in
# /etc/velk all the same, and two more keys for A: one in its own
# ~/.ssh/authorized_keys, which the instance must not read, and one in
# /etc/velk without restrict, so that the configuration itself is what
# refuses forwarding, a pty and the agent.
B=${A}b
C=${A}c
make_account "$B" "$VELK_WORK/velk" || exit 1
make_account "$C" "$VELK_WORK/velk" "" || exit 1
ssh-keygen -q -t ed25519 -N '' -C own -f "$VELK_WORK/own_key"
install -d -m 700 -o "$A" -g "$A" "$VELK_HOME/.ssh"
install -m 600 -o "$A" -g "$A" "$VELK_WORK/own_key.pub" "$VELK_HOME/.ssh/authorized_keys"
ssh-keygen -q -t ed25519 -N '' -C unrestricted -f "$VELK_WORK/free_key"
cat "$VELK_WORK/free_key.pub" >> "/etc/velk/authorized_keys/$A"

# Everything outside A's incoming/ tree that a session could touch.
snapshot() {
    find "$VELK_HOME" "/home/$B" /etc/velk \( -path "$VELK_HOME/incoming" -o -path "/home/$B/incoming" \) -prune \
        -o -printf '%p %m %u %g %s\n' | sort
    find "$VELK_HOME" "/home/$B" /etc/velk \( -path "$VELK_HOME/incoming" -o -path "/home/$B/incoming" \) -prune \
        -o -type f -print0 | sort -z | xargs -0 sha256sum
}

# --- A push works.
for i in 1 2 3; do
    head -c $((i * 50000)) /dev/urandom > "$scratch/data/file$i"
    tar -C "$scratch" -cf "$scratch/stream$i.tar" data
    push "etc.tar -t 2" < "$scratch/stream$i.tar" > "$scratch/out" 2> "$scratch/err"
    check "push $i: status 0" same "$?" 0
    check "push $i: exactly written to" cmp -s "$scratch/out" <(printf 'written to %s\n' "$dir/etc.tar")
done
check "push: the name and one generation" same "$(ls "$dir")" "$(printf 'etc.tar\netc.tar.1')"
check "push: newest byte-identical" cmp -s "$dir/etc.tar" "$scratch/stream3.tar"
check "push: generation 1 byte-identical" cmp -s "$dir/etc.tar.1" "$scratch/stream2.tar"

before=$(snapshot)

# --- SFTP and scp: there is no subsystem to serve them.
sftp_as() {   # sftp_as KEY BATCH-COMMAND
    printf '%s\n' "$2" > "$scratch/batch"
    client_opts "$1"
    timeout 20 sftp -P "$VELK_PORT" "${CLIENT_OPTS[@]}" -b "$scratch/batch" "$A@127.0.0.1"
}
echo secret > "$scratch/upload"
for cmd in "ls -la" "get incoming/127.0.0.1/etc.tar $scratch/got" \
           "rm incoming/127.0.0.1/etc.tar" "put $scratch/upload .ssh/authorized_keys"; do
    check "sftp '$cmd' refused" fails sftp_as "$key" "$cmd"
done
check "sftp: nothing fetched" not_there "$scratch/got"
scp_as() {   # scp_as [-O] FROM TO, with A's key
    client_opts "$key"
    timeout 10 scp -P "$VELK_PORT" "${CLIENT_OPTS[@]}" "$@"
}
check "scp upload refused" fails scp_as "$scratch/upload" "$A@127.0.0.1:.ssh/authorized_keys"
check "scp download refused" fails scp_as "$A@127.0.0.1:incoming/127.0.0.1/etc.tar" "$scratch/got2"
# scp -O runs "scp -t ..." through the login shell: velk stores what it
# is sent under the name scp while scp waits for an answer, until the
# client gives up.
check "scp -O upload gets nowhere" fails scp_as -O "$scratch/upload" "$A@127.0.0.1:.ssh/authorized_keys"
check "scp -O download gets nowhere" fails scp_as -O "$A@127.0.0.1:incoming/127.0.0.1/etc.tar" "$scratch/got3"
check "scp: nothing fetched" same "$(ls "$scratch" | grep got)" ""
check "ssh -s sftp refused" fails ssh_within "$A" "$key" -s sftp < /dev/null

# --- Forwarding, agent and pty, with the restricted key and with the key
# that lacks restrict.  A listener on 127.0.0.1 logs every connection
# that any forward might make.
python3 - "$scratch/listener.port" "$scratch/listener.log" <<'PY' &
import socket, sys
s = socket.socket()
s.bind(('127.0.0.1', 0))
s.listen(16)
open(sys.argv[1], 'w').write(str(s.getsockname()[1]))
while True:
    c, a = s.accept()
    with open(sys.argv[2], 'a') as log:
        log.write('connection from %s:%d\n' % a)
    c.close()
PY
listener=$!
for i in $(seq 1 50); do [ -s "$scratch/listener.port" ] && break; sleep 0.1; done
target=$(cat "$scratch/listener.port")
: > "$scratch/listener.log"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { local i; for i in $(seq 1 100); do port_in_use "$1" && return 0; sleep 0.1; done; return 1; }
# Connects to a port (through SOCKS5 to the listener when asked) and
# sends a line; whatever the forward does, the listener must log nothing.
poke() {   # poke PORT [socks]
    python3 - "$1" "${2:-}" "$target" <<'PY' >/dev/null 2>&1
import socket, struct, sys
c = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=5)
if sys.argv[2] == 'socks':
    c.sendall(b'\x05\x01\x00')
    c.recv(2)
    c.sendall(b'\x05\x01\x00\x01' + socket.inet_aton('127.0.0.1') + struct.pack('>H', int(sys.argv[3])))
    c.recv(10)
c.sendall(b'hello\n')
c.recv(100)
PY
}
nothing_reached() { sleep 0.5; same "$(cat "$scratch/listener.log")" ""; }
# forward_refused PID TEST...: the ssh client PID, asked for a remote
# forward with ExitOnForwardFailure, must exit with 255 and TEST (that
# the forward exists) must never hold while it runs.
forward_refused() {
    local pid=$1 i status; shift
    for i in $(seq 1 100); do
        if "$@"; then
            echo "  the forward was set up" >&2
            kill "$pid"; wait "$pid"
            return 1
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$pid" 2>/dev/null
    wait "$pid"
    status=$?
    same "$status" 255
}

for k in client_key free_key; do
    kf=$VELK_WORK/$k
    lp=$(free_port)
    ssh_as "$A" "$kf" -N -L "$lp:127.0.0.1:$target" -o ExitOnForwardFailure=yes 2>/dev/null &
    fwd=$!
    if wait_port "$lp"; then poke "$lp"; fi
    check "$k: -L reaches nothing" nothing_reached
    kill "$fwd" 2>/dev/null; wait "$fwd" 2>/dev/null

    rp=$(free_port)
    ssh_as "$A" "$kf" -N -R "$rp:127.0.0.1:$target" -o ExitOnForwardFailure=yes 2>/dev/null &
    check "$k: -R refused" forward_refused $! port_in_use "$rp"
    ssh_as "$A" "$kf" -N -R "/tmp/$A-$k.sock:127.0.0.1:$target" \
        -o ExitOnForwardFailure=yes 2>/dev/null &
    check "$k: -R to a Unix socket refused" forward_refused $! test -e "/tmp/$A-$k.sock"

    dp=$(free_port)
    ssh_as "$A" "$kf" -N -D "$dp" 2>/dev/null &
    fwd=$!
    if wait_port "$dp"; then poke "$dp" socks; fi
    check "$k: -D reaches nothing" nothing_reached
    kill "$fwd" 2>/dev/null; wait "$fwd" 2>/dev/null

    echo hello | ssh_within "$A" "$kf" -W "127.0.0.1:$target" >/dev/null 2>&1
    check "$k: -W fails" same "$?" 255
    check "$k: -W reaches nothing" nothing_reached

    # The agent: while a push runs with -A, sshd must have made no agent
    # socket for the account.
    eval "$(ssh-agent -s)" >/dev/null
    ssh-add -q "$kf" 2>/dev/null
    rm -f "$scratch/held"; mkfifo "$scratch/held"
    ssh_as "$A" "$kf" -A "agent-$k.bin" < "$scratch/held" > /dev/null 2>&1 &
    pusher=$!
    exec 3> "$scratch/held"
    # velk has made its file: the session is up.
    for i in $(seq 1 50); do [ -e "$VELK_HOME/incoming/127.0.0.1/agent-$k.bin" ] && break; sleep 0.1; done
    check "$k: -A: the push is under way" test -e "$VELK_HOME/incoming/127.0.0.1/agent-$k.bin"
    check "$k: -A: no agent socket for the account" same "$(find /tmp -maxdepth 2 -user "$A" -name 'agent.*' 2>/dev/null)" ""
    exec 3>&-
    wait "$pusher"
    status=$?
    check "$k: -A: the push itself is stored, status 0" same "$status" 0
    ssh-agent -k >/dev/null

    ssh_within "$A" "$kf" -tt "pty.bin" < /dev/null > "$scratch/out" 2>&1
    check "$k: -tt fails the session" same "$?" 255
done
kill "$listener" 2>/dev/null; wait "$listener" 2>/dev/null

# --- The environment: only sshd sets HOME and SSH_CLIENT.
HOME=$scratch/sent-home SSH_CLIENT="10.6.6.6 1 2" \
    push -o SendEnv=HOME -o SendEnv=SSH_CLIENT "env1.bin" <<< data > "$scratch/out" 2>&1
check "SendEnv HOME, SSH_CLIENT: status 0" same "$?" 0
check "SendEnv HOME, SSH_CLIENT: stored as usual" same "$(cat "$scratch/out")" "written to $dir/env1.bin"
push -o "SetEnv=HOME=$scratch/set-home SSH_CLIENT=10.6.6.7" "env2.bin" <<< data > "$scratch/out" 2>&1
check "SetEnv HOME, SSH_CLIENT: status 0" same "$?" 0
check "SetEnv HOME, SSH_CLIENT: stored as usual" same "$(cat "$scratch/out")" "written to $dir/env2.bin"
check "no directory from a sent HOME" not_there "$scratch/sent-home"
check "no directory from a set HOME" not_there "$scratch/set-home"
check "no directory from a sent address" same "$(ls "$VELK_HOME/incoming")" 127.0.0.1

# --- Who may log in.
check "A's key cannot log in as B" fails ssh_within "$B" "$key" "x" < /dev/null
check "an account outside group velk cannot log in" fails ssh_within "$C" "$VELK_WORK/$C.key" "x" < /dev/null
check "a key in the account's own authorized_keys is not accepted" fails ssh_within "$A" "$VELK_WORK/own_key" "x" < /dev/null
check "B's own key logs in to B" same "$(ssh_as "$B" "$VELK_WORK/$B.key" "b.bin" <<< data)" "written to /home/$B/incoming/127.0.0.1/b.bin"

after=$(snapshot)
check "nothing changed outside incoming/ (homes, /etc/velk)" same "$after" "$before"

# --- The main sshd: Debian's default configuration with internal-sftp,
# which serves SFTP itself without ever starting the login shell.  The
# shipped drop-in keeps backup accounts out of it; without the drop-in
# (the control) A's own key does get SFTP, which is the hole.
stop_sshd
main=$VELK_WORK/main
mkdir -p "$main/conf.d"
sed -e "s|^Include /etc/ssh/sshd_config.d/\*.conf|Include $main/conf.d/*.conf|" \
    -e 's|^Subsystem.*|Subsystem sftp internal-sftp|' \
    /usr/share/openssh/sshd_config > "$main/sshd_config"
check "main sshd: the copy includes the drop-in directory" grep -q "^Include $main/conf.d" "$main/sshd_config"
cp "$here/../packaging/sshd/velk.conf" "$main/conf.d/velk.conf"
start_sshd "$main/sshd_config" || exit 1
check "main sshd with drop-in: push refused" fails ssh_within "$A" "$VELK_WORK/own_key" "main.bin" <<< data
check "main sshd with drop-in: nothing stored" not_there "$dir/main.bin"
check "main sshd with drop-in: sftp refused" fails sftp_as "$VELK_WORK/own_key" "ls"
check "main sshd with drop-in: refused for group velk" \
    grep -q "User $A from 127.0.0.1 not allowed because a group is listed in DenyGroups" "$VELK_WORK/sshd.log"
stop_sshd
rm "$main/conf.d/velk.conf"
start_sshd "$main/sshd_config" || exit 1
sftp_as "$VELK_WORK/own_key" "ls -la .ssh" > "$scratch/sftp.out" 2>&1
check "control, main sshd without drop-in: sftp gets in" grep -q authorized_keys "$scratch/sftp.out"

if [ "$failures" -ne 0 ]; then
    echo "$failures checks failed; sshd log:" >&2
    tail -n 60 "$VELK_WORK/sshd.log" >&2
    exit 1
fi
echo "all checks passed"
