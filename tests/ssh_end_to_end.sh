#!/bin/bash
# velk under its real peers: OpenSSH's sshd starts it as the login shell of
# a throwaway account, OpenSSH's ssh client feeds it.  Needs root and
# sshd; skipped (77) without them, failed when CI=true.
set -uo pipefail
velk=$1
here=$(cd "$(dirname "$0")" && pwd)

. "$here/lib/sshd_test.sh"
# stdout is exactly the one line, with its newline.
out_is() { cmp -s "$out" <(printf '%s\n' "$1") || { printf '  got:  %q\n' "$(cat "$out")" >&2; return 1; }; }
# file_is FILE TEXT: the file holds exactly TEXT, with \n for a newline.
file_is() { cmp -s "$1" <(printf '%b' "$2") || { printf '  got:  %q\n' "$(cat "$1"; echo .)" >&2; return 1; }; }

dir=$VELK_HOME/incoming/127.0.0.1
out=$VELK_WORK/out
err=$VELK_WORK/err
scratch=$VELK_WORK/scratch
mkdir -p "$scratch/data"

# Three tar streams of a growing directory with -t 2: the last two stay.
for i in 1 2 3; do
    head -c $((i * 70000)) /dev/urandom > "$scratch/data/file$i"
    tar -C "$scratch" -cf "$scratch/stream$i.tar" data
    push "etc.tar -t 2" < "$scratch/stream$i.tar" > "$out" 2> "$err"
    status=$?
    check "tar push $i: status 0" same "$status" 0
    check "tar push $i: written to line" out_is "written to $dir/etc.tar"
done
check "exactly the name and one generation" same "$(ls "$dir")" "$(printf 'etc.tar\netc.tar.1')"
check "newest is the last stream" cmp -s "$dir/etc.tar" "$scratch/stream3.tar"
check "generation 1 is the stream before" cmp -s "$dir/etc.tar.1" "$scratch/stream2.tar"
check "stored stream reads back with tar" tar -tf "$dir/etc.tar.1" >/dev/null
check "files are mode 0400" same "$(stat -c %a "$dir/etc.tar" "$dir/etc.tar.1" | sort -u)" 400
check "client directory is mode 0700" same "$(stat -c %a "$dir" "$VELK_HOME/incoming" | sort -u)" 700
check "files belong to the account" same "$(stat -c %U "$dir/etc.tar")" "$VELK_USER"

# A login without a command stores backup.raw.
echo "no command" | push -T > "$out" 2> "$err"
status=$?
check "login without command: status 0" same "$status" 0
check "login without command: written to backup.raw" out_is "written to $dir/backup.raw"
check "login without command: content" same "$(cat "$dir/backup.raw")" "no command"

# Shell syntax in the command is text; nothing runs.
marker=$scratch/ran
chmod 777 "$scratch"
for cmd in "a;touch $marker" "\$(touch $marker)" "\`touch $marker\`" "a|touch $marker" "a&&touch $marker"; do
    echo x | push "$cmd" > "$out" 2> "$err"
    status=$?
    check "command $cmd: status 0" same "$status" 0
    check "command $cmd: stored as a file" grep -q "^written to $dir/" "$out"
    check "command $cmd runs nothing" test ! -e "$marker"
done

# -V: the report and status 1 reach the client.
push -- -V < /dev/null > "$out" 2> "$err"
status=$?
check "-V: status 1" same "$status" 1
"$velk" -V > "$scratch/version"
check "-V: the report, whole" cmp -s "$out" "$scratch/version"
check "-V: it is velk's" same "$(head -n 1 "$out")" 'velk $Name: VELK_REL_1_7 $'


# An open that fails: the message and status 1 reach the client.
echo x | push / > "$out" 2> "$err"
status=$?
check "open failure: status 1" same "$status" 1
check "open failure: message" file_is "$err" "can't open file $dir//: Is a directory\\n"
check "open failure: nothing on stdout" file_is "$out" ""

# Ten clients at once, each its own name.
for i in $(seq 1 10); do
    head -c $((200000 + i * 1000)) /dev/urandom > "$scratch/par$i"
done
pids=()
for i in $(seq 1 10); do
    push "par$i -t 1" < "$scratch/par$i" > "$scratch/par$i.out" 2>&1 &
    pids[i]=$!
done
for i in $(seq 1 10); do
    wait "${pids[i]}"
    check "parallel client $i: status 0" same "$?" 0
    check "parallel client $i: intact" cmp -s "$dir/par$i" "$scratch/par$i"
    out=$scratch/par$i.out
    check "parallel client $i: written to" out_is "written to $dir/par$i"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures checks failed; sshd log:" >&2
    tail -n 40 "$VELK_WORK/sshd.log" >&2
    exit 1
fi
echo "all checks passed"
