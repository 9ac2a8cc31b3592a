#!/usr/bin/env bash
# The end-to-end test: the real relay, real client windows clicked through by a scripted user,
# each in its own simulated simulator installation, and a recorder standing in for the simulator.
#
#   end_to_end_test.sh --relay PROGRAM --client PROGRAM --recorder PROGRAM --scratch DIR
#                      --sampler PROGRAM [--forwarder PROGRAM] --case CASE
#
# Every watcher's replay file is sampled every 50 ms for the whole case (--sampler): a case fails
# when the file ever shrinks while its header stays the same, whatever it holds at the end.
#
# two-watchers: a 1 MiB+ recording written in 4,096-byte flushes of uneven writes, one watcher
#   who joins before the header exists and one who joins after 256 KiB; both replay files must
#   equal the recording byte for byte.
# relay-killed: the relay dies for good mid-cast; the caster and a watcher say they lost it, keep
#   running, keep trying, and still stop cleanly when asked.
# The cases below put the fault forwarder (--forwarder) between a client and the relay, and
# nobody clicks anything after the first Cast or Watch; the watcher's replay must equal the
# recording byte for byte at the end:
# caster-faults: the caster's path freezes and is cut, the relay is killed (SIGKILL) and started
#   again on the same port, then the caster's path freezes and is reset.
# dead-paths: both paths freeze and stay frozen; each client must notice by itself within 60 s.
# watcher-faults: the watcher's replay file takes no writes for a while, then its path is reset.
# delayed-tail: a broadcast delay longer than the resume grace, and a caster who leaves while the
#   last blocks are still held back: they reach the watcher all the same.
# cast-ends: the caster presses Stop and the relay ends the cast after its grace period; the
#   watcher keeps the whole race, looks for the cast for two minutes, says it ended and goes back
#   to idle, and its replay still equals the recording.
#
# Every process it starts is stopped on every way out. The scratch folder is removed when the
# case passes (unless KAVRO_E2E_KEEP is set) and kept, and named, when it fails.
set -uo pipefail

relay="" client="" recorder="" scratch="" case_name="" forwarder="" sampler=""
while (($#)); do
  case "$1" in
    --relay) relay="$2" ;;
    --client) client="$2" ;;
    --recorder) recorder="$2" ;;
    --scratch) scratch="$2" ;;
    --case) case_name="$2" ;;
    --forwarder) forwarder="$2" ;;
    --sampler) sampler="$2" ;;
    *)
      echo "unknown argument $1" >&2
      exit 2
      ;;
  esac
  shift 2
done
for program in "$relay" "$client" "$recorder" "$sampler"; do
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
lost="The connection to the relay was lost; reconnecting."

two_watchers() {
  local blocks=256 caster="$work/caster" early="$work/early" late="$work/late"
  local recording="$work/caster/data/mpr/temp_mpr.mpr"
  local total=$((header_bytes + blocks * block_bytes))
  local caster_pid early_pid late_pid recorder_pid early_sampler late_sampler
  e2e_make_install "$caster"
  e2e_make_install "$early"
  e2e_make_install "$late"
  start_sampler early_sampler "$early/data/mpr/kavro.mpr"
  start_sampler late_sampler "$late/data/mpr/kavro.mpr"

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
  check "the early watcher's replay never lost bytes while sampled" \
    stop_sampler "$early_sampler" "$early/data/mpr/kavro.mpr"
  check "the late watcher's replay never lost bytes while sampled" \
    stop_sampler "$late_sampler" "$late/data/mpr/kavro.mpr"

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
  local caster_pid watcher_pid recorder_pid replay_sampler
  e2e_make_install "$caster"
  e2e_make_install "$watcher"
  start_sampler replay_sampler "$replay"

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

  for who in caster watcher; do
    check "the $who says it lost the relay and is reconnecting" e2e_wait_until \
      "the $who's notice" $deadline e2e_client_said "$work/$who" "log: $lost"
  done
  check "the caster goes on running after the relay is gone" e2e_stays_running "$caster_pid" 2
  check "the watcher goes on running after the relay is gone" e2e_running "$watcher_pid"
  check "the watcher keeps a replay file that is the start of the recording" \
    is_start_of "$replay" "$recording"

  e2e_stop_client "$caster_pid" "$caster" $deadline
  check "the caster stops on its stop file with status 0" test $? -eq 0
  e2e_stop_client "$watcher_pid" "$watcher" $deadline
  check "the watcher stops on its stop file with status 0" test $? -eq 0
  check "the caster said the loss once" said_once "$caster" "$lost"
  check "the watcher said the loss once" said_once "$watcher" "$lost"
  check "the watcher's replay never lost bytes while sampled" stop_sampler "$replay_sampler" "$replay"
}

# --- the cases with a forwarder -------------------------------------------------------------

clicks() { grep -c '^event: clicked' "$1/client.err" || true; }
running_count() { grep -cxF -- "log: $2" "$1/client.err" || true; }
running_said_at_least() { (($(running_count "$1" "$2") >= $3)); }
replay_caught_up() { e2e_size_at_least "$1" "$2" && is_start_of "$1" "$3"; }

# One caster and one watcher, each behind a forwarder of its own (fc and fw), and a recording of
# BLOCKS blocks at RATE a second; everything the cases below share. Sets caster_pid, watcher_pid,
# recorder_pid and the forwarders' ports.
start_cast_through_forwarders() {
  local blocks="$1" rate="$2" caster_via="$3" watcher_via="$4"
  shift 4
  [[ -x "$forwarder" ]] || fail "not a program: '$forwarder' (--forwarder)"
  e2e_make_install "$work/caster"
  e2e_make_install "$work/watcher"
  check "the relay starts" e2e_start_relay "$relay" "$work" "$@"
  check "the caster's forwarder starts" e2e_start_forwarder fc "$forwarder" "$work" forwarder-caster
  check "the watcher's forwarder starts" e2e_start_forwarder fw "$forwarder" "$work" forwarder-watcher
  local caster_port="$E2E_RELAY_PORT" watcher_port="$E2E_RELAY_PORT"
  [[ "$caster_via" == forwarder ]] && caster_port="$fc_port"
  [[ "$watcher_via" == forwarder ]] && watcher_port="$fw_port"
  E2E_VIA_PORT="$caster_port" e2e_start_client caster_pid "$client" "$work/caster" cast "$cast" \
    "${client_options[@]}"
  check "the caster is registered" e2e_wait_until "the caster's registration" $deadline \
    e2e_client_said "$work/caster" "event: registered"
  replay="$work/watcher/data/mpr/kavro.mpr"
  start_sampler replay_sampler "$replay"
  E2E_VIA_PORT="$watcher_port" e2e_start_client watcher_pid "$client" "$work/watcher" watch "$cast" \
    "${client_options[@]}"
  check "the watcher joins" \
    e2e_wait_until "the watcher to join" $deadline e2e_joined_at_least "$work" "$cast" 1
  start_recorder recorder_pid "$work/caster" "$blocks" "$rate" 63
  total=$((header_bytes + blocks * block_bytes))
  recording="$work/caster/data/mpr/temp_mpr.mpr"
  check "the watcher receives the cast" e2e_wait_until "blocks at the watcher" $deadline \
    e2e_size_at_least "$replay" $((header_bytes + 16 * block_bytes))
  clicks_at_start="$(clicks "$work/caster") $(clicks "$work/watcher")"
}

# The end every forwarder case shares: the whole recording at the watcher, byte for byte, and
# no click after the first Cast or Watch.
finish_cast() {
  e2e_wait_exit "$recorder_pid" $((deadline * 3))
  check "the recorder wrote the whole recording" test $? -eq 0
  check "the recording is $total bytes" e2e_size_is "$recording" $total
  check "the watcher's replay reaches the recording's size" e2e_wait_until \
    "the watcher's replay" $((deadline * 2)) e2e_size_is "$replay" $total
  e2e_stop_client "$caster_pid" "$work/caster" $deadline
  check "the caster stops on its stop file with status 0" test $? -eq 0
  e2e_stop_client "$watcher_pid" "$work/watcher" $deadline
  check "the watcher stops on its stop file with status 0" test $? -eq 0
  check "the watcher's replay equals the recording byte for byte" same_bytes "$recording" "$replay"
  check "the watcher's replay never lost bytes while sampled" stop_sampler "$replay_sampler" "$replay"
  check "nobody clicked after the first Cast and Watch" \
    test "$(clicks "$work/caster") $(clicks "$work/watcher")" == "$clicks_at_start"
}

# WHO says it lost the relay COUNT times and is connected again after the last.
comes_back() {
  local who="$1" count="$2"
  check "the $who notices the loss ($count)" e2e_wait_until "the $who's notice" $deadline \
    running_said_at_least "$work/$who" "$lost" "$count"
  check "the $who is connected again ($count)" e2e_wait_until "the $who back" $deadline \
    running_said_at_least "$work/$who" "Connected" $((count + 1))
}

caster_faults() {
  start_cast_through_forwarders 900 15 forwarder forwarder
  local size

  freeze_then "$fc_control" cut
  comes_back caster 1
  size="$(e2e_size "$recording")"
  check "the watcher has all that was recorded before the cut" e2e_wait_until \
    "the watcher to catch up" $deadline replay_caught_up "$replay" "$size" "$recording"

  check "the relay is killed and started again on its port" e2e_restart_relay "$relay" "$work"
  comes_back caster 2
  comes_back watcher 1
  check "the watcher asks for the cast again" \
    e2e_wait_until "the watcher to join again" $deadline e2e_joined_at_least "$work" "$cast" 2
  size="$(e2e_size "$recording")"
  check "the watcher has all that was recorded before the restart" e2e_wait_until \
    "the watcher to catch up" $deadline replay_caught_up "$replay" "$size" "$recording"

  freeze_then "$fc_control" reset
  comes_back caster 3
  e2e_running "$recorder_pid" || fail "the recording ended before the last fault was over"
  finish_cast
  # The relay matched each re-upload against what it held: a resume sends no header again,
  # only the restarted relay (which held nothing) did.
  check "the watcher got two replay headers: the first and the restarted relay's" \
    test "$(running_count "$work/watcher" "Received a replay header.")" -eq 2
}

dead_paths() {
  start_cast_through_forwarders 1500 15 forwarder forwarder
  local frozen_at=$SECONDS who
  check "the caster's path freezes" e2e_forwarder "$fc_control" freeze
  check "the watcher's path freezes" e2e_forwarder "$fw_control" freeze
  # They stay frozen for good: each client has to see for itself that nothing comes through.
  for who in caster watcher; do
    check "the $who notices the dead path within 60 s" e2e_wait_until "the $who's notice" \
      $((60 - (SECONDS - frozen_at))) e2e_client_said "$work/$who" "log: $lost"
    echo "the $who noticed $((SECONDS - frozen_at)) s after the freeze"
  done
  comes_back caster 1
  comes_back watcher 1
  e2e_running "$recorder_pid" || fail "the recording ended before the clients came back"
  finish_cast
}

watcher_faults() {
  start_cast_through_forwarders 600 15 relay forwarder
  local size
  size="$(e2e_size "$recording")"
  check "the watcher's replay file is shut" e2e_shut_file "$replay"
  check "the recording grows while the file takes no writes" \
    e2e_wait_until "30 more blocks" $deadline grown_by "$recording" "$size" 30
  check "the watcher says it cannot write" e2e_wait_until "the watcher's notice" $deadline \
    e2e_client_said "$work/watcher" "log: Cannot write ../data/mpr/kavro.mpr."
  check "the watcher's replay file is open again" e2e_open_file "$replay"
  check "the watcher says it can write again" e2e_wait_until "the watcher's notice" $deadline \
    e2e_client_said "$work/watcher" "log: ../data/mpr/kavro.mpr can be written again."

  check "the watcher's path is reset" e2e_forwarder "$fw_control" reset
  comes_back watcher 1
  finish_cast
  check "the watcher said once that it could not write" \
    said_once "$work/watcher" "Cannot write ../data/mpr/kavro.mpr."
  check "the held data went in without starting the replay again" \
    test "$(running_count "$work/watcher" "Received a replay header.")" -eq 2
}

delayed_tail() {
  start_cast_through_forwarders 100 20 relay relay --broadcast-delay 3 --resume-grace 1
  e2e_wait_exit "$recorder_pid" $deadline
  check "the recorder wrote the whole recording" test $? -eq 0
  local http
  http="$(sed -n 's/^http on \(.*\)$/\1/p' "$work/relay.out")"
  check "the relay holds the whole recording" e2e_wait_until "the upload" $deadline \
    relay_holds "$http" "$total"
  # The caster leaves while the last blocks are still held back by the delay.
  e2e_stop_client "$caster_pid" "$work/caster" $deadline
  check "the caster stops on its stop file with status 0" test $? -eq 0
  check "the watcher's replay reaches the recording's size" e2e_wait_until \
    "the delayed tail" $deadline e2e_size_is "$replay" $total
  check "the watcher's replay equals the recording byte for byte" same_bytes "$recording" "$replay"
  e2e_stop_client "$watcher_pid" "$work/watcher" $deadline
  check "the watcher stops on its stop file with status 0" test $? -eq 0
  check "the watcher's replay never lost bytes while sampled" stop_sampler "$replay_sampler" "$replay"
}
relay_holds() { curl -fsS "http://$1/casts.json" | grep -q "\"replay_bytes\":$2[,}]"; }

# The ordinary end of a race: the caster presses Stop, the relay ends the cast once its grace
# period is over and closes the watcher's connection. The watcher must keep the whole race for
# good: it looks for the cast a while (a returning caster or a restarted relay would list it
# again), then says the cast ended and goes back to idle; the file is sampled all along and
# compared once more well after the end.
cast_ends() {
  local ended_line="The cast $cast has ended; the replay is kept."
  start_cast_through_forwarders 120 20 relay relay --resume-grace 2
  e2e_wait_exit "$recorder_pid" $deadline
  check "the recorder wrote the whole recording" test $? -eq 0
  check "the watcher's replay reaches the recording's size" e2e_wait_until \
    "the watcher's replay" $deadline e2e_size_is "$replay" $total
  check "the watcher's replay equals the recording" same_bytes "$recording" "$replay"
  e2e_stop_client "$caster_pid" "$work/caster" $deadline
  check "the caster stops on its stop file with status 0" test $? -eq 0
  local stopped_at=$SECONDS
  check "the relay ends the cast after its grace period" e2e_wait_until "the cast's end" \
    $deadline grep -qF "cast $cast ended" "$work/relay.log"
  # The watcher looks for the cast for two minutes before it gives up on it.
  check "the watcher says the cast ended, once it stopped looking for it" e2e_wait_until \
    "the watcher's end line" 240 e2e_client_said "$work/watcher" "log: $ended_line"
  local looked=$((SECONDS - stopped_at))
  echo "the watcher gave the cast up $looked s after the caster stopped"
  ((looked >= 115)) || fail "the watcher gave up after $looked s, before two minutes"
  check "the watcher stays up, idle" e2e_stays_running "$watcher_pid" 5
  check "the watcher's replay still equals the recording after the end" \
    same_bytes "$recording" "$replay"
  check "the watcher's replay never lost bytes while sampled" stop_sampler "$replay_sampler" "$replay"
  check "the watcher said the end once" test "$(running_count "$work/watcher" "$ended_line")" -eq 1
  check "the watcher was never shown a message box" \
    test "$(grep -c '^event: message' "$work/watcher/client.err" || true)" -eq 0
  e2e_stop_client "$watcher_pid" "$work/watcher" $deadline
  check "the watcher stops on its stop file with status 0" test $? -eq 0
}

case "$case_name" in
  two-watchers) two_watchers ;;
  cast-ends) cast_ends ;;
  relay-killed) relay_killed ;;
  caster-faults) caster_faults ;;
  dead-paths) dead_paths ;;
  watcher-faults) watcher_faults ;;
  delayed-tail) delayed_tail ;;
  *) fail "unknown case '$case_name'" ;;
esac
echo "PASS: $case_name"
