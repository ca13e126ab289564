#!/bin/sh
# Started by kelvane (detached) when the UPS is about to switch its output
# off: powers this computer off 30 seconds later, leaving the running
# programs that long to finish.
sleep 30
if command -v systemctl >/dev/null 2>&1 && systemctl poweroff 2>/dev/null; then
  exit 0
fi
exec shutdown -P now
