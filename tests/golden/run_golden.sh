#!/usr/bin/env bash
# Runs one example program against zrm-sim, in a network namespace of its own
# (so that parallel cases can all use ports 502 and 5001), and compares its
# whole output, byte for byte, and its exit status with the expected ones.
#
#   run_golden.sh --sim-binary PATH --example PATH [--emulator "CMD ARGS"]
#                 --expected FILE --status N [--sim "ARGS"]...
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/sim.sh"

if [ "${KIV_GOLDEN_IN_NETNS:-}" != 1 ]; then
  export KIV_GOLDEN_IN_NETNS=1
  in_own_netns bash "$0" "$@"
  exit
fi

sims=()
emulator=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sim-binary) KIV_SIM=$2 ;;
    --example) example=$2 ;;
    --emulator) emulator=$2 ;;
    --expected) expected=$2 ;;
    --status) want_status=$2 ;;
    --sim) sims+=("$2") ;;
    *) echo "run_golden.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done

work=$(mktemp -d /tmp/kiv-golden.XXXXXX)
KIV_SIM_LOG=$work/sim.log
trap 'stop_sims; rm -rf "$work"' EXIT

for s in "${sims[@]}"; do
  read -r -a sim_args <<<"$s"
  start_sim "${sim_args[@]}" || { cat "$KIV_SIM_LOG" >&2; exit 1; }
done

# shellcheck disable=SC2086 # the emulator is a command with its arguments
timeout 60 $emulator "$example" >"$work/out"
status=$?
stop_sims

ok=1
if ! cmp -s "$expected" "$work/out"; then
  ok=0
  echo "output differs from $expected (expected, then received; ^M is CR):"
  cat -A "$expected"
  echo "----"
  cat -A "$work/out"
fi
if [ "$status" != "$want_status" ]; then
  ok=0
  echo "exit status $status, expected $want_status"
fi
if [ $ok -ne 1 ]; then
  echo "simulator log:"
  cat "$KIV_SIM_LOG"
  exit 1
fi
echo "golden output and status $status match"
