#!/usr/bin/env bash
# The relay's options are written down in more than one place and have drifted before. This
# checks the one options table (the "## Options" section of docs/relay-operations.md) against
# what `kavro-relay --help` prints: every option of --help has a row, every row is an option of
# --help, and where both give a default it is the same. The man page's options must exist too.
#   options_table_test.sh --relay PROGRAM --table FILE [--man FILE]
set -euo pipefail

relay="" table="" man=""
while (($# > 0)); do
  case "$1" in
    --relay) relay="$2" ;;
    --table) table="$2" ;;
    --man) man="$2" ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# "--name default" per line; the default is left empty when --help shows none. CLI11 prints an
# option two spaces in as "--name TYPE=default", the type perhaps with its range
# ("FLOAT:SECONDS 0 to 31536000", "UINT:UINT in [1 - 256]"), then the description, on the same
# line or the next ones further in. --help itself is not an option of the table.
help_options() {
  "$relay" --help | awk '
    /^  --[a-z0-9-]+/ {
      name = $1
      rest = substr($0, index($0, name) + length(name))
      default = ""
      if (match(rest, /^ [A-Z][A-Z0-9:]*( [0-9.]+ to [0-9.]+| in \[[^]]*\])?=[^ ]+/)) {
        signature = substr(rest, 1, RLENGTH)
        default = substr(signature, index(signature, "=") + 1)
      }
      print name, default
    }'
}

# "--name default" per row of the table; the default only when the cell is a single value
# (a number or one `quoted` word, perhaps followed by a remark in brackets). "none" and "off"
# say there is none. Cells such as "the number of cores" are words, not a value to compare.
table_options() {
  awk '
    /^## / { in_options = ($0 == "## Options") ; next }
    in_options && /^\| `--/ {
      split($0, cells, "|")
      name = cells[2]
      gsub(/`/, "", name)
      sub(/^ +/, "", name)
      sub(/ .*/, "", name)
      cell = cells[3]
      gsub(/^ +| +$/, "", cell)
      sub(/ \(.*\)$/, "", cell)
      default = ""
      if (cell ~ /^`[^` ]+`$/ || cell ~ /^[0-9.]+$/) {
        default = cell
        gsub(/`/, "", default)
      }
      if (default == "none" || default == "off") default = ""
      print name, default
    }' "$table"
}

help_list="$(help_options)"
table_list="$(table_options)"
[[ -n "$help_list" ]] || fail "kavro-relay --help listed no options"
[[ -n "$table_list" ]] || fail "$table has no options table under \"## Options\""

declare -A help_default table_default
while read -r name default; do
  [[ -z "$name" ]] || help_default["$name"]="$default"
done <<<"$help_list"
while read -r name default; do
  [[ -z "$name" ]] || table_default["$name"]="$default"
done <<<"$table_list"

for name in "${!help_default[@]}"; do
  if [[ -z "${table_default[$name]+set}" ]]; then
    fail "$name is an option of kavro-relay --help but has no row in $table"
  elif [[ -n "${help_default[$name]}" && -n "${table_default[$name]}" &&
    "${help_default[$name]}" != "${table_default[$name]}" ]]; then
    fail "$name: --help gives the default ${help_default[$name]}, the table ${table_default[$name]}"
  fi
done
for name in "${!table_default[@]}"; do
  [[ -n "${help_default[$name]+set}" ]] ||
    fail "$name has a row in $table but is no option of kavro-relay --help"
done

if [[ -n "$man" ]]; then
  # The man page names a few options, each as ".BI \-\-name ..." (or .B).
  man_names="$(sed -n 's/^\.BI\{0,1\} \\-\\-\([a-z0-9\\-]*\).*/--\1/p' "$man" | sed 's/\\-/-/g')"
  [[ -n "$man_names" ]] || fail "$man names no options"
  while read -r name; do
    [[ -z "$name" || -n "${help_default[$name]+set}" ]] ||
      fail "$name is in the man page but is no option of kavro-relay --help"
  done <<<"$man_names"
fi

if ((failures > 0)); then exit 1; fi
echo "ok: the ${#help_default[@]} options of kavro-relay --help match the table in $table"
