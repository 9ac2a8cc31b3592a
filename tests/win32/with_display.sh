#!/usr/bin/env bash
# Runs a Windows program under Wine on an X display: the one in DISPLAY when there is one, else a
# virtual display of its own (Xvfb) that lives as long as the program.
#
#   with_display.sh PROGRAM [ARGS...]
set -euo pipefail
export WINEDEBUG="${WINEDEBUG:--all}"
if [[ -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1; then
  exec wine "$@"
fi
exec xvfb-run -a -s "-screen 0 1024x768x24" wine "$@"
