# shellcheck shell=bash
# The table of gateway-bench: the figures of gateway-meter (key=value lines,
# read into the associative array GWB_FIG) beside the targets. Sets
# GWB_MISSED to the targets that were missed, one line each.

GWB_TARGET_CPU_PCT=25
GWB_TARGET_RSS_MIB=64
GWB_TARGET_JITTER_MS=10
GWB_TARGET_MISSED=0

declare -A GWB_FIG=()

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

# print_report HEALTHY DEAD SLOW INTERVAL_MS TIMEOUT_MS SLOW_DELAY_MS
print_report() {
  local healthy=$1 dead=$2 slow=$3 interval=$4 timeout=$5 delay=$6
  local window=${GWB_FIG[window_s]} cpu rss_mib floor_pct v_cpu v_rss v_jit v_miss
  cpu=${GWB_FIG[gateway_cpu_pct]}
  rss_mib=$(calc "sprintf(\"%.1f\", ${GWB_FIG[gateway_peak_rss_kib]} / 1024)")
  floor_pct=$(calc "sprintf(\"%.2f\", 100 * ${GWB_FIG[floor_cpu_s]} / $window)")
  GWB_MISSED=""
  judge "gateway CPU (% of one core)" "$cpu" $GWB_TARGET_CPU_PCT
  v_cpu=$GWB_VERDICT
  judge "gateway peak RSS (MiB)" "$rss_mib" $GWB_TARGET_RSS_MIB
  v_rss=$GWB_VERDICT
  judge "jitter p99 (ms)" "${GWB_FIG[jitter_p99_ms]}" $GWB_TARGET_JITTER_MS
  v_jit=$GWB_VERDICT
  judge "healthy polls missed" "${GWB_FIG[healthy_missed]}" $GWB_TARGET_MISSED
  v_miss=$GWB_VERDICT

  printf '%d modules (%d healthy, %d without a listener, %d answering after %d ms), interval %d ms, timeout %d ms; window %.1f s\n\n' \
    $((healthy + dead + slow)) "$healthy" "$dead" "$slow" "$delay" "$interval" "$timeout" "$window"
  echo "| figure | measured | target | |"
  echo "|---|---|---|---|"
  echo "| gateway CPU, % of one core | $cpu % | <= $GWB_TARGET_CPU_PCT % | $v_cpu |"
  echo "| floor: the same ${GWB_FIG[floor_exchanges]} exchanges raw, % of one core | $floor_pct % | | |"
  echo "| gateway peak RSS (VmHWM) | $rss_mib MiB | <= $GWB_TARGET_RSS_MIB MiB | $v_rss |"
  echo "| polls per second | ${GWB_FIG[polls_per_s]} | ($healthy healthy x $((1000 / interval))/s = $((healthy * 1000 / interval))) | |"
  echo "| poll-period jitter p99, healthy modules | ${GWB_FIG[jitter_p99_ms]} ms | <= $GWB_TARGET_JITTER_MS ms | $v_jit |"
  echo "| healthy polls missed | ${GWB_FIG[healthy_missed]} | $GWB_TARGET_MISSED | $v_miss |"
  echo "| messages delivered to the subscriber | ${GWB_FIG[delivered]} | | |"
  echo
  printf 'jitter p50 %s ms, max %s ms over %s periods; sequence gaps %s; floor exchanges failed %s;\n' \
    "${GWB_FIG[jitter_p50_ms]}" "${GWB_FIG[jitter_max_ms]}" "${GWB_FIG[jitter_samples]}" \
    "${GWB_FIG[healthy_seq_gaps]}" "${GWB_FIG[floor_failed]}"
  printf 'gateway: %s threads, the busiest %s %% of one core\n' \
    "${GWB_FIG[gateway_threads]}" "${GWB_FIG[gateway_busiest_thread_pct]}"
  printf 'gateway %s, modules online: %s healthy, %s others; load average (1 min) at the end: %s on %s cores\n' \
    "${GWB_FIG[gateway_status]}" "${GWB_FIG[healthy_online]}" "${GWB_FIG[unhealthy_online]}" \
    "${GWB_FIG[loadavg]}" "$(nproc)"
}
