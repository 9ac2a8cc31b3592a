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
