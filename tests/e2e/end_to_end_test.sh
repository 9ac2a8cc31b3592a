#!/usr/bin/env bash
# The end-to-end test: the real relay, real client windows clicked through by a scripted user,
# each in its own simulated simulator installation, and a recorder standing in for the simulator.
#
#   end_to_end_test.sh --relay PROGRAM --client PROGRAM --recorder PROGRAM --scratch DIR
#                      --case (two-watchers | relay-killed)
#
# two-watchers: a 1 MiB+ recording written in 4,096-byte flushes of uneven writes, one watcher
#   who joins before the header exists and one who joins after 256 KiB; both replay files must
#   equal the recording byte for byte.
# relay-killed: the relay dies mid-cast; the caster and a watcher must say "Disconnected.", keep
#   running, and still stop cleanly when asked.
#
# Every process it starts is stopped on every way out. The scratch folder is removed when the
# case passes (unless KAVRO_E2E_KEEP is set) and kept, and named, when it fails.
set -uo pipefail

relay="" client="" recorder="" scratch="" case_name=""
while (($#)); do
  case "$1" in
    --relay) relay="$2" ;;
    --client) client="$2" ;;
    --recorder) recorder="$2" ;;
    --scratch) scratch="$2" ;;
    --case) case_name="$2" ;;
    *)
      echo "unknown argument $1" >&2
      exit 2
      ;;
  esac
  shift 2
done
for program in "$relay" "$client" "$recorder"; do
  [[ -x "$program" ]] || {
    echo "not a program: '$program'" >&2
    exit 2
  }
done

# shellcheck source=demo/session_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../demo/session_lib.sh"

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
mkdir -p "$scratch"
work="$(cd "$(mktemp -d "$scratch/run-$case_name.XXXXXX")" && pwd)"
cast="E2E cast"
header_bytes=16384
block_bytes=4096
# Generous for a busy machine; nothing waits this long when things go right.
deadline=90
client_options=(--timeout 280)

# shellcheck source=tests/support/e2e_checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e_checks.sh"

start_recorder() {  # start_recorder VAR INSTALL BLOCKS RATE SEED
  "$recorder" --output "$2/data/mpr/temp_mpr.mpr" --blocks "$3" --rate "$4" --seed "$5" \
    2>>"$work/recorder.log" &
  E2E_PIDS+=("$!")
  printf -v "$1" '%s' "$!"
}

same_bytes() { cmp -- "$1" "$2"; }
# The first bytes of FILE, as many as it has, equal the start of RECORDING.
is_start_of() { cmp -n "$(e2e_size "$1")" -- "$1" "$2"; }
said_once() { (($(grep -cxF -- "$2" "$1/client.out") == 1)); }
said() { grep -qxF -- "$2" "$1/client.out"; }

two_watchers() {
  local blocks=256 caster="$work/caster" early="$work/early" late="$work/late"
  local recording="$work/caster/data/mpr/temp_mpr.mpr"
  local total=$((header_bytes + blocks * block_bytes))
  local caster_pid early_pid late_pid recorder_pid
  e2e_make_install "$caster"
  e2e_make_install "$early"
  e2e_make_install "$late"

  check "the relay starts" e2e_start_relay "$relay" "$work"
  e2e_start_client caster_pid "$client" "$caster" cast "$cast" "${client_options[@]}"
  check "the caster is registered" \
    e2e_wait_until "the caster's registration" $deadline e2e_client_said "$caster" "event: registered"

  e2e_start_client early_pid "$client" "$early" watch "$cast" "${client_options[@]}"
  check "the early watcher joins before any recording exists" \
    e2e_wait_until "the early watcher to join" $deadline e2e_joined_at_least "$work" "$cast" 1
  [[ ! -e "$recording" ]] || fail "the recording began before the early watcher joined"

  start_recorder recorder_pid "$caster" $blocks 25 61
  check "the recording passes 256 KiB" e2e_wait_until "256 KiB of recording" $deadline \
    e2e_size_at_least "$recording" $((header_bytes + 256 * 1024))
  e2e_start_client late_pid "$client" "$late" watch "$cast" "${client_options[@]}"
  check "the late watcher joins" \
    e2e_wait_until "the late watcher to join" $deadline e2e_joined_at_least "$work" "$cast" 2
  echo "the late watcher joined with $(e2e_size "$recording") bytes recorded"

  e2e_wait_exit "$recorder_pid" $((deadline + 60))
  local recorder_status=$?
  check "the recorder wrote the whole recording" test "$recorder_status" -eq 0
  check "the recording is $total bytes" e2e_size_is "$recording" $total
  check "the early watcher's replay reaches the recording's size" e2e_wait_until \
    "the early watcher's replay" $deadline e2e_size_is "$early/data/mpr/kavro.mpr" $total
  check "the late watcher's replay reaches the recording's size" e2e_wait_until \
    "the late watcher's replay" $deadline e2e_size_is "$late/data/mpr/kavro.mpr" $total

  e2e_stop_client "$caster_pid" "$caster" $deadline
  check "the caster stops on its stop file with status 0" test $? -eq 0
  e2e_stop_client "$early_pid" "$early" $deadline
  check "the early watcher stops on its stop file with status 0" test $? -eq 0
  e2e_stop_client "$late_pid" "$late" $deadline
  check "the late watcher stops on its stop file with status 0" test $? -eq 0

  local who

  check "the early watcher's replay equals the recording byte for byte" \
    same_bytes "$recording" "$early/data/mpr/kavro.mpr"
  check "the late watcher's replay equals the recording byte for byte" \
    same_bytes "$recording" "$late/data/mpr/kavro.mpr"
  for who in early late; do
    check "the $who watcher logged one replay header" \
      said_once "$work/$who" "Received a replay header."
    check "the $who watcher logged the replay ready once" \
      said_once "$work/$who" "Replay ready to watch."
  done

  check "the relay's archive download equals the recording byte for byte" e2e_wait_until \
    "the relay's stored recording" $deadline e2e_download_equals "$work" replays/1.mpr "$recording"

  kill -TERM "$E2E_RELAY_PID"
  e2e_wait_exit "$E2E_RELAY_PID" $deadline
  check "the relay stops cleanly on SIGTERM" test $? -eq 0
  echo "both watchers have the recording: $header_bytes header bytes and $blocks blocks"
}

relay_killed() {
  local caster="$work/caster" watcher="$work/watcher"
  local recording="$work/caster/data/mpr/temp_mpr.mpr" replay="$work/watcher/data/mpr/kavro.mpr"
  local caster_pid watcher_pid recorder_pid
  e2e_make_install "$caster"
  e2e_make_install "$watcher"

  check "the relay starts" e2e_start_relay "$relay" "$work"
  e2e_start_client caster_pid "$client" "$caster" cast "$cast" "${client_options[@]}"
  check "the caster is registered" \
    e2e_wait_until "the caster's registration" $deadline e2e_client_said "$caster" "event: registered"
  e2e_start_client watcher_pid "$client" "$watcher" watch "$cast" "${client_options[@]}"
  check "the watcher joins" \
    e2e_wait_until "the watcher to join" $deadline e2e_joined_at_least "$work" "$cast" 1

  # Long enough to be still recording when the relay goes.
  start_recorder recorder_pid "$caster" 2000 20 62
  check "the watcher receives the cast" e2e_wait_until "blocks at the watcher" $deadline \
    e2e_size_at_least "$replay" $((header_bytes + 8 * block_bytes))
  e2e_running "$recorder_pid" || fail "the recording ended before the relay was killed"

  kill -KILL "$E2E_RELAY_PID"
  e2e_wait_exit "$E2E_RELAY_PID" $deadline
  echo "killed the relay with $(e2e_size "$recording") bytes recorded, $(e2e_size "$replay") at the watcher"

  check "the caster says Disconnected." e2e_wait_until "the caster's Disconnected." $deadline \
    e2e_client_said "$caster" "log: Disconnected."
  check "the watcher says Disconnected." e2e_wait_until "the watcher's Disconnected." $deadline \
    e2e_client_said "$watcher" "log: Disconnected."
  check "the caster goes on running after the relay is gone" e2e_stays_running "$caster_pid" 2
  check "the watcher goes on running after the relay is gone" e2e_running "$watcher_pid"
  check "the watcher keeps a replay file that is the start of the recording" \
    is_start_of "$replay" "$recording"

  e2e_stop_client "$caster_pid" "$caster" $deadline
  check "the caster stops on its stop file with status 0" test $? -eq 0
  e2e_stop_client "$watcher_pid" "$watcher" $deadline
  check "the watcher stops on its stop file with status 0" test $? -eq 0
  check "the caster's final log has Disconnected." said "$caster" "Disconnected."
  check "the watcher's final log has Disconnected." said "$watcher" "Disconnected."
}

case "$case_name" in
  two-watchers) two_watchers ;;
  relay-killed) relay_killed ;;
  *) fail "unknown case '$case_name'" ;;
esac
echo "PASS: $case_name"
