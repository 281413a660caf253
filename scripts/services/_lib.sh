# Shared by the service scripts (sourced, not run: it is not executable, so
# scripts/test passes it by).

# Prints a TCP port on 127.0.0.1 that nothing listens on right now.
free_port() {
  local port tries=0
  while (( tries++ < 200 )); do
    port=$(( 20000 + (RANDOM * 32768 + RANDOM) % 40000 ))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  echo "nenhuma porta livre encontrada" >&2
  return 1
}

# Waits until 127.0.0.1:$1 accepts connections, at most $2 seconds.
wait_port() {
  local port=$1 limit=$(( $2 * 10 )) i=0
  while (( i++ < limit )); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

# Runs a command as the given system user when we are root (servers that
# refuse root), as ourselves otherwise.
as_user() {
  local user=$1; shift
  if [[ $(id -u) -eq 0 ]]; then
    runuser -u "$user" -- "$@"
  else
    "$@"
  fi
}

# True when the process whose id is in file $1 is alive.
pid_alive() {
  [[ -s "$1" ]] && kill -0 "$(head -n1 "$1")" 2>/dev/null
}

# A password that needs no quoting.
new_password() {
  head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n'
}
