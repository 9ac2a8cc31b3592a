# shellcheck shell=bash
# The Wine prefixes the Windows tests run in (sourced by scripts/setup, scripts/test-windows and
# tests/win32/with_display.sh):
#   KAVRO_WINE_PREFIX         $WINEPREFIX, or Wine's default ~/.wine: every Windows test, at
#                             Wine's own 96 DPI, which nothing here ever changes
#   KAVRO_WINE_PREFIX_144DPI  $KAVRO_WINEPREFIX_144DPI, or the first with "-144dpi" appended: the
#                             window tests again at 144 DPI (display scaling 150 %)
# shellcheck disable=SC2034  # used by the scripts that source this
KAVRO_WINE_PREFIX="${WINEPREFIX:-$HOME/.wine}"
KAVRO_WINE_PREFIX_144DPI="${KAVRO_WINEPREFIX_144DPI:-$KAVRO_WINE_PREFIX-144dpi}"
