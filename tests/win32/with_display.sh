#!/usr/bin/env bash
# Runs a Windows program under Wine on an X display: the one in DISPLAY when there is one, else a
# virtual display of its own (Xvfb) that lives as long as the program. With KAVRO_TEST_DPI=144 it
# runs in the Wine prefix set to 144 DPI (scripts/wine_prefixes.sh), which scripts/setup makes,
# on that prefix's own display (KAVRO_DISPLAY_144DPI, which scripts/test-windows starts), never
# on the one the other prefix's programs use.
#
#   with_display.sh PROGRAM [ARGS...]
set -euo pipefail
export WINEDEBUG="${WINEDEBUG:--all}"
# shellcheck source=scripts/wine_prefixes.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine_prefixes.sh"
case "${KAVRO_TEST_DPI:-96}" in
  96) ;;
  144)
    if [[ ! -f "$KAVRO_WINE_PREFIX_144DPI/system.reg" ]]; then
      echo "no Wine prefix at 144 DPI in $KAVRO_WINE_PREFIX_144DPI: run scripts/setup" >&2
      exit 1
    fi
    export WINEPREFIX="$KAVRO_WINE_PREFIX_144DPI"
    if [[ -n "${KAVRO_DISPLAY_144DPI:-}" ]]; then
      export DISPLAY="$KAVRO_DISPLAY_144DPI" XAUTHORITY="${KAVRO_XAUTHORITY_144DPI:-}"
    else
      unset DISPLAY
    fi
    ;;
  *)
    echo "KAVRO_TEST_DPI is ${KAVRO_TEST_DPI}: only 96 and 144 have Wine prefixes" >&2
    exit 1
    ;;
esac
if [[ -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1; then
  exec wine "$@"
fi
exec xvfb-run -a -s "-screen 0 1024x768x24" wine "$@"
