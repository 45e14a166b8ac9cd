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
  echo "| figure | measured | target | |"
  echo "|---|---|---|---|"
  figure "gateway CPU, % of one core" "${GWB_FIG[gateway_cpu_pct]}" " %" cpu
  echo "| floor: the same ${GWB_FIG[floor_exchanges]} exchanges raw, % of one core | $FLOOR_PCT % | | |"
  figure "gateway peak RSS (VmHWM)" "$rss_mib" " MiB" rss
  echo "| polls per second | ${GWB_FIG[polls_per_s]} | ($healthy healthy x $rate/s = $(calc "sprintf(\"%g\", $healthy * $rate)")) | |"
  figure "poll-period jitter p99, healthy modules" "${GWB_FIG[jitter_p99_ms]}" " ms" jitter
  figure "healthy polls missed" "${GWB_FIG[healthy_missed]}" "" missed
  figure "latency from a poll's ts to the subscriber, p50" "${GWB_FIG[latency_p50_ms]}" " ms" latency_p50
  figure "latency from a poll's ts to the subscriber, p99" "${GWB_FIG[latency_p99_ms]}" " ms" latency
  echo "| messages delivered to the subscriber | ${GWB_FIG[delivered]} | | |"
  echo
  printf 'jitter p50 %s ms, max %s ms over %s periods; latency max %s ms over %s messages; sequence gaps %s; floor exchanges failed %s;\n' \
    "${GWB_FIG[jitter_p50_ms]}" "${GWB_FIG[jitter_max_ms]}" "${GWB_FIG[jitter_samples]}" \
    "${GWB_FIG[latency_max_ms]}" "${GWB_FIG[latency_samples]}" \
    "${GWB_FIG[healthy_seq_gaps]}" "${GWB_FIG[floor_failed]}"
  printf 'gateway: %s threads, the busiest %s %% of one core\n' \
    "${GWB_FIG[gateway_threads]}" "${GWB_FIG[gateway_busiest_thread_pct]}"
  printf 'gateway %s, modules online: %s healthy, %s others; load average (1 min) at the end: %s on %s cores\n' \
    "${GWB_FIG[gateway_status]}" "${GWB_FIG[healthy_online]}" "${GWB_FIG[unhealthy_online]}" \
    "${GWB_FIG[loadavg]}" "$(nproc)"
}
