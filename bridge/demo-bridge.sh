#!/usr/bin/env bash
# A short run of dexhand-bridge for a demo: starts the bridge against hands
# that are already running (simulated ones, in the same private network
# namespace), reads a few samples of every hand back the way a ROS 2
# subscriber would, prints them, and stops the bridge with Ctrl-C (SIGINT).
#
#   bridge/demo-bridge.sh [BUILD_DIR]        (BUILD_DIR defaults to ./build)
#
# It refuses to run outside a private namespace made by
# tests/netns/run-in-netns, so the bridge's discovery never reaches a real
# network. DDS stays on loopback unless CYCLONEDDS_URI says otherwise.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-${BUILD_DIR:-$root/build}}"
bridge="$build/bridge/dexhand-bridge"
reader="$build/bridge/dexhand-ros-reader"
samples="${DEMO_SAMPLES:-2}"

for program in "$bridge" "$reader"; do
    if [ ! -x "$program" ]; then
        echo "demo-bridge: $program is missing; build first (scripts/test, or cmake --build $build)" >&2
        exit 1
    fi
done
# Loopback is the only interface (one line) and carries the hand subnet.
links="$(ip -o link show)"
loopback="$(ip -o addr show dev lo)"
if [[ "$links" == *$'\n'* || "$loopback" != *" 192.168.137.1/"* ]]; then
    echo "demo-bridge: run me inside tests/netns/run-in-netns, beside the simulated hands" >&2
    exit 1
fi

export CYCLONEDDS_URI="${CYCLONEDDS_URI:-<CycloneDDS><Domain Id=\"any\"><General><Interfaces><NetworkInterface name=\"lo\"/></Interfaces><AllowMulticast>false</AllowMulticast></General><Discovery><ParticipantIndex>auto</ParticipantIndex><MaxAutoParticipantIndex>20</MaxAutoParticipantIndex><Peers><Peer Address=\"127.0.0.1\"/></Peers></Discovery></Domain></CycloneDDS>}"

log="$(mktemp)"
"$bridge" --quiet >"$log" 2>&1 &
pid=$!
trap 'kill -INT "$pid" 2>/dev/null || true; rm -f "$log"' EXIT

# Discovery takes a second; the bridge names each hand it serves.
for _ in $(seq 1 100); do
    grep -q '^serving ' "$log" && break
    if ! kill -0 "$pid" 2>/dev/null; then
        cat "$log" >&2
        echo "demo-bridge: the bridge ended early" >&2
        exit 1
    fi
    sleep 0.1
done
sleep 0.2
echo "== dexhand-bridge:"
sed 's/^/   /' "$log"

status=0
while read -r _ address kind _ namespace; do
    echo "== $namespace/joint_states ($address, ${kind//[()]/})"
    "$reader" "$namespace/joint_states" --count "$samples" --timeout 10 || status=1
    if [ "$kind" = "(qmhv2)" ]; then
        echo "== $namespace/tactile"
        "$reader" "$namespace/tactile" --count 1 --timeout 10 || status=1
    fi
done < <(grep '^serving ' "$log")

kill -INT "$pid"
trap 'rm -f "$log"' EXIT
if ! wait "$pid"; then
    echo "demo-bridge: the bridge did not stop cleanly" >&2
    status=1
else
    echo "== dexhand-bridge stopped on Ctrl-C"
fi
exit "$status"
