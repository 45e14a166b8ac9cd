# Starting and stopping zrm-sim from a script: start_sim waits for the
# simulator's ready line (bounded) and leaves it in KIV_SIM_READY
# ("zrm-sim 7301 ready modbus ADDRESS:PORT config ADDRESS:PORT"), stop_sims
# ends every one it started.
# Needs KIV_SIM (the zrm-sim binary); KIV_SIM_LOG receives their stderr.

KIV_SIM_PIDS=()

start_sim() {
  local fifo fd line
  fifo=$(mktemp -u /tmp/zrm-sim-ready.XXXXXX)
  mkfifo "$fifo"
  # Opened read-write so that the open cannot block on a simulator that
  # failed to start.
  exec {fd}<>"$fifo"
  "$KIV_SIM" "$@" >"$fifo" 2>>"${KIV_SIM_LOG:-/dev/null}" &
  KIV_SIM_PIDS+=($!)
  line=""
  read -r -t 10 -u "$fd" line || true
  exec {fd}<&-
  rm -f "$fifo"
  KIV_SIM_READY=$line
  case "$line" in
    "zrm-sim "*" ready "*) return 0 ;;
    *)
      echo "zrm-sim $* did not get ready${line:+: $line}" >&2
      # Its own words on why, from its standard error.
      [ -n "${KIV_SIM_LOG:-}" ] && tail -n 3 "$KIV_SIM_LOG" >&2
      return 1
      ;;
  esac
}

stop_sims() {
  local pid
  for pid in "${KIV_SIM_PIDS[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${KIV_SIM_PIDS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  KIV_SIM_PIDS=()
}

# Runs "$@" in a network namespace of its own with loopback up, so that the
# simulators can take ports 502 and 5001 on any 127.x.y.z without meeting
# anything else. As root a plain namespace; otherwise an unprivileged one.
in_own_netns() {
  local unshare_args=(-n)
  [ "$(id -u)" -eq 0 ] || unshare_args=(-r -n)
  unshare "${unshare_args[@]}" -- sh -c 'ip link set lo up && exec "$@"' sh "$@"
}
