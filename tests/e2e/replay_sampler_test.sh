#!/usr/bin/env bash
# The replay sampler, which the end-to-end cases leave watching every watcher's replay file, must
# be able to fail: a file emptied or cut under the same header is caught, a file that grows or
# starts again under a new header is not.
#   replay_sampler_test.sh SAMPLER
set -uo pipefail
sampler="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
file="$work/kavro.mpr"

run_case() {  # run_case NAME EXPECTED_STATUS STEP...: each step is a shell command on $file
  local name="$1" expected="$2"
  shift 2
  rm -f "$file"
  "$sampler" --file "$file" --interval-ms 10 >"$work/out" &
  local pid=$!
  for step in "$@"; do
    eval "$step"
    sleep 0.2 # several samples between steps; the sampler's own interval is 10 ms
  done
  kill -TERM "$pid"
  wait "$pid"
  local status=$?
  if ((status != expected)); then
    echo "FAIL: $name: status $status, expected $expected"
    cat "$work/out"
    exit 1
  fi
  echo "ok: $name"
}

header_a='head -c 16384 /dev/zero | tr "\0" a'
header_b='head -c 16384 /dev/zero | tr "\0" b'
block='head -c 4096 /dev/urandom'

run_case "a file that only grows passes" 0 \
  "$header_a >\"\$file\"" "$block >>\"\$file\"" "$block >>\"\$file\""
run_case "a new recording under a different header passes" 0 \
  "$header_a >\"\$file\"" "$block >>\"\$file\"" "{ $header_b; $block; } >\"\$file\""
run_case "a file emptied under its header fails" 1 \
  "$header_a >\"\$file\"" "$block >>\"\$file\"" ": >\"\$file\"" "$header_a >\"\$file\""
run_case "a file cut back under the same header fails" 1 \
  "$header_a >\"\$file\"" "$block >>\"\$file\"" "$block >>\"\$file\"" "truncate -s 20480 \"\$file\""
run_case "a deleted file fails" 1 "$header_a >\"\$file\"" "rm -f \"\$file\""
