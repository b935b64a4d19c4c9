#!/usr/bin/env bash
# The demo: three simulated receivers on pseudo-terminals, mapped to COM Ports 1-3 in a private
# folder, and the wizard against them: in a desktop window when there is a display (and the wizard
# was built with Qt), else in this terminal. Arguments go to the wizard (--terminal, --desktop).
#   COM Port 1: healthy, answers at 19200, serial number VIZ12345678, firmware 169-508231-004
#   COM Port 2: healthy, answers at 9600, VIZ23456789, on external power with a weak battery
#   COM Port 3: unresponsive (no firmware, only its bootloader): use Restore; VIZ34567890 after it
# The simulators take the flasher's bytes at line speed, as a real receiver does: a 32 KB image
# takes seconds at 115200 and about half a minute at 9600.
# When the wizard ends, however it ends (Ctrl+C included), the simulators are stopped and the
# folder is removed.
set -u

bin=$(cd "$(dirname "$0")" && pwd)
for f in reflasher receiver-sim prog.exe @REFLASHER_FIRMWARE_VIZ@ @REFLASHER_FIRMWARE_OTHER@; do
    if [ ! -e "$bin/$f" ]; then
        echo "run-demo: $bin/$f is missing; build with: make demo" >&2
        exit 1
    fi
done
if { [ ! -t 0 ] || [ ! -t 1 ]; } && [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    # Say which stream: `make demo | tee log` has a terminal for input only.
    if [ -t 0 ]; then which="standard output is"; elif [ -t 1 ]; then which="standard input is"
    else which="standard input and output are"; fi
    echo "run-demo: $which not a terminal and no desktop display is named (DISPLAY, WAYLAND_DISPLAY):" \
         "the wizard needs a terminal for both, or a display" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/reflasher-demo.XXXXXX") || exit 1
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Each simulator in a session of its own: Ctrl+C is for the wizard and the flasher, not for them.
simulate() {
    local name=$1
    shift
    setsid "$bin/receiver-sim" --link "$work/$name" "$@" >"$work/$name.log" 2>&1 </dev/null &
    pids+=($!)
}
simulate com1 --baud 19200 --serial-prefix VIZ --serial-value 0x12345678 --version 169-508231-004 --external 0 --battery 4000
simulate com2 --baud 9600 --serial-prefix VIZ --serial-value 0x23456789 --version 169-508231-004 --external 1 --battery 3000
simulate com3 --bricked 1 --serial-prefix VIZ --serial-value 0x34567890

for _ in $(seq 200); do
    [ -L "$work/com1" ] && [ -L "$work/com2" ] && [ -L "$work/com3" ] && break
    sleep 0.05
done
for name in com1 com2 com3; do
    if [ ! -L "$work/$name" ]; then
        echo "run-demo: the simulated receiver for $name did not start:" >&2
        cat "$work/$name.log" >&2
        exit 1
    fi
done

# From here Ctrl+C belongs to the wizard (and the flasher it runs): the wizard's own way of ending
# decides the demo's exit status.
trap ':' INT
REFLASHER_COM1="$work/com1" REFLASHER_COM2="$work/com2" REFLASHER_COM3="$work/com3" TMPDIR="$work/" \
    "$bin/reflasher" "$@"
status=$?
echo "Demo ended; the simulated receivers are stopped."
exit $status
