#!/usr/bin/env bash
# Counts the system calls per exchange of each benchmark case with strace:
# kiv-bench --probe makes N exchanges of one case between two getppid()
# markers, and the calls between them are sorted into send, wait, receive
# and other.
#   count-syscalls.sh KIV_BENCH ADDRESS MODBUS_PORT CONFIG_PORT N CASE...
# Prints one line per case: "<case> <send> <wait> <receive> <other>", each a
# count per exchange.
set -euo pipefail
bench=$1 address=$2 modbus_port=$3 config_port=$4 n=$5
shift 5
command -v strace >/dev/null || { echo "strace is missing (Debian package strace)" >&2; exit 1; }
trace=$(mktemp /tmp/kiv-bench-trace.XXXXXX)
trap 'rm -f "$trace"' EXIT
for case in "$@"; do
  strace -f -qq -o "$trace" "$bench" --probe "$case" "$address" "$modbus_port" "$config_port" "$n" >/dev/null
  awk -v n="$n" -v c="$case" '
    { line = $0; sub(/^[0-9]+ +/, "", line); name = line; sub(/\(.*/, "", name) }
    name == "getppid" { marks++; next }
    marks == 1 && line ~ /^[a-z_0-9]+\(/ {
      if (name ~ /^(send|sendto|sendmsg|write|writev)$/) s++
      else if (name ~ /^(poll|ppoll|select|pselect6|_newselect|epoll_wait|epoll_pwait)$/) w++
      else if (name ~ /^(recv|recvfrom|recvmsg|read|readv)$/) r++
      else o++
    }
    END { printf "%s %g %g %g %g\n", c, s / n, w / n, r / n, o / n }' "$trace"
done
