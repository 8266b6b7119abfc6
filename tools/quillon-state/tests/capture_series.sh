#!/bin/sh
# quillon-state capture as a user runs it: each usage error is one line and status 2; a series
# ascends from barrier 1 and SIGTERM ends it with whole lines only and status 0.
# Usage: capture_series.sh QUILLON_STATE FIXTURE_PROC
set -u
bin=$1 proc=$2 failures=0
expect() {  # STATUS STDERR ARGUMENT...
  want_status=$1 want_error=$2
  shift 2
  error=$("$bin" capture "$@" 2>&1 >/dev/null)
  status=$?
  [ "$status" = "$want_status" ] && [ "$error" = "$want_error" ] && return
  echo "capture $*: status $status, want $want_status; stderr: $error"
  failures=$((failures + 1))
}
duration="quillon-state: --interval: expected a positive duration such as 500ms, 2s or 1m"
expect 0 "" --proc "$proc" --count 1
expect 2 "quillon-state: $proc/stat: not a readable directory" --proc "$proc/stat"
expect 2 "quillon-state: --count: must be at least 1" --proc "$proc" --count 0
expect 2 "quillon-state: --count: more than one capture needs --interval" --proc "$proc" --count 2
for interval in 0s 5x 1h -1s 153722867281m; do
  expect 2 "$duration: $interval" --proc "$proc" --interval $interval
done
expect 2 "quillon-state: --system-id: not an identifier token: a/b" --proc "$proc" --system-id a/b
expect 2 "quillon-state: --epoch: must be at least 1" --proc "$proc" --epoch 0
expect 2 "quillon-state: --host-id: not an identifier token: a:b" --proc "$proc" --host-id a:b
expect 2 "quillon-state: $proc/nowhere: not a readable directory" --proc "$proc" --sys "$proc/nowhere"
expect 2 "quillon-state: --expect-gpus: at most 1024" --proc "$proc" --expect-gpus 1025
expect 2 "quillon-state: --cgroup: not a cgroup path below the root: web.service" --proc "$proc" \
  --cgroup web.service
expect 2 "quillon-state: --cgroup: /a/x and /b/x have the same name x" --proc "$proc" \
  --cgroup /a/x --cgroup /b/x

out=$(mktemp)
"$bin" capture --proc "$proc" --interval 20ms >"$out" &
pid=$!
sleep 0.5
kill -TERM "$pid"
wait "$pid" || { echo "series: status $? after SIGTERM"; failures=$((failures + 1)); }
if ! jq -s -e 'length >= 1 and [.[].barrier_sequence] == [range(1; length + 1)]' "$out" >/dev/null
then
  echo "series: not whole documents with barrier sequence 1, 2, ...:" && cat "$out"
  failures=$((failures + 1))
fi
rm -f "$out"
exit "$failures"
