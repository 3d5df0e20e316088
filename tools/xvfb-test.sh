#!/bin/sh
# Runs a test on a private X server. Where none can be started the test is skipped (status 77),
# saying why, rather than failed for what the machine lacks.
screen="-screen 0 1280x1024x24"
if ! why=$(xvfb-run -a -s "$screen" true 2>&1); then
    echo "SKIP: cannot start an X server with xvfb-run: $why"
    exit 77
fi
exec xvfb-run -a -s "$screen" "$@"
