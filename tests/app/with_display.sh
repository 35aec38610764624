#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs a test that must be seen on a screen: on the display at hand, or on a
# private Xvfb when there is none.
if [ -n "${DISPLAY:-}" ]; then
  exec "$@"
fi
exec xvfb-run -a -s "-screen 0 1024x768x24" "$@"
