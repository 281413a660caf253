# Shared by the Windows test scripts (sourced, not run).
# Needs $root (the checkout) set by the caller.

# Headless 64-bit Wine in the prefix $1, without the Mono and Gecko
# installers (nothing here needs .NET or a browser).
wine_setup() {
  export WINEPREFIX=$1
  export WINEARCH=win64
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
}

# Makes the prefix unless it exists; the log goes to $1.
wine_boot() {
  local log=$1
  [[ -f "$WINEPREFIX/system.reg" ]] && return 0
  echo "== criando o prefixo do Wine ($WINEPREFIX)"
  if ! timeout 300 wineboot -i > "$log" 2>&1; then
    cat "$log" >&2
    echo "wineboot falhou ou passou de 300 s" >&2
    return 1
  fi
  timeout 120 wineserver -w || true
}

# The Linux test portal, built by the Linux build in build/ (built here
# when missing, for a run of these scripts alone).
portal_binary() {
  local bin="$root/build/lumacor-test-portal"
  if [[ ! -x "$bin" ]]; then
    cmake -S "$root" -B "$root/build" > /dev/null
    cmake --build "$root/build" --target lumacor-test-portal -j 2 > /dev/null
  fi
  echo "$bin"
}

# Starts the portal on a free port of 127.0.0.1 with the extra arguments
# given; sets PORTAL_PID and PORTAL_URL. $1 is a folder for its files.
portal_start() {
  local dir=$1; shift
  local bin port_file="$dir/portal.port" i
  bin=$(portal_binary)
  rm -f "$port_file"
  "$bin" --port-file "$port_file" "$@" > "$dir/portal.out" 2>&1 &
  PORTAL_PID=$!
  for (( i = 0; i < 100; i++ )); do
    if [[ -s "$port_file" ]]; then
      PORTAL_URL="http://127.0.0.1:$(head -n 1 "$port_file")"
      return 0
    fi
    kill -0 "$PORTAL_PID" 2>/dev/null || break
    sleep 0.1
  done
  cat "$dir/portal.out" >&2
  echo "o portal de teste nao iniciou" >&2
  return 1
}

portal_stop() {
  if [[ -n "${PORTAL_PID:-}" ]]; then
    kill "$PORTAL_PID" 2>/dev/null || true
    wait "$PORTAL_PID" 2>/dev/null || true
    PORTAL_PID=""
  fi
}
