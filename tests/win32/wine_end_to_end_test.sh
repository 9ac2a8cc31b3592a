#!/usr/bin/env bash
# The end-to-end test of kavro.exe: the Windows client runs under Wine on an X display and is
# clicked through with xdotool at its controls' places, against the real relay, with the native
# Linux client (the scripted user of demo/) at the other end and a recorder standing in for the
# simulator.
#
#   wine_end_to_end_test.sh --relay PROGRAM --native-client PROGRAM --recorder PROGRAM
#                           --windows-client KAVRO_EXE --scratch DIR [--forwarder PROGRAM]
#                           --sampler PROGRAM --black-hole PROGRAM --window-ping EXE
#                           --case CASE [--screenshots DIR]
#
# windows-caster: kavro.exe casts, the native client watches.
# windows-watcher: the native client casts, kavro.exe watches.
# relay-file: kavro.exe finds its relay in a relay.txt beside it, with no KAVRO_RELAY.
# windows-caster-faults: kavro.exe casts through the fault forwarder (--forwarder), whose path
#   freezes and is cut, then the relay is killed and started again on its port, then the path
#   freezes and is reset; nobody clicks kavro.exe again after its Cast.
# windows-watcher-faults: kavro.exe watches through the forwarder; its path is reset, its replay
#   file takes no writes for a while, and the relay is killed and started again.
# windows-cast-ends: kavro.exe watches; the native caster stops and the relay ends the cast after
#   its grace period; kavro.exe keeps the whole race, gives the cast up after two minutes, and
#   its window answers all the while.
# windows-black-hole: the relay is a black hole (--black-hole): Watch LFS waits for a connect
#   that never comes, and the window must answer within half a second all the while
#   (--window-ping asks it the way Windows does).
# The watcher's kavro.mpr is sampled every 50 ms in the watching cases (--sampler): a case fails
# when it ever shrinks while its header stays the same.
# Either way the watcher's kavro.mpr must equal the recording byte for byte, and both clients
# must stop cleanly when asked. --screenshots saves the Windows window as it first shows and, in
# windows-watcher, its watch panel listing the cast.
#
# Without a usable DISPLAY it runs itself again on a virtual display (Xvfb). Every process it
# starts is stopped on every way out; the scratch folder is kept, and named, when a case fails.
set -uo pipefail

if [[ -z "${DISPLAY:-}" ]] || ! xdpyinfo >/dev/null 2>&1; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

relay="" native="" recorder="" exe="" scratch="" case_name="" screenshots="" forwarder=""
sampler="" black_hole="" window_ping=""
while (($#)); do
  case "$1" in
    --relay) relay="$2" ;;
    --native-client) native="$2" ;;
    --recorder) recorder="$2" ;;
    --windows-client) exe="$2" ;;
    --scratch) scratch="$2" ;;
    --case) case_name="$2" ;;
    --screenshots) screenshots="$2" ;;
    --forwarder) forwarder="$2" ;;
    --sampler) sampler="$2" ;;
    --black-hole) black_hole="$2" ;;
    --window-ping) window_ping="$2" ;;
    *)
      echo "unknown argument $1" >&2
      exit 2
      ;;
  esac
  shift 2
done
for program in "$relay" "$native" "$recorder" "$sampler" "$black_hole"; do
  [[ -x "$program" ]] || {
    echo "not a program: '$program' (build the native programs first: scripts/build)" >&2
    exit 2
  }
done
for file in "$exe" "$window_ping"; do
  [[ -f "$file" ]] || {
    echo "not a file: '$file'" >&2
    exit 2
  }
done

# shellcheck source=demo/session_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../demo/session_lib.sh"

export WINEDEBUG="${WINEDEBUG:--all}"
# The native client draws offscreen, out of the way of the clicks on the Windows window.
export QT_QPA_PLATFORM=offscreen
mkdir -p "$scratch"
work="$(cd "$(mktemp -d "$scratch/run-$case_name.XXXXXX")" && pwd)"
exe="$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")"
cast="Wine cast"
header_bytes=16384
block_bytes=4096
blocks=64
deadline=90
native_options=(--timeout 280)
window=""

# Where the clicks land: the middle of each control, in the window's client coordinates (the
# panels' controls are placed within their group box at 0,40).
declare -A at=(
  [btn_cast]="37 20" [btn_watch]="117 20"
  [ed_castname]="132 70" [btn_cast1]="109 148"
  [btn_watch1]="45 162" [btn_refresh]="267 162"
)

# shellcheck source=tests/support/e2e_checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e_checks.sh"

# start_windows_client VAR INSTALL: kavro.exe under Wine in INSTALL/kavro, KAVRO_RELAY naming
# the relay; stores its process id in VAR.
start_windows_client() {
  local install="$2"
  (
    cd "$install/kavro" &&
      KAVRO_RELAY="127.0.0.1:${E2E_VIA_PORT:-$E2E_RELAY_PORT}" exec wine "$exe" \
        >"$install/client.out" 2>"$install/client.err"
  ) &
  E2E_PIDS+=("$!")
  printf -v "$1" '%s' "$!"
}

# The window titled exactly KAVRO whose client area is the layout's 316 x 197 (without a window
# manager, Wine's X window is the client area).
window_found() {
  local id
  for id in $(xdotool search --onlyvisible --name 'KAVRO' 2>/dev/null); do
    [[ "$(xdotool getwindowname "$id" 2>/dev/null)" == "KAVRO" ]] || continue
    xdotool getwindowgeometry "$id" 2>/dev/null | grep -q 'Geometry: 316x197' || continue
    window="$id"
    return 0
  done
  return 1
}

# A message box of the program (captioned "kavro") is open; its window is kept in `box`.
box=""
message_box_open() {
  local id
  for id in $(xdotool search --name 'kavro' 2>/dev/null); do
    [[ "$(xdotool getwindowname "$id" 2>/dev/null)" == "kavro" ]] || continue
    box="$id"
    return 0
  done
  return 1
}

# Presses Enter in the open message box. With no window manager the keyboard follows the
# pointer, so the pointer goes onto the box first, wherever an earlier test left it.
close_message_box() {
  xdotool mousemove --window "$box" 4 4
  xdotool key Return
}

click() {
  # shellcheck disable=SC2086  # "X Y"
  xdotool mousemove --window "$window" ${at[$1]} click 1
}

# Saves the window's client area as it shows now.
screenshot() {
  [[ -n "$screenshots" ]] || return 0
  mkdir -p "$screenshots"
  if e2e_wait_until "a screenshot" 10 import -window "$window" "$screenshots/$1" 2>/dev/null; then
    echo "saved $screenshots/$1"
  fi
}

# Closes the window as a user would (Alt+F4 into it) and returns the program's exit status.
stop_windows_client() {
  xdotool mousemove --window "$window" 300 190 click 1
  xdotool key alt+F4
  e2e_wait_exit "$1" "$deadline"
}

start_recorder() {  # start_recorder VAR INSTALL SEED [BLOCKS RATE]
  "$recorder" --output "$2/data/mpr/temp_mpr.mpr" --blocks "${4:-$blocks}" --rate "${5:-20}" \
    --seed "$3" \
    2>>"$work/recorder.log" &
  E2E_PIDS+=("$!")
  printf -v "$1" '%s' "$!"
}

relay_said() { grep -qF -- "$1" "$work/relay.log"; }


# window_answers SECONDS: kavro.exe's window answered every ping within half a second for SECONDS.
window_answers() { wine "$window_ping" ping "$1" 500; }
# kavro_exe_said LINE: kavro.exe's window log holds LINE.
kavro_exe_said() { wine "$window_ping" log | tr -d '\r' | grep -qxF -- "$1"; }
total=$((header_bytes + blocks * block_bytes))

# The recording goes up from CASTER and comes down at WATCHER's replay file.
record_and_compare() {
  local caster="$1" watcher="$2" recorder_pid
  local recording="$caster/data/mpr/temp_mpr.mpr" replay="$watcher/data/mpr/kavro.mpr"
  start_recorder recorder_pid "$caster" 71
  e2e_wait_exit "$recorder_pid" $((deadline + 60))
  local recorder_status=$?
  check "the recorder wrote the whole recording" test "$recorder_status" -eq 0
  check "the recording is $total bytes" e2e_size_is "$recording" $total
  check "the watcher's replay reaches the recording's size" e2e_wait_until \
    "the watcher's replay" $deadline e2e_size_is "$replay" $total
  check "the watcher's replay equals the recording byte for byte" cmp -- "$recording" "$replay"
}

windows_caster() {
  local caster="$work/caster" watcher="$work/watcher" caster_pid watcher_pid
  e2e_make_install "$caster"
  e2e_make_install "$watcher"
  check "the relay starts" e2e_start_relay "$relay" "$work"

  start_windows_client caster_pid "$caster"
  check "kavro.exe shows its window" e2e_wait_until "the window" $deadline window_found
  screenshot win32-idle.png
  click btn_cast
  check "Cast LFS connects to the relay" \
    e2e_wait_until "the caster's connection" $deadline relay_said "accepted (1 open)"
  click ed_castname
  xdotool type --delay 20 "$cast"
  click btn_cast1
  check "the Windows caster's cast is registered" \
    e2e_wait_until "the cast to start" $deadline relay_said "cast $cast started by"

  e2e_start_client watcher_pid "$native" "$watcher" watch "$cast" "${native_options[@]}"
  check "the native watcher joins" \
    e2e_wait_until "the watcher to join" $deadline e2e_joined_at_least "$work" "$cast" 1

  record_and_compare "$caster" "$watcher"
  e2e_stop_client "$watcher_pid" "$watcher" $deadline
  check "the native watcher stops with status 0" test $? -eq 0
  stop_windows_client "$caster_pid"
  check "kavro.exe closes with status 0" test $? -eq 0
}

# Presses Watch until the relay says the watcher joined: the list may not have arrived at the
# first press, which then shows "Caster not available."; that box is closed and the list
# refreshed before the next press.
watch_the_cast() {
  local until=$((SECONDS + deadline))
  while ((SECONDS < until)); do
    screenshot win32-watch-panel.png
    click btn_watch1
    if e2e_wait_until "the watcher to join" 3 e2e_joined_at_least "$work" "$cast" 1 2>/dev/null; then
      return 0
    fi
    if message_box_open; then
      close_message_box
      e2e_wait_until "the box to close" 10 eval '! message_box_open' || return 1
    fi
    click btn_refresh
  done
  return 1
}

windows_watcher() {
  local caster="$work/caster" other="$work/other" watcher="$work/watcher"
  local caster_pid other_pid watcher_pid
  e2e_make_install "$caster"
  e2e_make_install "$other"
  e2e_make_install "$watcher"
  check "the relay starts" e2e_start_relay "$relay" "$work"

  e2e_start_client caster_pid "$native" "$caster" cast "$cast" "${native_options[@]}"
  check "the native caster is registered" \
    e2e_wait_until "the caster's registration" $deadline e2e_client_said "$caster" "event: registered"
  # A second cast, listed below the first: Watch with the list's default selection picks the
  # first.
  e2e_start_client other_pid "$native" "$other" cast "Zebra cast" "${native_options[@]}"
  check "a second native caster is registered" \
    e2e_wait_until "the second registration" $deadline e2e_client_said "$other" "event: registered"

  start_windows_client watcher_pid "$watcher"
  check "kavro.exe shows its window" e2e_wait_until "the window" $deadline window_found
  click btn_watch
  check "the Windows watcher joins the cast from its list" watch_the_cast

  record_and_compare "$caster" "$watcher"
  e2e_stop_client "$caster_pid" "$caster" $deadline
  check "the native caster stops with status 0" test $? -eq 0
  e2e_stop_client "$other_pid" "$other" $deadline
  check "the second native caster stops with status 0" test $? -eq 0
  check "nobody joined the second cast" test "$(e2e_joined_count "$work" "Zebra cast")" -eq 0
  stop_windows_client "$watcher_pid"
  check "kavro.exe closes with status 0" test $? -eq 0
}

# start_installed_client VAR INSTALL: kavro.exe copied into INSTALL/kavro and started there as a
# user starts it, with nothing in the environment naming a relay; stores its process id in VAR.
start_installed_client() {
  local install="$2"
  cp -- "$exe" "$install/kavro/kavro.exe"
  (
    cd "$install/kavro" &&
      exec env -u KAVRO_RELAY wine kavro.exe >"$install/client.out" 2>"$install/client.err"
  ) &
  E2E_PIDS+=("$!")
  printf -v "$1" '%s' "$!"
}

# relay-file: the relay comes from a relay.txt beside kavro.exe (Windows line ends, as Notepad
# writes them). A malformed one is answered with a message box before the window shows; a good
# one names the relay that Watch LFS says hello to, and the watcher joins a cast listed there.
relay_file() {
  local caster="$work/caster" watcher="$work/watcher" caster_pid watcher_pid
  e2e_make_install "$caster"
  e2e_make_install "$watcher"
  check "the relay starts" e2e_start_relay "$relay" "$work"
  e2e_start_client caster_pid "$native" "$caster" cast "$cast" "${native_options[@]}"
  check "the native caster is registered" \
    e2e_wait_until "the caster's registration" $deadline e2e_client_said "$caster" "event: registered"

  printf '# our relay\r\n127.0.0.1:99999\r\n' >"$watcher/kavro/relay.txt"
  start_installed_client watcher_pid "$watcher"
  check "a malformed relay.txt is answered with a message box" \
    e2e_wait_until "the message box" $deadline message_box_open
  close_message_box
  check "the window shows once the box is closed" e2e_wait_until "the window" $deadline window_found
  stop_windows_client "$watcher_pid"
  check "kavro.exe closes with status 0" test $? -eq 0

  printf '# our relay\r\n\r\n127.0.0.1:%s\r\n' "$E2E_RELAY_PORT" >"$watcher/kavro/relay.txt"
  start_installed_client watcher_pid "$watcher"
  check "kavro.exe shows its window" e2e_wait_until "the window" $deadline window_found
  check "no message box: relay.txt is good" eval '! message_box_open'
  click btn_watch
  check "Watch LFS connects to the relay relay.txt names" \
    e2e_wait_until "the watcher's connection" $deadline relay_said "accepted (2 open)"
  # The relay lists its casts only to a client whose hello it took, and lets only such a client
  # join one.
  check "its hello arrived: it joins the cast listed there" watch_the_cast

  e2e_stop_client "$caster_pid" "$caster" $deadline
  check "the native caster stops with status 0" test $? -eq 0
  stop_windows_client "$watcher_pid"
  check "kavro.exe closes with status 0" test $? -eq 0
}

# --- the cases with a forwarder -------------------------------------------------------------

relay_count() { grep -cF -- "$1" "$work/relay.log" || true; }
relay_count_at_least() { (($(relay_count "$1") >= $2)); }

# The relay log says TEXT at least COUNT times (its log goes on across a restart).
relay_says() {
  local what="$1" text="$2" count="$3"
  check "$what" e2e_wait_until "$what" $deadline relay_count_at_least "$text" "$count"
}

# Starts the relay and one forwarder for each side (fc, fw), for CASTER and WATCHER folders.
start_faults_scene() {
  [[ -x "$forwarder" ]] || fail "not a program: '$forwarder' (--forwarder)"
  e2e_make_install "$work/caster"
  e2e_make_install "$work/watcher"
  check "the relay starts" e2e_start_relay "$relay" "$work"
  check "the caster's forwarder starts" e2e_start_forwarder fc "$forwarder" "$work" forwarder-caster
  check "the watcher's forwarder starts" e2e_start_forwarder fw "$forwarder" "$work" forwarder-watcher
  recording="$work/caster/data/mpr/temp_mpr.mpr"
  replay="$work/watcher/data/mpr/kavro.mpr"
  fault_total=$((header_bytes + 900 * block_bytes))
}

# The recording goes on to its end; the watcher's replay must then equal it byte for byte.
finish_faults_scene() {
  e2e_wait_exit "$1" $((deadline * 3))
  check "the recorder wrote the whole recording" test $? -eq 0
  check "the recording is $fault_total bytes" e2e_size_is "$recording" $fault_total
  check "the watcher's replay reaches the recording's size" e2e_wait_until \
    "the watcher's replay" $((deadline * 2)) e2e_size_is "$replay" $fault_total
  check "the watcher's replay equals the recording byte for byte" cmp -- "$recording" "$replay"
}

caught_up() { e2e_size_at_least "$replay" "$1" && cmp -s -n "$1" -- "$recording" "$replay"; }
catches_up() {
  local size
  size="$(e2e_size "$recording")"
  check "the watcher has all that was recorded $1" \
    e2e_wait_until "the watcher to catch up" $deadline caught_up "$size"
}

windows_caster_faults() {
  local caster_pid watcher_pid recorder_pid
  start_faults_scene
  E2E_VIA_PORT="$fc_port" start_windows_client caster_pid "$work/caster"
  check "kavro.exe shows its window" e2e_wait_until "the window" $deadline window_found
  click btn_cast
  check "Cast LFS connects to the relay" \
    e2e_wait_until "the caster's connection" $deadline relay_said "accepted (1 open)"
  click ed_castname
  xdotool type --delay 20 "$cast"
  click btn_cast1
  relay_says "the Windows caster's cast is registered" "cast $cast started by" 1
  E2E_VIA_PORT="$fw_port" e2e_start_client watcher_pid "$native" "$work/watcher" watch "$cast" \
    "${native_options[@]}"
  relay_says "the native watcher joins" " joined $cast (" 1
  start_recorder recorder_pid "$work/caster" 71 900 15
  check "the watcher receives the cast" e2e_wait_until "blocks at the watcher" $deadline \
    e2e_size_at_least "$replay" $((header_bytes + 16 * block_bytes))

  freeze_then "$fc_control" cut
  relay_says "kavro.exe comes back by itself and resumes the cast" "cast $cast resumed by" 1
  catches_up "before the cut"
  check "the relay is killed and started again on its port" e2e_restart_relay "$relay" "$work"
  # The relay kept the cast in its data folder through the kill: kavro.exe takes it up again.
  relay_says "kavro.exe resumes the cast on the new relay" "cast $cast resumed by" 2
  relay_says "the native watcher asks for the cast again" " joined $cast (" 2
  catches_up "before the restart"
  freeze_then "$fc_control" reset
  relay_says "kavro.exe comes back again" "cast $cast resumed by" 3
  e2e_running "$recorder_pid" || fail "the recording ended before the last fault was over"
  finish_faults_scene "$recorder_pid"

  e2e_stop_client "$watcher_pid" "$work/watcher" $deadline
  check "the native watcher stops with status 0" test $? -eq 0
  stop_windows_client "$caster_pid"
  check "kavro.exe closes with status 0" test $? -eq 0
}

windows_watcher_faults() {
  local caster_pid watcher_pid recorder_pid size replay_sampler
  start_faults_scene
  start_sampler replay_sampler "$replay"
  E2E_VIA_PORT="$fc_port" e2e_start_client caster_pid "$native" "$work/caster" cast "$cast" \
    "${native_options[@]}"
  check "the native caster is registered" e2e_wait_until "the caster's registration" $deadline \
    e2e_client_said "$work/caster" "event: registered"
  E2E_VIA_PORT="$fw_port" start_windows_client watcher_pid "$work/watcher"
  check "kavro.exe shows its window" e2e_wait_until "the window" $deadline window_found
  click btn_watch
  check "the Windows watcher joins the cast from its list" watch_the_cast
  start_recorder recorder_pid "$work/caster" 72 900 15
  check "kavro.exe receives the cast" e2e_wait_until "blocks at the watcher" $deadline \
    e2e_size_at_least "$replay" $((header_bytes + 16 * block_bytes))

  check "kavro.exe's path is reset" e2e_forwarder "$fw_control" reset
  relay_says "kavro.exe asks for the cast again by itself" " joined $cast (" 2
  catches_up "before the reset"
  size="$(e2e_size "$recording")"
  check "kavro.exe's replay file is shut" e2e_shut_file "$replay"
  check "the recording grows while the file takes no writes" \
    e2e_wait_until "30 more blocks" $deadline grown_by "$recording" "$size" 30
  check "kavro.exe's replay file is open again" e2e_open_file "$replay"
  catches_up "while its file was shut"
  check "the relay is killed and started again on its port" e2e_restart_relay "$relay" "$work"
  relay_says "kavro.exe asks for the cast again on the new relay" " joined $cast (" 3
  e2e_running "$recorder_pid" || fail "the recording ended before the last fault was over"
  finish_faults_scene "$recorder_pid"

  e2e_stop_client "$caster_pid" "$work/caster" $deadline
  check "the native caster stops with status 0" test $? -eq 0
  stop_windows_client "$watcher_pid"
  check "kavro.exe closes with status 0" test $? -eq 0
  check "kavro.exe's replay never lost bytes while sampled" stop_sampler "$replay_sampler" "$replay"
}

# The ordinary end of a race, watched by kavro.exe: the caster stops, the relay ends the cast
# once its grace period is over. kavro.exe keeps the race, looks for the cast for two minutes
# without freezing, says it ended and goes back to idle.
windows_cast_ends() {
  local caster_pid watcher_pid recorder_pid replay_sampler stopped_at looked
  local ended_line="The cast $cast has ended; the replay is kept."
  e2e_make_install "$work/caster"
  e2e_make_install "$work/watcher"
  recording="$work/caster/data/mpr/temp_mpr.mpr"
  replay="$work/watcher/data/mpr/kavro.mpr"
  start_sampler replay_sampler "$replay"
  check "the relay starts" e2e_start_relay "$relay" "$work" --resume-grace 2
  e2e_start_client caster_pid "$native" "$work/caster" cast "$cast" "${native_options[@]}"
  check "the native caster is registered" e2e_wait_until "the caster's registration" $deadline \
    e2e_client_said "$work/caster" "event: registered"
  start_windows_client watcher_pid "$work/watcher"
  check "kavro.exe shows its window" e2e_wait_until "the window" $deadline window_found
  click btn_watch
  check "the Windows watcher joins the cast from its list" watch_the_cast
  record_and_compare "$work/caster" "$work/watcher"

  e2e_stop_client "$caster_pid" "$work/caster" $deadline
  check "the native caster stops with status 0" test $? -eq 0
  stopped_at=$SECONDS
  relay_says "the relay ends the cast after its grace period" "cast $cast ended" 1
  check "kavro.exe's window answers while it looks for the cast" window_answers 20
  check "kavro.exe says the cast ended, once it stopped looking for it" e2e_wait_until \
    "kavro.exe's end line" 240 kavro_exe_said "$ended_line"
  looked=$((SECONDS - stopped_at))
  echo "kavro.exe gave the cast up $looked s after the caster stopped"
  ((looked >= 115)) || fail "kavro.exe gave up after $looked s, before two minutes"
  check "no message box was shown" eval '! message_box_open'
  check "kavro.exe's replay still equals the recording after the end" cmp -- "$recording" "$replay"
  stop_windows_client "$watcher_pid"
  check "kavro.exe closes with status 0" test $? -eq 0
  check "kavro.exe's replay never lost bytes while sampled" stop_sampler "$replay_sampler" "$replay"
}

# The relay is a black hole: a connect neither succeeds nor fails. Watch LFS must not freeze the
# window while the connect waits out its deadline.
windows_black_hole() {
  local watcher_pid port
  e2e_make_install "$work/watcher"
  "$black_hole" >"$work/black-hole.out" 2>&1 &
  E2E_PIDS+=("$!")
  check "the black hole listens" e2e_wait_until "the black hole" 30 \
    grep -q '^listening on ' "$work/black-hole.out"
  port="$(sed -n 's/^listening on 127\.0\.0\.1://p' "$work/black-hole.out")"
  E2E_VIA_PORT="$port" start_windows_client watcher_pid "$work/watcher"
  check "kavro.exe shows its window" e2e_wait_until "the window" $deadline window_found
  click btn_watch
  check "kavro.exe's window answers within half a second while it connects" window_answers 8
  check "kavro.exe says it cannot reach the relay" e2e_wait_until "the notice" $deadline \
    kavro_exe_said "Cannot reach the relay."
  click btn_cast
  check "... and while Cast LFS connects again" window_answers 8
  stop_windows_client "$watcher_pid"
  check "kavro.exe closes with status 0" test $? -eq 0
}

case "$case_name" in
  windows-caster) windows_caster ;;
  windows-watcher) windows_watcher ;;
  relay-file) relay_file ;;
  windows-caster-faults) windows_caster_faults ;;
  windows-watcher-faults) windows_watcher_faults ;;
  windows-cast-ends) windows_cast_ends ;;
  windows-black-hole) windows_black_hole ;;
  *) fail "unknown case '$case_name'" ;;
esac
echo "PASS: $case_name"
