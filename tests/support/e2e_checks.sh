# What the end-to-end tests share on top of demo/session_lib.sh: stopping everything on the way
# out (keeping the run's folder and printing what the processes said when a check failed), and
# the checks themselves. Source it after session_lib.sh, with $work set to the run's folder.

finish() {
  local status=$?
  e2e_cleanup
  if ((status == 0)) && [[ -z "${KAVRO_E2E_KEEP:-}" ]]; then
    rm -rf "$work"
  else
    echo "---- what the processes said (kept in $work) ----"
    for f in "$work"/relay.log "$work"/*/client.err "$work"/*/client.out "$work"/recorder.log; do
      [[ -f "$f" ]] || continue
      echo "== ${f#"$work"/}"
      cat "$f"
    done
  fi
  exit "$status"
}
trap finish EXIT
trap 'exit 130' INT TERM HUP

fail() {
  echo "FAIL: $*"
  exit 1
}
check() {
  local what="$1"
  shift
  "$@" || fail "$what"
  echo "ok: $what"
}

# The recording has grown by BLOCKS 4,096-byte blocks since it had SIZE bytes.
grown_by() { e2e_size_at_least "$1" $(($2 + $3 * 4096)); }

# Freezes the path behind forwarder CONTROL while $recording grows by 32 blocks (about 2 s), then
# ends it with COMMAND (cut or reset). Needs $recording and $deadline.
freeze_then() {
  local control="$1" command="$2" size
  size="$(e2e_size "$recording")"
  check "the path freezes" e2e_forwarder "$control" freeze
  check "the recording grows while the path is frozen" \
    e2e_wait_until "32 more blocks" $deadline grown_by "$recording" "$size" 32
  check "the frozen path is ${command}" e2e_forwarder "$control" "$command"
}


# start_sampler VAR FILE: the replay sampler ($sampler) samples FILE every 50 ms until
# stop_sampler; sets VAR to its pid.
start_sampler() {
  "$sampler" --file "$2" --interval-ms 50 >"$2.samples" &
  E2E_PIDS+=("$!")
  printf -v "$1" '%s' "$!"
}
# stop_sampler PID FILE: true when FILE never lost bytes under the same header while sampled.
stop_sampler() {
  kill -TERM "$1"
  e2e_wait_exit "$1" 30
  local status=$?
  cat "$2.samples"
  return $status
}
