#!/usr/bin/env bash
# Starts the utility, after checking that there is a desktop to show it on.
set -euo pipefail
exe="$1"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "NorvaHB needs a graphical desktop: no DISPLAY or WAYLAND_DISPLAY is set (log in to a desktop; 'make demo' starts a virtual one of its own)." >&2
    exit 1
fi
exec "$exe"
