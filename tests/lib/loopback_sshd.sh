# A throwaway backup account whose login shell is velk, served by a
# private sshd on 127.0.0.1.  Sourced by bash scripts, which call
# sshd_up VELK_BINARY first and sshd_down on every way out (a trap).
#
# After sshd_up:
#   VELK_USER       the account's name
#   VELK_HOME       its home directory
#   VELK_WORK       a scratch directory, removed by sshd_down
#   push ARGS...    runs the real ssh client against the account

VELK_USER=""
VELK_HOME=""
VELK_WORK=""
VELK_PORT=""
SSHD_PID=""
MADE_RUN_SSHD=""

sshd_down() {
    if [ -n "$SSHD_PID" ]; then
        kill "$SSHD_PID" 2>/dev/null || true
        wait "$SSHD_PID" 2>/dev/null || true
        SSHD_PID=""
    fi
    if [ -n "$VELK_USER" ] && id "$VELK_USER" >/dev/null 2>&1; then
        pkill -KILL -u "$VELK_USER" 2>/dev/null || true
        userdel -r "$VELK_USER" 2>/dev/null || true
        # userdel -r may refuse a home it did not make; the home is ours.
        [ -n "$VELK_HOME" ] && rm -rf "$VELK_HOME"
    fi
    VELK_USER=""
    [ -n "$MADE_RUN_SSHD" ] && rmdir /run/sshd 2>/dev/null
    MADE_RUN_SSHD=""
    if [ -n "$VELK_WORK" ]; then
        rm -rf "$VELK_WORK"
        VELK_WORK=""
    fi
}

port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# Starts sshd on a free port and waits until it accepts connections.
start_sshd() {
    local try
    for try in 1 2 3 4 5 6 7 8 9 10; do
        VELK_PORT=$((20000 + RANDOM % 40000))
        port_in_use "$VELK_PORT" && continue
        cat > "$VELK_WORK/sshd_config" <<CONF
Port $VELK_PORT
ListenAddress 127.0.0.1
HostKey $VELK_WORK/host_key
PidFile $VELK_WORK/sshd.pid
UsePAM no
AllowUsers $VELK_USER
AuthenticationMethods publickey
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin no
AuthorizedKeysFile .ssh/authorized_keys
MaxStartups 30:30:60
LogLevel VERBOSE
CONF
        /usr/sbin/sshd -D -e -f "$VELK_WORK/sshd_config" \
            2>>"$VELK_WORK/sshd.log" &
        SSHD_PID=$!
        local i
        for i in $(seq 1 100); do
            if ! kill -0 "$SSHD_PID" 2>/dev/null; then
                wait "$SSHD_PID" 2>/dev/null || true
                SSHD_PID=""
                break
            fi
            port_in_use "$VELK_PORT" && return 0
            sleep 0.1
        done
        [ -n "$SSHD_PID" ] && { kill "$SSHD_PID"; wait "$SSHD_PID" || true; SSHD_PID=""; }
    done
    echo "sshd did not start; its log:" >&2
    cat "$VELK_WORK/sshd.log" >&2
    return 1
}

sshd_up() {
    local velk=$1
    VELK_WORK=$(mktemp -d /tmp/velk-sshd.XXXXXX)
    chmod 755 "$VELK_WORK"
    # The login shell is a copy, so that every directory above it can be
    # traversed by the account.
    install -m 755 "$velk" "$VELK_WORK/velk"

    VELK_USER="velk$$x$RANDOM"
    VELK_HOME="/home/$VELK_USER"
    useradd --create-home --home-dir "$VELK_HOME" --shell "$VELK_WORK/velk" \
        --user-group "$VELK_USER"
    # "*": no password, yet not locked, so key login works without PAM.
    usermod -p '*' "$VELK_USER"

    ssh-keygen -q -t ed25519 -N '' -C velk-host -f "$VELK_WORK/host_key"
    ssh-keygen -q -t ed25519 -N '' -C velk-client -f "$VELK_WORK/client_key"
    install -d -m 700 -o "$VELK_USER" -g "$VELK_USER" "$VELK_HOME/.ssh"
    printf 'restrict %s\n' "$(cat "$VELK_WORK/client_key.pub")" \
        > "$VELK_HOME/.ssh/authorized_keys"
    chown "$VELK_USER:$VELK_USER" "$VELK_HOME/.ssh/authorized_keys"
    chmod 600 "$VELK_HOME/.ssh/authorized_keys"

    if [ ! -d /run/sshd ]; then
        mkdir -m 755 /run/sshd
        MADE_RUN_SSHD=1
    fi
    start_sshd || return 1
    printf '[127.0.0.1]:%s %s\n' "$VELK_PORT" \
        "$(cut -d' ' -f1,2 "$VELK_WORK/host_key.pub")" > "$VELK_WORK/known_hosts"
}

push() {
    ssh -F /dev/null -p "$VELK_PORT" -i "$VELK_WORK/client_key" \
        -o IdentitiesOnly=yes -o BatchMode=yes \
        -o StrictHostKeyChecking=yes \
        -o UserKnownHostsFile="$VELK_WORK/known_hosts" \
        -o GlobalKnownHostsFile=/dev/null \
        -o LogLevel=ERROR \
        "$VELK_USER@127.0.0.1" "$@"
}
