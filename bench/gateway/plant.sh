# shellcheck shell=bash
# The plant of gateway-bench and the gateway's view of it, laid out in DIR:
#   modules.txt   NAME MODEL ADDRESS MODBUS_PORT ROLE, every configured module
#   plant.txt     zrm-sim --plant: one line of options per served module
#   gateway.toml  kiv-gateway's configuration, every module
# Models take turns (7301, 7302, 7303), so a third each. Every tenth module
# is dead (configured, nothing listens at its address) and every twentieth,
# offset so as never to meet a dead one, is slow (answers after the
# gateway's timeout); both spread over the three models.
# Addresses: 127.0.10.1 to .254, then on in 127.0.11.x.

GWB_MODBUS_PORT=1502
GWB_CONFIG_PORT=6001

# lay_out_plant DIR MODULES INTERVAL_MS TIMEOUT_MS SLOW_DELAY_MS BROKER GATEWAY_ID
lay_out_plant() {
  local dir=$1 count=$2 interval=$3 timeout=$4 slow_delay=$5 broker=$6 id=$7
  local i name model address role models=(7301 7302 7303)
  {
    printf '[gateway]\nid = "%s"\n\n[mqtt]\nbroker = "%s"\n' "$id" "$broker"
  } >"$dir/gateway.toml"
  : >"$dir/modules.txt"
  : >"$dir/plant.txt"
  for ((i = 0; i < count; i++)); do
    printf -v name 'm%03d' $((i + 1))
    model=${models[i % 3]}
    if ((i < 254)); then address=127.0.10.$((i + 1)); else address=127.0.11.$((i - 253)); fi
    role=healthy
    ((i % 20 == 4)) && role=slow
    ((i % 10 == 9)) && role=dead
    echo "$name $model $address $GWB_MODBUS_PORT $role" >>"$dir/modules.txt"
    printf '\n[[module]]\nname = "%s"\nmodel = %s\naddress = "%s"\ninterval_ms = %s\ntimeout_ms = %s\nmodbus_port = %s\nconfig_port = %s\n' \
      "$name" "$model" "$address" "$interval" "$timeout" "$GWB_MODBUS_PORT" "$GWB_CONFIG_PORT" >>"$dir/gateway.toml"
    case $role in
      dead) ;;
      slow) echo "--model $model --address $address --modbus-port $GWB_MODBUS_PORT --config-port $GWB_CONFIG_PORT --delay-ms $slow_delay" >>"$dir/plant.txt" ;;
      *) echo "--model $model --address $address --modbus-port $GWB_MODBUS_PORT --config-port $GWB_CONFIG_PORT" >>"$dir/plant.txt" ;;
    esac
  done
}

# count_role DIR ROLE: how many modules of modules.txt have it.
count_role() {
  awk -v r="$2" '$5 == r { n++ } END { print n + 0 }' "$1/modules.txt"
}
