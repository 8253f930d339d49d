#!/usr/bin/env bash
# Runs the whole test suite after making sure the build is current.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
cd "$root"
exec "$root/.venv/bin/python" -m pytest "$@"
