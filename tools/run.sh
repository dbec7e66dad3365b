#!/usr/bin/env bash
# Sets up, builds and starts the program.
#
#   tools/run.sh                    against the simulated instrument: lumatrax-sim runs in
#                                   build/demo, with a COM1 link and a Lumatrax.cfg naming port 1,
#                                   the program starts there, and the simulator stops with it
#   tools/run.sh -- SIM-OPTIONS     the same, with options for lumatrax-sim (--rate 0 for the
#                                   full line rate, --seed N, --reject-share F; see its --help)
#   tools/run.sh --start-dir DIR    against a real instrument: the program starts in DIR, whose
#                                   Lumatrax.cfg names the port and where a COMn link may lead
#                                   to the device
set -euo pipefail
invoked_from=$PWD
cd "$(dirname "$0")/.."
root=$PWD

start_dir=
# Ten pieces a second, so each verdict can be seen; every command is printed as it arrives.
sim_options=(--rate 10 --verbose)
while [ $# -gt 0 ]; do
    case "$1" in
    --start-dir)
        [ $# -ge 2 ] || { echo "run.sh: --start-dir needs a directory" >&2; exit 2; }
        start_dir=$2
        shift 2
        ;;
    --)
        shift
        sim_options+=("$@")
        break
        ;;
    -h | --help)
        sed -n '2,12s/^# \{0,1\}//p' "$0"
        exit 0
        ;;
    *)
        echo "run.sh: unknown argument $1 (see tools/run.sh --help)" >&2
        exit 2
        ;;
    esac
done

tools/install-deps.sh
cmake --preset default
# Only what it starts: the program, and the simulator when there is no instrument. The tests,
# benchmarks and package come with tools/test.sh or a full build.
if [ -n "$start_dir" ]; then
    cmake --build --preset default --target lumatrax
else
    cmake --build --preset default --target lumatrax lumatrax-sim
fi
program=$root/build/default/app/lumatrax

if [ -n "$start_dir" ]; then
    cd "$invoked_from"
    cd "$start_dir"
    exec "$program"
fi

demo=$root/build/demo
mkdir -p "$demo"
printf '1\r\n' >"$demo/Lumatrax.cfg"
# A link left by a simulator that was killed would look like a ready one.
if [ -L "$demo/COM1" ]; then
    rm -f "$demo/COM1"
fi

"$root/build/default/tools/sim/lumatrax-sim" --dir "$demo" --port 1 "${sim_options[@]}" &
sim=$!
stop_sim() {
    if kill -0 "$sim" 2>/dev/null; then
        kill -TERM "$sim" 2>/dev/null || true
    fi
    wait "$sim" 2>/dev/null || true
}
trap stop_sim EXIT

for _ in $(seq 100); do
    [ -L "$demo/COM1" ] && break
    kill -0 "$sim" 2>/dev/null || { echo "run.sh: lumatrax-sim did not start" >&2; exit 1; }
    sleep 0.05
done
[ -L "$demo/COM1" ] || { echo "run.sh: lumatrax-sim placed no COM1 link" >&2; exit 1; }

cd "$demo"
status=0
"$program" || status=$?
exit "$status"
