#!/usr/bin/env bash
# Runs a benchmark: Debian's python3-opencv first when root (the OpenCV build the module
# links, for the same-build comparisons; a benchmark-only dependency), then the setup, then
# benchmarks/<name>.py with the remaining arguments.
# Usage: benchmarks/run.sh [intrinsic|multi-camera|growth|quality|rig-refinement|threads] [arguments]   (intrinsic when no name is given)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

benchmark=intrinsic
case "${1:-}" in
    intrinsic|multi-camera|growth|quality|rig-refinement|threads) benchmark=$1; shift ;;
esac

# The quality and rig-refinement benchmarks measure the module alone: no system cv2 needed.
if [ "$benchmark" != quality ] && [ "$benchmark" != rig-refinement ] && [ "$benchmark" != threads ] && ! dpkg-query -W -f='${Status}' python3-opencv 2>/dev/null | grep -q "install ok installed"; then
    if [ "$(id -u)" = 0 ]; then
        echo "[bench] installing python3-opencv" >&2
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends python3-opencv >/dev/null
    else
        echo "[bench] python3-opencv is missing and this is not root: the same-build comparison is skipped" >&2
    fi
fi
bash scripts/setup.sh
exec "$root/.venv/bin/python" "benchmarks/${benchmark//-/_}.py" "$@"
