#!/usr/bin/env bash
# Runs the intrinsic benchmark: Debian's python3-opencv first when root (the OpenCV build
# the module links, for the same-build comparison; a benchmark-only dependency), then the
# setup, then benchmarks/intrinsic.py with the given arguments.
# "run.sh quality [args]" runs the setup and benchmarks/quality.py instead (no system cv2 needed).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

if [ "${1:-}" = quality ]; then
    shift
    bash scripts/setup.sh
    exec "$root/.venv/bin/python" benchmarks/quality.py "$@"
fi

if ! dpkg-query -W -f='${Status}' python3-opencv 2>/dev/null | grep -q "install ok installed"; then
    if [ "$(id -u)" = 0 ]; then
        echo "[bench] installing python3-opencv" >&2
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends python3-opencv >/dev/null
    else
        echo "[bench] python3-opencv is missing and this is not root: the same-build comparison is skipped" >&2
    fi
fi
bash scripts/setup.sh
exec "$root/.venv/bin/python" benchmarks/intrinsic.py "$@"
