#!/usr/bin/env bash
# Exit status 0 when the system has a serial device (a ttyS without a UART does not count).
for dev in /sys/class/tty/*/device; do
  [ -e "$dev" ] || continue
  tty=$(dirname "$dev")
  case "$(basename "$tty")" in
    ttyS*) [ "$(cat "$tty/type" 2>/dev/null || echo 0)" != 0 ] && exit 0 ;;
    *) exit 0 ;;
  esac
done
exit 1
