#!/bin/bash
# Faults on the wire, through a real sshd and ssh client: a connection cut
# in the middle of a stream, and many pushes of one name at the same time
# by the unprivileged backup account.  Needs root and sshd; skipped (77)
# without them, failed when CI=true.
set -uo pipefail
velk=$1
here=$(cd "$(dirname "$0")" && pwd)

. "$here/lib/sshd_test.sh"
no_velk_left() {
    local i
    for i in $(seq 1 100); do
        pgrep -u "$VELK_USER" >/dev/null || return 0
        sleep 0.1
    done
    pgrep -a -u "$VELK_USER" >&2
    return 1
}
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }

dir=$VELK_HOME/incoming/127.0.0.1
scratch=$VELK_WORK/scratch
mkdir -p "$scratch"

# --- A connection cut in the middle of a stream.  velk sees end of
# input, but nobody is left to hear "written to": the stream must be left
# as db.dump.partial, never as db.dump, the newest backup.
head -c 300000 /dev/urandom > "$scratch/old"
push "db.dump" < "$scratch/old" > /dev/null
status=$?
check "earlier backup: status 0" same "$status" 0
check "earlier backup stored" cmp -s "$dir/db.dump" "$scratch/old"
head -c 65536 /dev/urandom > "$scratch/block"
mkfifo "$scratch/pipe"
# The ssh client itself is the background job, so that $! is its id.
ssh_args "$VELK_USER" "$VELK_WORK/client_key"
"${SSH_ARGS[@]}" "db.dump" < "$scratch/pipe" > /dev/null 2>&1 &
client=$!
# The same 64 KiB block again and again, paced so that the client is
# killed while data still flows.
( while cat "$scratch/block"; do sleep 0.01; done ) > "$scratch/pipe" 2>/dev/null &
producer=$!
for i in $(seq 1 200); do
    [ "$(size_of "$dir/db.dump")" -ge 1000000 ] && break
    sleep 0.05
done
check "cut: a megabyte arrived before the cut" test "$(size_of "$dir/db.dump")" -ge 1000000
check "cut: the client was still running" kill -KILL "$client"
wait "$client"
status=$?
check "cut: the client died of the kill" same "$status" 137
kill "$producer" 2>/dev/null
wait "$producer" 2>/dev/null
check "cut: no velk process left behind" no_velk_left
check "cut: the earlier backup moved to generation 1, intact" cmp -s "$dir/db.dump.1" "$scratch/old"
check "cut: nothing under the plain name" test ! -e "$dir/db.dump"
partial=$(size_of "$dir/db.dump.partial")
check "cut: the stream is left as db.dump.partial ($partial bytes)" test "$partial" -gt 0
# The stream is the same 64 KiB over and over: the partial file must be
# whole copies of it and then a prefix of it, nothing else.
python3 - "$dir/db.dump.partial" "$scratch/block" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
block = open(sys.argv[2], 'rb').read(65536)
ok = all(data[i:i + 65536] == block[:len(data[i:i + 65536])]
         for i in range(0, len(data), 65536))
sys.exit(0 if ok else 1)
PY
check "cut: the partial file holds only what was sent, in order" same "$?" 0
cp "$dir/db.dump.partial" "$scratch/partial"
head -c 200000 /dev/urandom > "$scratch/new"
push "db.dump" < "$scratch/new" > "$scratch/out" 2>&1
status=$?
check "after the cut: status 0" same "$status" 0
check "after the cut: a complete push is the newest backup" cmp -s "$dir/db.dump" "$scratch/new"
check "after the cut: the last complete one stays generation 1" cmp -s "$dir/db.dump.1" "$scratch/old"
check "after the cut: the partial file is untouched" cmp -s "$dir/db.dump.partial" "$scratch/partial"
check "after the cut: nothing else" same "$(ls "$dir" | grep '^db')" "$(printf 'db.dump\ndb.dump.1\ndb.dump.partial')"

# --- A push of the same name starts while the first is still being
# copied and shifts the first one's file to .1: each "written to" names
# the file that holds its own stream.
head -c 300000 /dev/urandom > "$scratch/early"
head -c 200000 /dev/urandom > "$scratch/late"
mkfifo "$scratch/held"
push "shift.bin" < "$scratch/held" > "$scratch/out.early" 2>&1 &
early=$!
exec 3> "$scratch/held"
head -c 100000 "$scratch/early" >&3
for i in $(seq 1 200); do
    [ "$(size_of "$dir/shift.bin")" -ge 100000 ] && break
    sleep 0.05
done
push "shift.bin" < "$scratch/late" > "$scratch/out.late" 2>&1
status=$?
check "shifted: the later push, status 0" same "$status" 0
tail -c +100001 "$scratch/early" >&3
exec 3>&-
wait "$early"
status=$?
check "shifted: the earlier push, status 0" same "$status" 0
check "shifted: the later push is the plain name" same "$(cat "$scratch/out.late")" "written to $dir/shift.bin"
check "shifted: the earlier push names generation 1" same "$(cat "$scratch/out.early")" "written to $dir/shift.bin.1"
check "shifted: the plain name holds the later stream" cmp -s "$dir/shift.bin" "$scratch/late"
check "shifted: generation 1 holds the earlier stream" cmp -s "$dir/shift.bin.1" "$scratch/early"

# --- Two clients pushing the same name at once, round after round.  Each
# stream names itself in its first line; with the default keep count of
# 10 and 8 pushes per name, every stream reported as written must be one
# complete file among the generations, and every file one whole stream.
make_stream() {   # make_stream ID
    { echo "stream $1"; head -c $((100000 + RANDOM * 8)) /dev/urandom; } > "$scratch/s.$1"
}
failed_pushes=0
for name in n1 n2 n3 n4 n5; do
    for round in 1 2 3 4; do
        pids=""
        for client in a b; do
            id=$name.$round.$client
            make_stream "$id"
            push "$name" < "$scratch/s.$id" > "$scratch/out.$id" 2>&1 &
            pids="$pids $!"
        done
        # Each by its id: a bare wait would wait for sshd too.
        for pid in $pids; do
            wait "$pid" || failed_pushes=$((failed_pushes + 1))
        done
    done
done
check "concurrent: every push ended with status 0" same "$failed_pushes" 0

wrong=0
for name in n1 n2 n3 n4 n5; do
    for round in 1 2 3 4; do
        for client in a b; do
            id=$name.$round.$client
            grep -q "^written to $dir/$name" "$scratch/out.$id" || continue
            found=""
            for f in "$dir/$name" "$dir/$name".*; do
                cmp -s "$f" "$scratch/s.$id" && found=1
            done
            [ -n "$found" ] || { echo "  lost: $id ($(cat "$scratch/out.$id"))" >&2; wrong=$((wrong + 1)); }
        done
    done
    for f in "$dir/$name" "$dir/$name".*; do
        [ -e "$f" ] || continue
        id=$(head -n 1 "$f" | sed -n 's/^stream //p')
        if [ -z "$id" ] || ! cmp -s "$f" "$scratch/s.$id"; then
            echo "  not one whole stream: $f (starts as ${id:-nothing})" >&2
            wrong=$((wrong + 1))
        fi
    done
done
check "concurrent: every written stream is stored whole, no file mixes two" same "$wrong" 0
written=$(grep -l "^written to $dir/n[0-9]" "$scratch"/out.* | wc -l)
check "concurrent: all 40 pushes reported written" same "$written" 40
check "concurrent: no velk process left behind" no_velk_left

grep -L "written to" "$scratch"/out.* | while read -r f; do echo "  $f: $(cat "$f")" >&2; done
echo "$failures failed"
[ "$failures" -eq 0 ]
