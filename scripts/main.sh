#!/usr/bin/env bash
# The main job: builds what is missing, then runs the example calibration session.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
exec "$root/.venv/bin/python" "$root/scripts/main_job.py" "$@"
