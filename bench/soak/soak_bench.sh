#!/usr/bin/env bash
# The soak bench: one long cast from the real client, watched by several real clients, while
# random faults hit it, the way a league's evening goes wrong. It prints, per kind of fault, how
# long the watchers took to hold everything again and how many were byte-exact then, and at the
# end how many watchers' replays equal the recording byte for byte.
#
#   soak_bench.sh --relay PROGRAM --client PROGRAM --recorder PROGRAM --forwarder PROGRAM
#                 [--minutes 10] [--faults 12] [--watchers 3] [--rate 10] [--seed 1]
#                 [--scratch DIR]
#
# The caster and each watcher connect through a fault forwarder of their own. Fault kinds:
#   freeze    a random client's path stops forwarding for good; the client must notice itself
#   cut       a random client's path is cut (FIN) or reset (RST), half the time after a short freeze
#   restart   the relay is killed (SIGKILL), stays down 1-5 s and is started again on its port
#   file      a random watcher's replay file takes no writes for 2-10 s
# Faults come one at a time, spread over the cast, each after the one before has recovered.
# Recovery: the clients the fault hit are connected again (the one whose path failed, or all
# of them after a relay restart), and then every watcher holds, byte for byte, all that was
# recorded by then. It is timed from the fault's end: the cut, the kill, the file open again, or
# for a freeze the freeze itself, so the time its client takes to notice is in it.
set -uo pipefail

relay="" client="" recorder="" forwarder=""
minutes=10 faults=12 watchers=3 rate=10 seed=1 scratch="${TMPDIR:-/tmp}"
while (($#)); do
  case "$1" in
    --relay) relay="$2" ;;
    --client) client="$2" ;;
    --recorder) recorder="$2" ;;
    --forwarder) forwarder="$2" ;;
    --minutes) minutes="$2" ;;
    --faults) faults="$2" ;;
    --watchers) watchers="$2" ;;
    --rate) rate="$2" ;;
    --seed) seed="$2" ;;
    --scratch) scratch="$2" ;;
    *)
      echo "unknown argument $1" >&2
      exit 2
      ;;
  esac
  shift 2
done
for program in "$relay" "$client" "$recorder" "$forwarder"; do
  [[ -x "$program" ]] || {
    echo "not a program: '$program'" >&2
    exit 2
  }
done

here="$(dirname "${BASH_SOURCE[0]}")"
# shellcheck source=demo/session_lib.sh
source "$here/../../demo/session_lib.sh"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
RANDOM=$seed
work="$(cd "$(mktemp -d "$scratch/kavro-soak.XXXXXX")" && pwd)"
trap 'e2e_cleanup; echo "(the run is kept in $work)"' EXIT
trap 'exit 130' INT TERM HUP

cast="Soak cast"
blocks=$((minutes * 60 * rate))
total=$((16384 + blocks * 4096))
recording="$work/caster/data/mpr/temp_mpr.mpr"
client_timeout=$((minutes * 60 + 900))
recovery_limit=180

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
replay_of() { echo "$work/watcher$1/data/mpr/kavro.mpr"; }
random_below() { echo $((RANDOM % $1)); }
client_dir() { if (($1 == 0)); then echo "$work/caster"; else echo "$work/watcher$1"; fi; }
lost_count() {
  grep -cxF "log: The connection to the relay was lost; reconnecting." "$(client_dir "$1")/client.err"
}
lost_more() { (($(lost_count "$1") > $2)); }
connected_count() { grep -cxF "log: Connected" "$(client_dir "$1")/client.err"; }
# Every client named in the list "I:COUNT ..." has said "Connected" more than COUNT times.
all_back() {
  local entry
  for entry in $1; do
    (($(connected_count "${entry%%:*}") > ${entry##*:})) || return 1
  done
}

# Every watcher holds the first SIZE bytes of the recording, byte for byte.
all_hold() {
  local i replay
  for ((i = 1; i <= watchers; i++)); do
    replay="$(replay_of "$i")"
    e2e_size_at_least "$replay" "$1" || return 1
    cmp -s -n "$1" -- "$recording" "$replay" || return 1
  done
}
exact_watchers() {
  local i n=0 replay
  for ((i = 1; i <= watchers; i++)); do
    replay="$(replay_of "$i")"
    if e2e_size_at_least "$replay" "$1" && cmp -s -n "$1" -- "$recording" "$replay"; then
      n=$((n + 1))
    fi
  done
  echo "$n"
}

echo "soak: $minutes min, $blocks blocks at $rate/s, $watchers watchers, $faults faults, seed $seed"
echo "soak: in $work"
e2e_make_install "$work/caster"
e2e_start_relay "$relay" "$work" || exit 1
e2e_start_forwarder f0 "$forwarder" "$work" forwarder0 || exit 1
E2E_VIA_PORT="$f0_port" e2e_start_client caster_pid "$client" "$work/caster" cast "$cast" \
  --timeout "$client_timeout"
e2e_wait_until "the caster's registration" 120 e2e_client_said "$work/caster" "event: registered" ||
  exit 1
for ((i = 1; i <= watchers; i++)); do
  e2e_make_install "$work/watcher$i"
  e2e_start_forwarder "f$i" "$forwarder" "$work" "forwarder$i" || exit 1
  port_var="f${i}_port"
  E2E_VIA_PORT="${!port_var}" e2e_start_client "watcher${i}_pid" "$client" "$work/watcher$i" watch \
    "$cast" --timeout "$client_timeout"
done
e2e_wait_until "every watcher to join" 120 e2e_joined_at_least "$work" "$cast" "$watchers" || exit 1
"$recorder" --output "$recording" --blocks "$blocks" --rate "$rate" --seed "$seed" \
  2>>"$work/recorder.log" &
recorder_pid=$!
E2E_PIDS+=("$recorder_pid")
started=$(now)

declare -A count=() recovered=() times=() exact=()
for kind in freeze cut restart file; do
  count[$kind]=0 recovered[$kind]=0 times[$kind]="" exact[$kind]=0
done
kinds=(freeze cut restart file)
span=$((minutes * 60 - 120))

for ((f = 0; f < faults; f++)); do
  # The next fault's time: its share of the cast, a little jittered.
  at=$((60 + f * span / faults + $(random_below $((span / faults / 2 + 1)))))
  while (($(printf '%.0f' "$(since "$started")") < at)); do sleep 0.5; done
  e2e_running "$recorder_pid" || break
  kind="${kinds[$(random_below 4)]}"
  target=$(random_below $((watchers + 1)))  # 0 the caster, else a watcher
  # Who has to come back: the client whose path failed, or everyone after a relay restart.
  back=""
  case "$kind" in
    freeze | cut) back="$target:$(connected_count "$target")" ;;
    restart) for ((i = 0; i <= watchers; i++)); do back="$back $i:$(connected_count "$i")"; done ;;
  esac
  case "$kind" in
    freeze)
      # Over once the frozen client has seen for itself that its path is dead.
      control_var="f${target}_control"
      lost_before=$(lost_count "$target")
      frozen_at=$(now)
      e2e_forwarder "${!control_var}" freeze >/dev/null
      e2e_wait_until "the client to notice" "$recovery_limit" lost_more "$target" "$lost_before" \
        2>/dev/null
      what="froze the path of client $target (noticed after $(since "$frozen_at") s)"
      ;;
    cut)
      control_var="f${target}_control"
      if ((RANDOM % 2)); then
        e2e_forwarder "${!control_var}" freeze >/dev/null
        sleep "$((1 + RANDOM % 3))"
      fi
      command=cut
      ((RANDOM % 2)) && command=reset
      e2e_forwarder "${!control_var}" "$command" >/dev/null
      what="${command} the path of client $target"
      ;;
    restart)
      kill -KILL "$E2E_RELAY_PID"
      e2e_wait_exit "$E2E_RELAY_PID" 30
      sleep "$((1 + RANDOM % 5))"
      E2E_RELAY_LISTEN="127.0.0.1:$E2E_RELAY_PORT" e2e_start_relay "$relay" "$work"
      what="killed and restarted the relay"
      ;;
    file)
      target=$((1 + RANDOM % watchers))
      replay="$(replay_of "$target")"
      held=$((2 + RANDOM % 9))
      e2e_shut_file "$replay"
      sleep "$held"
      e2e_open_file "$replay"
      what="shut the replay file of watcher $target for $held s"
      ;;
  esac
  over=$(now)
  [[ "$kind" == freeze ]] && over="$frozen_at"
  count[$kind]=$((count[$kind] + 1))
  # What has to reach every watcher: all that was recorded by the time the clients are back.
  e2e_wait_until "the clients to come back" "$recovery_limit" all_back "$back" 2>/dev/null
  size=$(e2e_size "$recording")
  if e2e_wait_until "recovery" "$recovery_limit" all_hold "$size" 2>/dev/null; then
    took=$(since "$over")
    recovered[$kind]=$((recovered[$kind] + 1))
    times[$kind]="${times[$kind]} $took"
  else
    took="no recovery in $recovery_limit s"
  fi
  n=$(exact_watchers "$size")
  exact[$kind]=$((exact[$kind] + n))
  echo "soak: $(since "$started") s: $what; recovered: $took; byte-exact watchers: $n/$watchers"
done

e2e_wait_exit "$recorder_pid" $((minutes * 60 + 300))
echo "soak: recording done ($(e2e_size "$recording") bytes) after $(since "$started") s"
e2e_wait_until "every watcher's whole replay" 300 all_hold "$total" 2>/dev/null
final=0
for ((i = 1; i <= watchers; i++)); do
  replay="$(replay_of "$i")"
  if cmp -s -- "$recording" "$replay"; then final=$((final + 1)); fi
done

summary() {  # summary "t1 t2 ..." -> "MEDIAN|MAX", in seconds, or "-|-"
  tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -n |
    awk '{ v[NR] = $1 } END { if (NR == 0) { print "-|-"; exit }
          m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
          printf "%.1f s|%.1f s\n", m, v[NR] }'
}
echo
echo "| fault | faults | recovered | recovery median | recovery max | watchers byte-exact after it |"
echo "|---|---|---|---|---|---|"
for kind in "${kinds[@]}"; do
  IFS='|' read -r median max <<<"$(summary "${times[$kind]}")"
  echo "| $kind | ${count[$kind]} | ${recovered[$kind]} | $median | $max | ${exact[$kind]} / $((count[$kind] * watchers)) |"
done
echo
echo "at the end: $final of $watchers watchers' replays equal the recording ($total bytes) byte for byte"
for ((i = 1; i <= watchers; i++)); do e2e_stop_client "$(eval echo "\$watcher${i}_pid")" "$work/watcher$i" 60; done
e2e_stop_client "$caster_pid" "$work/caster" 60
((final == watchers))
