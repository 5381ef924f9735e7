# Sourced by scripts/test and scripts/run: a private X server and a private
# PulseAudio server, each started and stopped by its own pid, never by name.

# start_xvfb: picks a free display number, starts Xvfb on it and exports
# DISPLAY. Sets XVFB_PID.
start_xvfb() {
  local n=90
  while [ -e "/tmp/.X${n}-lock" ] || [ -e "/tmp/.X11-unix/X${n}" ]; do n=$((n + 1)); done
  Xvfb ":${n}" -screen 0 1280x1024x24 -nolisten tcp -noreset >"${TONVARA_SERVER_DIR}/xvfb.log" 2>&1 &
  XVFB_PID=$!
  local i
  for i in $(seq 1 100); do
    [ -e "/tmp/.X11-unix/X${n}" ] && break
    kill -0 "$XVFB_PID" 2>/dev/null || { echo "Xvfb failed to start:" >&2; cat "${TONVARA_SERVER_DIR}/xvfb.log" >&2; return 1; }
    sleep 0.1
  done
  export DISPLAY=":${n}"
}

stop_xvfb() {
  if [ -n "${XVFB_PID:-}" ]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=
  fi
}

# start_pulse: a PulseAudio server of our own in $TONVARA_SERVER_DIR/pulse:
# a null sink whose monitor is the default source, fed by a silent source
# through a loopback so that the first capture does not wait for an idle
# sink's long render blocks. Exports the client environment.
start_pulse() {
  local dir="${TONVARA_SERVER_DIR}/pulse"
  mkdir -p "$dir/runtime" "$dir/home" "$dir/state"
  chmod 700 "$dir/runtime"
  cat >"$dir/headless.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/runtime/native
load-module module-null-sink sink_name=tonvara_sink rate=48000 channels=2 sink_properties=device.description=TonvaraTestSink
load-module module-null-source source_name=tonvara_silence rate=48000 channels=2
load-module module-loopback source=tonvara_silence sink=tonvara_sink latency_msec=30
set-default-sink tonvara_sink
set-default-source tonvara_sink.monitor
suspend-sink tonvara_sink 1
suspend-sink tonvara_sink 0
PA
  export XDG_RUNTIME_DIR="$dir/runtime"
  export PULSE_SERVER="unix:$dir/runtime/native"
  export PULSE_COOKIE="$dir/cookie"
  export PULSE_STATE_PATH="$dir/state"
  export PULSE_RUNTIME_PATH="$dir/runtime"
  HOME="$dir/home" pulseaudio -n -F "$dir/headless.pa" --exit-idle-time=-1 --daemonize=yes \
    --use-pid-file=yes --log-target="file:$dir/pa.log" >/dev/null 2>&1 || true
  local i
  for i in $(seq 1 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  if ! pactl info >/dev/null 2>&1; then
    echo "PulseAudio failed to start:" >&2
    cat "$dir/pa.log" >&2 2>/dev/null
    return 1
  fi
  PULSE_PID=$(cat "$dir/runtime/pid" 2>/dev/null || cat "$dir/runtime/pulse/pid" 2>/dev/null || true)
}

stop_pulse() {
  if [ -n "${PULSE_PID:-}" ]; then
    kill "$PULSE_PID" 2>/dev/null || true
    local i
    for i in $(seq 1 50); do kill -0 "$PULSE_PID" 2>/dev/null || break; sleep 0.1; done
    PULSE_PID=
  fi
}
