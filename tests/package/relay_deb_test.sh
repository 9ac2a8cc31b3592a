#!/usr/bin/env bash
# The relay's Debian package, as scripts/package builds it: made with CPack from the build tree,
# then its files, control fields, maintainer scripts and systemd unit checked, lintian run on
# it (no error and no warning may remain), and the packaged program started.
#   relay_deb_test.sh --cpack PROGRAM --build DIR --scratch DIR
set -euo pipefail

cpack="" build="" scratch=""
while (($# > 0)); do
  case "$1" in
    --cpack) cpack="$2" ;;
    --build) build="$2" ;;
    --scratch) scratch="$2" ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
work="$scratch/relay-deb"
rm -rf "$work"
mkdir -p "$work"
failures=0
check() {
  local what="$1"
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}

(cd "$build" && "$cpack" -G DEB -B "$work" >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log" >&2
  exit 1
}
deb="$work/kavro-relay_0.0.2_amd64.deb"
check "CPack made kavro-relay_0.0.2_amd64.deb" test -f "$deb"

# Every file in the package, and nothing else.
dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' | sort >"$work/contents"
cat >"$work/expected" <<'LIST'
-rw-r--r-- root/root ./etc/default/kavro-relay
-rw-r--r-- root/root ./lib/systemd/system/kavro-relay.service
-rw-r--r-- root/root ./usr/share/doc/kavro-relay/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/kavro-relay/copyright
-rw-r--r-- root/root ./usr/share/man/man8/kavro-relay.8.gz
-rwxr-xr-x root/root ./usr/bin/kavro-relay
LIST
grep -v '^d' "$work/contents" | sort >"$work/files"
sort -o "$work/expected" "$work/expected"
check "the package holds the program, its unit, its options file and its documents" \
  diff -u "$work/expected" "$work/files"
echo "---- contents of $(basename "$deb") ----"
dpkg-deb -c "$deb"

field() { dpkg-deb -f "$deb" "$1"; }
check "it is the package kavro-relay 0.0.2 for amd64" \
  test "$(field Package) $(field Version) $(field Architecture)" = "kavro-relay 0.0.2 amd64"
check "it depends on the SQLite library" grep -q "libsqlite3-0" <<<"$(field Depends)"
check "/etc/default/kavro-relay is a configuration file" \
  test "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = "/etc/default/kavro-relay"
for script in postinst prerm postrm; do
  check "its $script is executable" \
    grep -q "rwxr-xr-x .* ./$script$" <<<"$(dpkg-deb --ctrl-tarfile "$deb" | tar -tv)"
done

mkdir -p "$work/root"
dpkg-deb -x "$deb" "$work/root"
unit="$work/root/lib/systemd/system/kavro-relay.service"
for line in "DynamicUser=yes" "StateDirectory=kavro-relay" "NoNewPrivileges=yes" \
  "ProtectSystem=strict" "ProtectHome=yes" "PrivateTmp=yes" \
  "EnvironmentFile=-/etc/default/kavro-relay" \
  'ExecStart=/usr/bin/kavro-relay $KAVRO_RELAY_OPTIONS'; do
  check "the unit says $line" grep -qxF -- "$line" "$unit"
done
check "the options file sets KAVRO_RELAY_OPTIONS" \
  grep -q '^KAVRO_RELAY_OPTIONS="--listen ' "$work/root/etc/default/kavro-relay"

# The packaged unit's exposure as systemd scores it, offline (no running systemd needed).
if command -v systemd-analyze >/dev/null; then
  systemd-analyze security --offline=true --no-pager "$unit" >"$work/security.txt" 2>&1 || true
  score=$(sed -n 's/.*Overall exposure level for kavro-relay.service: \([0-9.]*\).*/\1/p' \
    "$work/security.txt")
  echo "systemd-analyze security: ${score:-no score} (at most 3.0 wanted)"
  check "systemd-analyze scores the unit" test -n "$score"
  check "the unit's exposure is at most 3.0" awk -v s="${score:-99}" 'BEGIN { exit !(s <= 3.0) }'
  for line in "UMask=0077" "CapabilityBoundingSet=" "PrivateDevices=yes" \
    "SystemCallFilter=@system-service" "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX"; do
    check "the unit says $line" grep -qxF -- "$line" "$unit"
  done
  check "the unit bounds the relay's memory" grep -q '^MemoryMax=' "$unit"
else
  echo "FAILED: systemd-analyze is not installed (scripts/setup installs systemd)" >&2
  failures=$((failures + 1))
fi

# The packaged program runs, and under systemd it keeps its recordings in $STATE_DIRECTORY.
state="$work/state"
mkdir -p "$state"
STATE_DIRECTORY="$state" "$work/root/usr/bin/kavro-relay" --listen 127.0.0.1:0 --http off \
  >"$work/relay.out" 2>"$work/relay.log" &
relay_pid=$!
for _ in $(seq 1 300); do
  [[ -s "$work/relay.out" ]] && break
  sleep 0.1
done
check "the packaged program listens" grep -q '^listening on 127.0.0.1:' "$work/relay.out"
check "it keeps its recordings in \$STATE_DIRECTORY" test -f "$state/catalogue.sqlite"
kill -TERM "$relay_pid"
status=0
wait "$relay_pid" || status=$?
check "it stops on SIGTERM with status 0" test "$status" -eq 0

if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" >"$work/lintian.txt" 2>&1 || true
  grep -v "running with root privileges" "$work/lintian.txt" >"$work/lintian.tags" || true
  echo "---- lintian ----"
  cat "$work/lintian.tags"
  check "lintian finds no error and no warning" \
    bash -c "! grep -qE '^(E|W): ' '$work/lintian.tags'"
else
  echo "FAILED: lintian is not installed (scripts/setup installs it)" >&2
  failures=$((failures + 1))
fi

((failures == 0)) || exit 1
echo "PASS"
