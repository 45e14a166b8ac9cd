# shellcheck shell=bash
# The table of gateway-bench: the figures of gateway-meter (key=value lines,
# read into the associative array GWB_FIG) beside the targets. Sets
# GWB_MISSED to the targets that were missed, one line each.

# Targets by name: cpu (% of one core, or "floor": no more than the floor's),
# rss (MiB), jitter (p99, ms), missed (healthy polls), latency (p99, ms).
# A figure without a target is shown without one.
#
# The rows of bench/README.md, each MODULES INTERVAL_MS and its targets; a
# run of that many modules at that interval is judged by them, any other by
# GWB_DEFAULT_TARGETS.
GWB_ROWS=(
  "256 100 cpu=floor jitter=10 missed=0 latency=10"
  "1024 500 cpu=15 rss=64 jitter=10 missed=0"
)
GWB_DEFAULT_TARGETS="cpu=25 rss=64 jitter=10 missed=0"

declare -A GWB_FIG=()
declare -A GWB_TARGET=()

# set_targets MODULES INTERVAL_MS: GWB_TARGET for a run of these.
set_targets() {
  local row fields targets=$GWB_DEFAULT_TARGETS target
  for row in "${GWB_ROWS[@]}"; do
    read -ra fields <<<"$row"
    if [ "${fields[0]}" = "$1" ] && [ "${fields[1]}" = "$2" ]; then
      targets=${fields[*]:2}
      break
    fi
  done
  GWB_TARGET=()
  for target in $targets; do
    GWB_TARGET[${target%%=*}]=${target#*=}
  done
}

# read_figures FILE: adds its key=value lines to GWB_FIG. The library
# reports a lost connection on standard output, which is not one of them.
read_figures() {
  local key value
  while IFS='=' read -r key value; do
    [[ $key =~ ^[a-z0-9_]+$ ]] && GWB_FIG[$key]=$value
  done <"$1"
}

# calc EXPRESSION: awk's arithmetic, for the fractions bash has not.
calc() {
  awk "BEGIN { print $1 }"
}

# judge NAME VALUE LIMIT: GWB_VERDICT is "ok" if VALUE <= LIMIT, else
# "missed", with a line added to GWB_MISSED.
judge() {
  if [ "$(calc "($2) <= ($3)")" = 1 ]; then
    GWB_VERDICT=ok
  else
    GWB_VERDICT=missed
    GWB_MISSED+="$1: $2, target <= $3"$'\n'
  fi
}

# figure LABEL VALUE UNIT TARGET: one line of the table, VALUE judged by
# GWB_TARGET[TARGET] if there is one. UNIT follows the numbers (" %").
# FLOOR_PCT stands for a target of "floor".
figure() {
  local label=$1 value=$2 unit=$3 limit=${GWB_TARGET[$4]:-} shown
  if [ -z "$limit" ]; then
    echo "| $label | $value$unit | | |"
    return
  fi
  if [ "$limit" = floor ]; then
    limit=$FLOOR_PCT
    shown="<= floor ($limit$unit)"
  elif [ "$limit" = 0 ]; then
    shown=0
  else
    shown="<= $limit$unit"
  fi
  judge "$label" "$value" "$limit"
  echo "| $label | $value$unit | $shown | $GWB_VERDICT |"
}

# kib_per_s BYTES_PER_S: "12.3 KiB/s".
kib_per_s() {
  calc "sprintf(\"%.1f KiB/s\", $1 / 1024)"
}

# print_report HEALTHY DEAD SLOW INTERVAL_MS TIMEOUT_MS SLOW_DELAY_MS PLANT_PROCESSES
# Judges by GWB_TARGET (set_targets).
print_report() {
  local healthy=$1 dead=$2 slow=$3 interval=$4 timeout=$5 delay=$6 parts=$7
  local window=${GWB_FIG[window_s]} rss_mib rate FLOOR_PCT
  rss_mib=$(calc "sprintf(\"%.1f\", ${GWB_FIG[gateway_peak_rss_kib]} / 1024)")
  FLOOR_PCT=$(calc "sprintf(\"%.2f\", 100 * ${GWB_FIG[floor_cpu_s]} / $window)")
  rate=$(calc "sprintf(\"%g\", 1000 / $interval)")
  GWB_MISSED=""

  local processes="$parts plant processes"
  ((parts == 1)) && processes="one plant process"
  printf '%d modules (%d healthy, %d without a listener, %d answering after %d ms) served by %s, interval %d ms, timeout %d ms; window %.1f s\n\n' \
    $((healthy + dead + slow)) "$healthy" "$dead" "$slow" "$delay" "$processes" "$interval" "$timeout" "$window"
  [ -n "${GWB_FIG[store_fs]:-}" ] &&
    printf 'The store on: every values message committed to SQLite before it goes to the broker (%s)\n\n' "${GWB_FIG[store_fs]}"
  [ "${GWB_FIG[publish]:-every_poll}" != every_poll ] &&
    printf 'Every module with publish = %s: the values messages are the polls that changed, and the heartbeats\n\n' "${GWB_FIG[publish]}"
  echo "| figure | measured | target | |"
  echo "|---|---|---|---|"
  figure "gateway CPU, % of one core" "${GWB_FIG[gateway_cpu_pct]}" " %" cpu
  echo "| floor: the same ${GWB_FIG[floor_exchanges]} exchanges raw, % of one core | $FLOOR_PCT % | | |"
  figure "gateway peak RSS (VmHWM)" "$rss_mib" " MiB" rss
  echo "| disk bytes written by the gateway (write_bytes), per second | $(kib_per_s "${GWB_FIG[gateway_write_bytes_per_s]}") | | |"
  echo "| polls per second | ${GWB_FIG[polls_per_s]} | ($healthy healthy x $rate/s = $(calc "sprintf(\"%g\", $healthy * $rate)")) | |"
  figure "poll-period jitter p99, healthy modules" "${GWB_FIG[jitter_p99_ms]}" " ms" jitter
  figure "healthy polls missed" "${GWB_FIG[healthy_missed]}" "" missed
  figure "latency from a poll's ts to the subscriber, p50" "${GWB_FIG[latency_p50_ms]}" " ms" latency_p50
  figure "latency from a poll's ts to the subscriber, p99" "${GWB_FIG[latency_p99_ms]}" " ms" latency
  echo "| messages delivered to the subscriber | ${GWB_FIG[delivered]} | | |"
  echo
  printf 'jitter p50 %s ms, max %s ms over %s periods; latency max %s ms over %s messages; sequence gaps %s; polls received twice %s; floor exchanges failed %s;\n' \
    "${GWB_FIG[jitter_p50_ms]}" "${GWB_FIG[jitter_max_ms]}" "${GWB_FIG[jitter_samples]}" \
    "${GWB_FIG[latency_max_ms]}" "${GWB_FIG[latency_samples]}" \
    "${GWB_FIG[healthy_seq_gaps]}" "${GWB_FIG[duplicates]}" "${GWB_FIG[floor_failed]}"
  printf 'gateway: %s threads, the busiest %s %% of one core\n' \
    "${GWB_FIG[gateway_threads]}" "${GWB_FIG[gateway_busiest_thread_pct]}"
  printf 'gateway %s, modules online: %s healthy, %s others; load average (1 min) at the end: %s on %s cores\n' \
    "${GWB_FIG[gateway_status]}" "${GWB_FIG[healthy_online]}" "${GWB_FIG[unhealthy_online]}" \
    "${GWB_FIG[loadavg]}" "$(nproc)"
}

# print_store_row WITHOUT WITH: the figures files of the same run without
# and with the store, side by side; the store's CPU judged against the
# run's without it. Sets GWB_MISSED.
GWB_STORE_CPU_RATIO=1.3
print_store_row() {
  local -A a b
  local key ratio
  GWB_FIG=()
  read_figures "$1"
  for key in "${!GWB_FIG[@]}"; do a[$key]=${GWB_FIG[$key]}; done
  GWB_FIG=()
  read_figures "$2"
  for key in "${!GWB_FIG[@]}"; do b[$key]=${GWB_FIG[$key]}; done
  GWB_MISSED=""
  ratio=$(calc "sprintf(\"%.2f\", ${b[gateway_cpu_pct]} / ${a[gateway_cpu_pct]})")
  judge "gateway CPU with the store / without" "$ratio" "$GWB_STORE_CPU_RATIO"
  printf '256 modules at 100 ms, window %.1f s each, the store on %s\n\n' "${a[window_s]}" "${b[store_fs]:-?}"
  echo "| figure | without the store | with the store | |"
  echo "|---|---|---|---|"
  echo "| gateway CPU, % of one core | ${a[gateway_cpu_pct]} % | ${b[gateway_cpu_pct]} % | ${ratio}x, target <= ${GWB_STORE_CPU_RATIO}x: $GWB_VERDICT |"
  echo "| floor, % of one core | $(calc "sprintf(\"%.2f\", 100 * ${a[floor_cpu_s]} / ${a[window_s]})") % | $(calc "sprintf(\"%.2f\", 100 * ${b[floor_cpu_s]} / ${b[window_s]})") % | |"
  echo "| disk bytes written per second | $(kib_per_s "${a[gateway_write_bytes_per_s]}") | $(kib_per_s "${b[gateway_write_bytes_per_s]}") | |"
  echo "| peak RSS (VmHWM) | $(calc "sprintf(\"%.1f\", ${a[gateway_peak_rss_kib]} / 1024)") MiB | $(calc "sprintf(\"%.1f\", ${b[gateway_peak_rss_kib]} / 1024)") MiB | |"
  echo "| polls per second | ${a[polls_per_s]} | ${b[polls_per_s]} | |"
  echo "| jitter p99 | ${a[jitter_p99_ms]} ms | ${b[jitter_p99_ms]} ms | |"
  echo "| healthy polls missed | ${a[healthy_missed]} | ${b[healthy_missed]} | |"
  echo "| polls received twice | ${a[duplicates]} | ${b[duplicates]} | |"
  echo "| latency ts -> subscriber p50 / p99 | ${a[latency_p50_ms]} / ${a[latency_p99_ms]} ms | ${b[latency_p50_ms]} / ${b[latency_p99_ms]} ms | |"
  echo
  printf 'gateway threads %s / %s, the busiest %s %% / %s %% of one core; load average (1 min) at the end %s / %s on %s cores\n' \
    "${a[gateway_threads]}" "${b[gateway_threads]}" "${a[gateway_busiest_thread_pct]}" \
    "${b[gateway_busiest_thread_pct]}" "${a[loadavg]}" "${b[loadavg]}" "$(nproc)"
}

# print_publish_row FIGURES...: the figures files of the same row published
# in different ways, a line each.
print_publish_row() {
  local file
  GWB_FIG=()
  read_figures "$1"
  printf '256 modules at 100 ms (%s healthy), window %.1f s each\n\n' "${GWB_FIG[healthy_online]}" "${GWB_FIG[window_s]}"
  echo "| publish | values messages / s | all messages delivered / s | gateway CPU, % of one core | floor | load average |"
  echo "|---|---|---|---|---|---|"
  for file in "$@"; do
    GWB_FIG=()
    read_figures "$file"
    echo "| ${GWB_FIG[publish]} | ${GWB_FIG[polls_per_s]} | $(calc "sprintf(\"%.1f\", ${GWB_FIG[delivered]} / ${GWB_FIG[window_s]})") | ${GWB_FIG[gateway_cpu_pct]} % | $(calc "sprintf(\"%.2f\", 100 * ${GWB_FIG[floor_cpu_s]} / ${GWB_FIG[window_s]})") % | ${GWB_FIG[loadavg]} |"
  done
}

# print_replay_report HEALTHY DEAD SLOW INTERVAL_MS TIMEOUT_MS SLOW_DELAY_MS OUTAGE_S
# The backlog of an outage and how it went out: GWB_FIG's backlog_* (the
# store's gauges before the broker came back), replay_s and reconnected_s
# (seconds from its return), and the meter's figures over the replay.
print_replay_report() {
  local healthy=$1 dead=$2 slow=$3 interval=$4 timeout=$5 delay=$6 outage=$7 rate
  rate=$(calc "sprintf(\"%g\", 1000 / $interval)")
  printf '%d modules (%d healthy, %d without a listener, %d answering after %d ms), interval %d ms, timeout %d ms; the broker away %d s (SIGTERM, then the same configuration and port); the store on %s, replay_per_s %d\n\n' \
    $((healthy + dead + slow)) "$healthy" "$dead" "$slow" "$delay" "$interval" "$timeout" "$outage" \
    "${GWB_STORE_FS:-?}" "$GWB_REPLAY_PER_S"
  echo "| figure | measured |"
  echo "|---|---|"
  echo "| store before the outage (kiv_store_messages) | ${GWB_FIG[before_messages]} |"
  echo "| backlog at the broker's return | ${GWB_FIG[backlog_messages]} messages, $(calc "sprintf(\"%.1f\", ${GWB_FIG[backlog_bytes]} / 1048576)") MiB, the oldest ${GWB_FIG[backlog_oldest_age_seconds]} s old |"
  echo "| time to replay: the broker's return to kiv_store_messages < $((healthy + dead + slow)) | $(calc "sprintf(\"%.1f\", ${GWB_FIG[replay_s]})") s |"
  echo "| of which the gateway's wait to connect again (its backoff; kiv_broker_connected) | $(calc "sprintf(\"%.1f\", ${GWB_FIG[reconnected_s]})") s, the backlog then ${GWB_FIG[pending_messages]} |"
  echo "| replay rate achieved: that backlog / the time from the reconnection | $(calc "sprintf(\"%.0f\", ${GWB_FIG[pending_messages]} / (${GWB_FIG[replay_s]} - ${GWB_FIG[reconnected_s]}))") messages/s |"
  echo "| replayed messages the subscriber received | ${GWB_FIG[replayed]} |"
  echo "| polls received twice (the same module, run and seq), live or replayed | ${GWB_FIG[duplicates]} |"
  echo "| live values per second, from the reconnection | $(calc "sprintf(\"%.1f\", ${GWB_FIG[values]} / (${GWB_FIG[window_s]} - ${GWB_FIG[reconnected_s]}))") ($healthy healthy x $rate/s = $(calc "sprintf(\"%g\", $healthy * $rate)")) |"
  echo "| live latency from a poll's ts to the subscriber, p50 / p99 / max | ${GWB_FIG[latency_p50_ms]} / ${GWB_FIG[latency_p99_ms]} / ${GWB_FIG[latency_max_ms]} ms |"
  echo "| gateway CPU during the replay, % of one core | ${GWB_FIG[gateway_cpu_pct]} % |"
  echo "| disk bytes written per second during the replay | $(kib_per_s "${GWB_FIG[gateway_write_bytes_per_s]}") |"
  echo
  printf 'window %s s; gateway peak RSS %s MiB; load average (1 min) at the end: %s on %s cores\n' \
    "${GWB_FIG[window_s]}" "$(calc "sprintf(\"%.1f\", ${GWB_FIG[gateway_peak_rss_kib]} / 1024)")" \
    "${GWB_FIG[loadavg]}" "$(nproc)"
}
