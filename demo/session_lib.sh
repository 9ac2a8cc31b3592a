# shellcheck shell=bash
# Helpers shared by scripts/demo and the end-to-end test (bash, sourced): simulated simulator
# installations, the relay, scripted clients and the recorder as child processes, waits with
# deadlines, and a clean-up that stops every process started here.
#
# Every process started through these helpers is recorded in E2E_PIDS; e2e_cleanup (run it from
# an EXIT trap) stops those still running, by their process ids only.

E2E_PIDS=()
E2E_RELAY_PID=""
E2E_RELAY_PORT=""

# True while process PID runs (not yet exited; an exited child waiting to be reaped counts as
# gone).
e2e_running() {
  local stat
  stat="$(cat "/proc/$1/stat" 2>/dev/null)" || return 1
  stat="${stat##*) }"
  case "${stat%% *}" in
    Z | X | x) return 1 ;;
  esac
  return 0
}

# e2e_wait_until DESCRIPTION SECONDS COMMAND [ARGS...]: polls COMMAND every tenth of a second
# until it succeeds; says what it waited for and fails when SECONDS pass first.
e2e_wait_until() {
  local what="$1" seconds="$2"
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    if ((SECONDS >= deadline)); then
      echo "timed out after ${seconds} s waiting for ${what}" >&2
      return 1
    fi
    sleep 0.1
  done
}

e2e_not_running() { ! e2e_running "$1"; }

# e2e_wait_exit PID SECONDS: waits for PID to end and returns its exit status (124 when it is
# still running at the deadline).
e2e_wait_exit() {
  e2e_wait_until "process $1 to exit" "$2" e2e_not_running "$1" || return 124
  wait "$1" 2>/dev/null  # quiet: no job notice for a killed process
}

# The size of FILE in bytes, 0 when it does not exist.
e2e_size() {
  if [[ -f "$1" ]]; then stat -c %s "$1"; else echo 0; fi
}

# e2e_stays_running PID SECONDS: watches PID for SECONDS and fails as soon as it is gone.
e2e_stays_running() {
  local deadline=$((SECONDS + $2))
  while ((SECONDS < deadline)); do
    e2e_running "$1" || return 1
    sleep 0.1
  done
  e2e_running "$1"
}

e2e_size_at_least() { (($(e2e_size "$1") >= $2)); }
e2e_size_is() { (($(e2e_size "$1") == $2)); }

# A number with thousands separators: 1048576 -> 1,048,576.
e2e_grouped() {
  local n="$1" out=""
  while ((${#n} > 3)); do
    out=",${n: -3}${out}"
    n="${n:0:${#n}-3}"
  done
  echo "${n}${out}"
}

# e2e_make_install DIR: a simulator installation as the client expects to sit in: DIR/LFS.exe
# (a placeholder), DIR/data/mpr/ for replays, and the client's folder DIR/kavro/.
e2e_make_install() {
  mkdir -p "$1/data/mpr" "$1/kavro"
  echo "placeholder for the simulator's program" >"$1/LFS.exe"
}

e2e_relay_port_known() {
  local line
  [[ -s "$1" ]] || return 1
  IFS= read -r line <"$1" || true
  [[ "$line" =~ ^listening\ on\ 127\.0\.0\.1:([0-9]+)$ ]] || return 1
  E2E_RELAY_PORT="${BASH_REMATCH[1]}"
}

# e2e_start_relay RELAY_PROGRAM DIR [OPTIONS...]: starts the relay on a loopback port the system
# picks (or on E2E_RELAY_LISTEN, HOST:PORT, when set: a relay started again on its old port), its
# HTTP side on another; its first lines ("listening on", "http on") go to DIR/relay.out, its log
# is added to DIR/relay.log. Sets E2E_RELAY_PID and E2E_RELAY_PORT.
e2e_start_relay() {
  local program="$1" dir="$2"
  shift 2
  rm -f "$dir/relay.out"
  "$program" --listen "${E2E_RELAY_LISTEN:-127.0.0.1:0}" --http 127.0.0.1:0 \
    --data-dir "$dir/relay-data" "$@" >"$dir/relay.out" 2>>"$dir/relay.log" &
  E2E_RELAY_PID=$!
  E2E_PIDS+=("$E2E_RELAY_PID")
  e2e_wait_until "the relay to say its port" 30 e2e_relay_port_known "$dir/relay.out"
}

# e2e_relay_http DIR: the relay's HTTP address, from DIR/relay.out.
e2e_relay_http() { sed -n 's/^http on //p' "$1/relay.out"; }

# e2e_download_equals DIR URL FILE: the relay's download at URL (relative to its root) equals
# FILE byte for byte.
e2e_download_equals() {
  curl -sf -o "$1/download.mpr" "http://$(e2e_relay_http "$1")/$2" && cmp -s -- "$1/download.mpr" "$3"
}

# e2e_start_client VAR CLIENT_PROGRAM INSTALL_DIR (cast|watch) NAME [OPTIONS...]: starts the
# scripted client in INSTALL_DIR/kavro with KAVRO_RELAY pointing at the relay (or at port
# E2E_VIA_PORT on 127.0.0.1 when set: a forwarder in front of the relay); its final log
# goes to INSTALL_DIR/client.out, its running account to INSTALL_DIR/client.err. Stores the
# process id in VAR.
e2e_start_client() {
  local var="$1" program="$2" install="$3" role="$4" name="$5"
  shift 5
  # The client runs in its own folder: every path it is given must not depend on ours.
  [[ "$program" == /* ]] || program="$PWD/$program"
  [[ "$install" == /* ]] || install="$PWD/$install"
  rm -f "$install/kavro/stop"
  (
    cd "$install/kavro" &&
      KAVRO_RELAY="127.0.0.1:${E2E_VIA_PORT:-$E2E_RELAY_PORT}" exec "$program" "--$role" "$name" "$@" \
        >"$install/client.out" 2>"$install/client.err"
  ) &
  E2E_PIDS+=("$!")
  printf -v "$var" '%s' "$!"
}

# True when the client's running account has the line LINE ("log: ..." or "event: ...").
e2e_client_said() { [[ -f "$1/client.err" ]] && grep -qxF -- "$2" "$1/client.err"; }

# e2e_stop_client PID INSTALL_DIR SECONDS: asks the client to stop through its stop file and
# returns its exit status.
e2e_stop_client() {
  : >"$2/kavro/stop"
  e2e_wait_exit "$1" "$3"
}

# The number of relay log lines saying that a watcher joined cast NAME.
e2e_joined_count() { grep -c -- " joined $2 (" "$1/relay.log" || true; }
e2e_joined_at_least() { (($(e2e_joined_count "$1" "$2") >= $3)); }

# e2e_start_forwarder VAR FORWARDER_PROGRAM DIR NAME: starts the fault forwarder in front of the
# relay's port; its lines go to DIR/NAME.out and DIR/NAME.log. Sets VAR_port (where clients
# connect) and VAR_control (its control port).
e2e_start_forwarder() {
  local var="$1" program="$2" dir="$3" name="$4"
  "$program" --target "127.0.0.1:$E2E_RELAY_PORT" >"$dir/$name.out" 2>"$dir/$name.log" &
  E2E_PIDS+=("$!")
  e2e_wait_until "the forwarder $name to say its ports" 30 e2e_forwarder_ready "$dir/$name.out" \
    "$var"
}
e2e_forwarder_ready() {
  local port control
  port="$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$1" 2>/dev/null)"
  control="$(sed -n 's/^control on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$1" 2>/dev/null)"
  [[ -n "$port" && -n "$control" ]] || return 1
  printf -v "${2}_port" '%s' "$port"
  printf -v "${2}_control" '%s' "$control"
}

# e2e_forwarder CONTROL_PORT COMMAND: tells a forwarder to freeze, thaw, cut or reset its
# connections (or count them); prints its answer and fails unless it starts with "ok".
e2e_forwarder() {
  local reply fd
  exec {fd}<>"/dev/tcp/127.0.0.1/$1" || return 1
  printf '%s\n' "$2" >&"$fd"
  IFS= read -r -t 30 reply <&"$fd" || reply="no answer"
  exec {fd}>&-
  echo "forwarder: $2: $reply"
  [[ "$reply" == ok* ]]
}

# e2e_restart_relay RELAY_PROGRAM DIR [OPTIONS...]: kills the relay outright (SIGKILL) and starts
# it again on the same port.
e2e_restart_relay() {
  local program="$1" dir="$2"
  shift 2
  kill -KILL "$E2E_RELAY_PID"
  e2e_wait_exit "$E2E_RELAY_PID" 30
  E2E_RELAY_LISTEN="127.0.0.1:$E2E_RELAY_PORT" e2e_start_relay "$program" "$dir" "$@"
}

# e2e_shut_file FILE / e2e_open_file FILE: makes FILE take no writes from any program, root's
# included (permissions would not stop root), and gives it back as it was. The file is made
# immutable where the file system allows it; elsewhere a folder takes its place meanwhile (then
# a writer may find no file at all in the moment it is given back).
e2e_shut_file() {
  chattr +i -- "$1" 2>/dev/null && return 0
  mv -- "$1" "$1.away" && mkdir -- "$1"
}
e2e_open_file() {
  if [[ -d "$1" ]]; then
    rmdir -- "$1" && mv -- "$1.away" "$1"
  else
    chattr -i -- "$1"
  fi
}

# Stops every process started here that still runs: politely first, then for good.
e2e_cleanup() {
  local pid remaining=()
  for pid in "${E2E_PIDS[@]}"; do
    if e2e_running "$pid"; then
      if kill -TERM "$pid" 2>/dev/null; then remaining+=("$pid"); fi
    fi
  done
  for pid in "${remaining[@]}"; do
    if ! e2e_wait_until "process $pid to stop" 10 e2e_not_running "$pid" 2>/dev/null; then
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done
  for pid in "${E2E_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  E2E_PIDS=()
}
