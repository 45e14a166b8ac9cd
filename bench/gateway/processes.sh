# shellcheck shell=bash
# Starting and stopping what gateway-bench runs: the broker, the plant and
# the gateway. Every wait is bounded; stop_all ends whatever was started and
# is what the EXIT trap calls.
# Needs GWB_DIR (the run's temporary folder).

GWB_PIDS=()

# listening PORT: true when something listens on 127.0.0.1:PORT.
listening() {
  [ -n "$(ss -Hltn "src 127.0.0.1:$1" 2>/dev/null)" ]
}

alive() {
  kill -0 "$1" 2>/dev/null
}

# stop_pid PID SECONDS: SIGTERM, then SIGKILL once SECONDS have passed;
# leaves the exit status in GWB_STATUS (143 or 137 if it took a signal).
stop_pid() {
  local pid=$1 tenths=$(($2 * 10))
  kill -TERM "$pid" 2>/dev/null || true
  while alive "$pid" && ((tenths-- > 0)); do sleep 0.1; done
  if alive "$pid"; then
    echo "gateway-bench: $pid did not end on SIGTERM; killed" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
  GWB_STATUS=0
  wait "$pid" 2>/dev/null || GWB_STATUS=$?
}

# Last started first: the gateway still has its broker while it stops.
stop_all() {
  local i
  for ((i = ${#GWB_PIDS[@]} - 1; i >= 0; i--)); do
    alive "${GWB_PIDS[i]}" && stop_pid "${GWB_PIDS[i]}" 5
  done
  GWB_PIDS=()
}

# start_broker: mosquitto on a free port of 127.0.0.1, its own configuration
# in GWB_DIR; sets GWB_BROKER_PORT and GWB_BROKER_PID.
start_broker() {
  local try port
  for ((try = 0; try < 10; try++)); do
    port=$((20000 + RANDOM % 40000))
    listening "$port" && continue
    {
      echo "listener $port 127.0.0.1"
      echo "allow_anonymous true"
      echo "persistence false"
      # The subscriber takes every values message of 256 modules at 10 Hz.
      echo "max_queued_messages 100000"
      # What the subscriber sees is the gateway's latency, not Nagle's on
      # the broker's side.
      echo "set_tcp_nodelay true"
      echo "log_dest stderr"
      echo "log_type error"
      echo "log_type warning"
      # In a user namespace of our own only our own user exists to run as.
      [ -n "${GWB_USERNS:-}" ] && echo "user root"
    } >"$GWB_DIR/mosquitto.conf"
    run_broker "$port" && { GWB_BROKER_PORT=$port; return 0; }
  done
  echo "gateway-bench: mosquitto did not start; its log:" >&2
  tail -n 5 "$GWB_DIR/mosquitto.log" >&2
  return 1
}

# run_broker PORT: mosquitto with GWB_DIR/mosquitto.conf, waited for (5 s
# at most) until it listens on PORT; sets GWB_BROKER_PID. Also how the
# broker comes back after an outage: the same configuration, the same port.
run_broker() {
  local port=$1 tenths
  mosquitto -c "$GWB_DIR/mosquitto.conf" 2>>"$GWB_DIR/mosquitto.log" &
  GWB_BROKER_PID=$!
  GWB_PIDS+=("$GWB_BROKER_PID")
  for ((tenths = 50; tenths > 0; tenths--)); do
    listening "$port" && return 0
    alive "$GWB_BROKER_PID" || break
    sleep 0.1
  done
  stop_pid "$GWB_BROKER_PID" 2
  return 1
}

# start_plant SIM: one zrm-sim --plant process per GWB_DIR/plant-K.txt,
# all started at once, then each waited for (60 s at most in all) until it
# has printed a ready line per module of its file; sets GWB_PLANT_PIDS and
# GWB_PLANT_SERVED (the modules served in all).
start_plant() {
  local sim=$1 k parts served ready tenths=600
  parts=$(plant_parts "$GWB_DIR")
  GWB_PLANT_PIDS=()
  GWB_PLANT_SERVED=0
  for ((k = 1; k <= parts; k++)); do
    "$sim" --plant "$GWB_DIR/plant-$k.txt" >"$GWB_DIR/plant-$k.ready" 2>>"$GWB_DIR/plant-$k.log" &
    GWB_PLANT_PIDS+=("$!")
    GWB_PIDS+=("$!")
  done
  for ((k = 1; k <= parts; k++)); do
    served=$(wc -l <"$GWB_DIR/plant-$k.txt")
    while :; do
      ready=$(grep -c ' ready ' "$GWB_DIR/plant-$k.ready" || true)
      ((ready >= served)) && break
      if ((tenths-- <= 0)) || ! alive "${GWB_PLANT_PIDS[k - 1]}"; then
        echo "gateway-bench: plant process $k of $parts did not get ready ($ready of $served modules); its log:" >&2
        tail -n 5 "$GWB_DIR/plant-$k.log" >&2
        return 1
      fi
      sleep 0.1
    done
    GWB_PLANT_SERVED=$((GWB_PLANT_SERVED + served))
  done
}

# start_gateway GATEWAY: checks the configuration, then runs it; sets
# GWB_GATEWAY_PID once it has stayed up for a second.
start_gateway() {
  local gateway=$1
  "$gateway" --config "$GWB_DIR/gateway.toml" --check >>"$GWB_DIR/gateway.log" 2>&1 || {
    echo "gateway-bench: kiv-gateway refused the configuration:" >&2
    tail -n 5 "$GWB_DIR/gateway.log" >&2
    return 1
  }
  "$gateway" --config "$GWB_DIR/gateway.toml" >>"$GWB_DIR/gateway.log" 2>&1 &
  GWB_GATEWAY_PID=$!
  GWB_PIDS+=("$GWB_GATEWAY_PID")
  sleep 1
  alive "$GWB_GATEWAY_PID" && return 0
  echo "gateway-bench: kiv-gateway ended at once; its log:" >&2
  tail -n 5 "$GWB_DIR/gateway.log" >&2
  return 1
}

# add_metrics DIR: a [prometheus] section on a free port of 127.0.0.1 in
# DIR/gateway.toml; sets GWB_METRICS_PORT.
add_metrics() {
  local try port
  for ((try = 0; try < 10; try++)); do
    port=$((20000 + RANDOM % 40000))
    listening "$port" && continue
    printf '\n[prometheus]\nlisten = "127.0.0.1:%s"\n' "$port" >>"$1/gateway.toml"
    GWB_METRICS_PORT=$port
    return 0
  done
  return 1
}

# add_store DIR: a [store] section in DIR/gateway.toml, the database in
# DIR. The disk bytes the gateway writes are counted where they reach the
# block layer: on tmpfs nothing does, so that is said.
GWB_REPLAY_PER_S=500
add_store() {
  printf '\n[store]\npath = "%s"\nmax_mb = 1024\nmax_age = "7d"\nreplay_per_s = %s\n' \
    "$1/store.db" "$GWB_REPLAY_PER_S" >>"$1/gateway.toml"
  # A folder under stacked mounts has a line for each, the one on top last.
  GWB_STORE_FS=$(findmnt -n -o FSTYPE -T "$1" 2>/dev/null | tail -n 1) || true
  GWB_STORE_FS=${GWB_STORE_FS:-unknown}
  [ "$GWB_STORE_FS" = tmpfs ] &&
    echo "gateway-bench: warning: the store's folder $1 is on tmpfs: the disk bytes written will be 0 (set TMPDIR to a folder on disk, e.g. /var/tmp)" >&2
  return 0
}

# scrape PORT FILE: GET /metrics once, as Prometheus would, through bash's
# /dev/tcp; the response, headers and all, in FILE.
scrape() {
  exec 3<>"/dev/tcp/127.0.0.1/$1" || return 1
  printf 'GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&3
  cat <&3 >"$2"
  exec 3<&-
}

# metric FILE NAME: the value of the sample NAME (no labels) in a scrape.
metric() {
  awk -v n="$2" '$1 == n { print $2; found = 1 } END { exit !found }' "$1"
}

# start_scraper PORT: scrape every second, more often than Prometheus
# would; the last scrape is kept in GWB_DIR/metrics.txt.
start_scraper() {
  local port=$1
  (
    while sleep 1; do
      scrape "$port" "$GWB_DIR/metrics.txt" || true
    done
  ) 2>/dev/null &
  GWB_PIDS+=("$!")
}

# run_bounded SECONDS OUT COMMAND...: COMMAND with its standard output added
# to OUT, ended after SECONDS. Waited for in the background, so that a signal
# to this script is taken at once and stop_all ends the command too.
run_bounded() {
  local seconds=$1 out=$2 pid status=0
  shift 2
  timeout "$seconds" "$@" >>"$out" &
  pid=$!
  GWB_PIDS+=("$pid")
  wait "$pid" || status=$?
  return "$status"
}
