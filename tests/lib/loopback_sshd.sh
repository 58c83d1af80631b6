# A throwaway backup account whose login shell is velk, served by a
# private sshd on 127.0.0.1 that runs velk's shipped configuration
# (packaging/sshd/sshd_config) as it is, overriding on the command line
# only the port, the listen address, the host key and the pid file.
# Sourced by bash scripts, which call sshd_up VELK_BINARY first and
# sshd_down on every way out (a trap).
#
# The account is set up as the README tells an administrator to: a member
# of the group velk, password field "*", its key with restrict in
# /etc/velk/authorized_keys/<account>.  The group and the directories
# under /etc/velk are made only when missing, and then removed again.
#
# After sshd_up:
#   VELK_USER       the account's name
#   VELK_HOME       its home directory
#   VELK_WORK       a scratch directory, removed by sshd_down
#   VELK_PORT       sshd's port on 127.0.0.1
#   push ARGS...    runs the real ssh client against the account
#   client_opts KEY, ssh_args USER KEY, ssh_as USER KEY ARGS...
#                   the client's options and command line, for sftp,
#                   scp and other accounts
# and for tests that need more accounts or another sshd:
#   make_account NAME SHELL [GROUPS]   an account, removed by sshd_down
#   start_sshd CONFIG [SSHD ARGS...]   an sshd on a free port of
#                                      127.0.0.1 (VELK_PORT, SSHD_PID)
#   stop_sshd

VELK_SSHD_CONFIG=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/packaging/sshd/sshd_config
VELK_KEYS_DIR=/etc/velk/authorized_keys
VELK_USER=""
VELK_HOME=""
VELK_WORK=""
VELK_PORT=""
SSHD_PID=""
MADE_ACCOUNTS=""
MADE_GROUP=""
MADE_DIRS=""
MADE_RUN_SSHD=""

stop_sshd() {
    if [ -n "$SSHD_PID" ]; then
        kill "$SSHD_PID" 2>/dev/null || true
        wait "$SSHD_PID" 2>/dev/null || true
        SSHD_PID=""
    fi
}

sshd_down() {
    stop_sshd
    local user dir
    for user in $MADE_ACCOUNTS; do
        pkill -KILL -u "$user" 2>/dev/null || true
        userdel -r "$user" 2>/dev/null || true
        # userdel -r may refuse a home it did not make; the home is ours.
        rm -rf "/home/$user"
        rm -f "$VELK_KEYS_DIR/$user"
    done
    MADE_ACCOUNTS=""
    VELK_USER=""
    [ -n "$MADE_GROUP" ] && groupdel velk 2>/dev/null
    MADE_GROUP=""
    for dir in $MADE_DIRS; do
        rmdir "$dir" 2>/dev/null
    done
    MADE_DIRS=""
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

# start_sshd CONFIG [ARGS...]: sshd -D -e -f CONFIG on a free port of
# 127.0.0.1, its log in $VELK_WORK/sshd.log; waits until it accepts
# connections, and writes its host key for the clients.
start_sshd() {
    local config=$1; shift
    local try i
    for try in 1 2 3 4 5 6 7 8 9 10; do
        VELK_PORT=$((20000 + RANDOM % 40000))
        port_in_use "$VELK_PORT" && continue
        /usr/sbin/sshd -D -e -f "$config" -p "$VELK_PORT" \
            -o ListenAddress=127.0.0.1 -o HostKey="$VELK_WORK/host_key" \
            -o PidFile="$VELK_WORK/sshd.pid" "$@" \
            2>>"$VELK_WORK/sshd.log" &
        SSHD_PID=$!
        for i in $(seq 1 100); do
            if ! kill -0 "$SSHD_PID" 2>/dev/null; then
                wait "$SSHD_PID" 2>/dev/null || true
                SSHD_PID=""
                break
            fi
            if port_in_use "$VELK_PORT"; then
                printf '[127.0.0.1]:%s %s\n' "$VELK_PORT" \
                    "$(cut -d' ' -f1,2 "$VELK_WORK/host_key.pub")" \
                    > "$VELK_WORK/known_hosts"
                return 0
            fi
            sleep 0.1
        done
        stop_sshd
    done
    echo "sshd did not start; its log:" >&2
    cat "$VELK_WORK/sshd.log" >&2
    return 1
}

# make_account NAME SHELL [GROUPS]: an account as the README makes one,
# with the key $VELK_WORK/NAME.key (restrict) in /etc/velk.
make_account() {
    local user=$1 shell=$2 groups=${3-velk}
    useradd --create-home --home-dir "/home/$user" --shell "$shell" \
        --user-group ${groups:+--groups "$groups"} "$user" || return 1
    MADE_ACCOUNTS="$MADE_ACCOUNTS $user"
    # "*": no password, yet not locked, so key login works without PAM.
    usermod -p '*' "$user"
    ssh-keygen -q -t ed25519 -N '' -C "$user" -f "$VELK_WORK/$user.key"
    printf 'restrict %s\n' "$(cat "$VELK_WORK/$user.key.pub")" \
        > "$VELK_KEYS_DIR/$user"
}

sshd_up() {
    local velk=$1
    VELK_WORK=$(mktemp -d /tmp/velk-sshd.XXXXXX)
    chmod 755 "$VELK_WORK"
    # The login shell is a copy, so that every directory above it can be
    # traversed by the account.
    install -m 755 "$velk" "$VELK_WORK/velk"

    if ! getent group velk >/dev/null; then
        groupadd --system velk || return 1
        MADE_GROUP=1
    fi
    local dir
    for dir in /etc/velk "$VELK_KEYS_DIR"; do
        if [ ! -d "$dir" ]; then
            install -d -m 755 "$dir" || return 1
            MADE_DIRS="$dir $MADE_DIRS"
        fi
    done
    if [ ! -d /run/sshd ]; then
        mkdir -m 755 /run/sshd
        MADE_RUN_SSHD=1
    fi

    VELK_USER="velk$$x$RANDOM"
    VELK_HOME="/home/$VELK_USER"
    make_account "$VELK_USER" "$VELK_WORK/velk" || return 1
    cp "$VELK_WORK/$VELK_USER.key" "$VELK_WORK/client_key"

    ssh-keygen -q -t ed25519 -N '' -C velk-host -f "$VELK_WORK/host_key"
    start_sshd "$VELK_SSHD_CONFIG"
}

# client_opts KEY: sets CLIENT_OPTS to the options every client (ssh,
# sftp, scp) runs with here, as a backup client would: one key, nothing
# from ~/.ssh, no prompts, only the loopback sshd's host key trusted.
# The port is not among them: ssh takes -p, sftp and scp -P.
client_opts() {
    CLIENT_OPTS=(-F /dev/null -i "$1"
        -o IdentitiesOnly=yes -o BatchMode=yes
        -o StrictHostKeyChecking=yes
        -o UserKnownHostsFile="$VELK_WORK/known_hosts"
        -o GlobalKnownHostsFile=/dev/null
        -o LogLevel=ERROR)
}

# ssh_args USER KEY: sets SSH_ARGS to the real ssh client's command line.
# Options and the command follow it (ssh's getopt still takes options
# after the host).
ssh_args() {
    client_opts "$2"
    SSH_ARGS=(ssh -p "$VELK_PORT" "${CLIENT_OPTS[@]}" "$1@127.0.0.1")
}

# ssh_as USER KEY [ARGS...]
ssh_as() {
    ssh_args "$1" "$2"
    shift 2
    "${SSH_ARGS[@]}" "$@"
}

push() {
    ssh_as "$VELK_USER" "$VELK_WORK/client_key" "$@"
}
