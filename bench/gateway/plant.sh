# shellcheck shell=bash
# The plant of gateway-bench and the gateway's view of it, laid out in DIR:
#   modules.txt   NAME MODEL ADDRESS MODBUS_PORT ROLE, every configured module
#   plant-K.txt   zrm-sim --plant of the K-th plant process (K from 1): one
#                 line of options per served module
#   gateway.toml  kiv-gateway's configuration, every module
# Models take turns (7301, 7302, 7303), so a third each. Every tenth module
# is dead (configured, nothing listens at its address) and every twentieth,
# offset so as never to meet a dead one, is slow (answers after the
# gateway's timeout); both spread over the three models.
# Addresses: 127.0.10.1 to .254, then on in 127.0.11.x, 127.0.12.x and so
# on, 254 a block: 2048 modules end in 127.0.18.16.
# Each plant process serves the modules of GWB_PLANT_PART consecutive
# configured ones (consecutive addresses): libmodbus waits with select(),
# so a process keeps its Modbus connections below descriptor 1024.

GWB_MODBUS_PORT=1502
GWB_CONFIG_PORT=6001
GWB_PLANT_PART=512
GWB_MAX_MODULES=2048

# plant_parts DIR: how many plant processes lay_out_plant laid out.
plant_parts() {
  local n=0
  while [ -e "$1/plant-$((n + 1)).txt" ]; do n=$((n + 1)); done
  echo "$n"
}

# Values that never move, per model: every AI, TC, input and sensor
# register fixed (the simulator's own move continuously).
declare -A GWB_FIXED=(
  [7301]="$(for c in 1 2 3 4 5 6 7 8; do printf -- '--ai %d=5.0 ' "$c"; done)"
  [7302]="--di 0 $(for r in $(seq 0 23); do printf -- '--sensor %d=%d ' "$r" $((1000 + 100 * r)); done)"
  [7303]="--tc 1=25.0 --tc 2=25.0 --tc 3=25.0 --di 0"
)

# lay_out_plant DIR MODULES INTERVAL_MS TIMEOUT_MS SLOW_DELAY_MS BROKER GATEWAY_ID [MODULE_KEYS [FIXED]]
# MODULE_KEYS: lines added to every [[module]] (publish = "change" ...);
# FIXED 1: the plant's values fixed (GWB_FIXED).
lay_out_plant() {
  local dir=$1 count=$2 interval=$3 timeout=$4 slow_delay=$5 broker=$6 id=$7 keys=${8:-} fixed=${9:-0}
  local i name model address plant role models=(7301 7302 7303) values
  {
    printf '[gateway]\nid = "%s"\n\n[mqtt]\nbroker = "%s"\n' "$id" "$broker"
  } >"$dir/gateway.toml"
  : >"$dir/modules.txt"
  for ((i = 0; i < count; i++)); do
    printf -v name 'm%03d' $((i + 1))
    model=${models[i % 3]}
    address=127.0.$((10 + i / 254)).$((i % 254 + 1))
    plant=$dir/plant-$((i / GWB_PLANT_PART + 1)).txt
    ((i % GWB_PLANT_PART == 0)) && : >"$plant"
    role=healthy
    ((i % 20 == 4)) && role=slow
    ((i % 10 == 9)) && role=dead
    echo "$name $model $address $GWB_MODBUS_PORT $role" >>"$dir/modules.txt"
    printf '\n[[module]]\nname = "%s"\nmodel = %s\naddress = "%s"\ninterval_ms = %s\ntimeout_ms = %s\nmodbus_port = %s\nconfig_port = %s\n' \
      "$name" "$model" "$address" "$interval" "$timeout" "$GWB_MODBUS_PORT" "$GWB_CONFIG_PORT" >>"$dir/gateway.toml"
    [ -n "$keys" ] && printf '%s\n' "$keys" >>"$dir/gateway.toml"
    values=""
    ((fixed)) && values=" ${GWB_FIXED[$model]% }"
    case $role in
      dead) ;;
      slow) echo "--model $model --address $address --modbus-port $GWB_MODBUS_PORT --config-port $GWB_CONFIG_PORT --delay-ms $slow_delay$values" >>"$plant" ;;
      *) echo "--model $model --address $address --modbus-port $GWB_MODBUS_PORT --config-port $GWB_CONFIG_PORT$values" >>"$plant" ;;
    esac
  done
}

# count_role DIR ROLE: how many modules of modules.txt have it.
count_role() {
  awk -v r="$2" '$5 == r { n++ } END { print n + 0 }' "$1/modules.txt"
}
