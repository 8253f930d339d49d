#!/usr/bin/env bash
# Regenerates the type stubs of the built _vantel module into python/_vantel-stubs (installed beside
# the module, so editors complete and type checkers check user code). tests/test_stubs.py fails
# when they no longer match the module.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$root/.venv/bin/pybind11-stubgen" _vantel --exit-code -o "$scratch"
rm -rf python/_vantel-stubs
mv "$scratch/_vantel" python/_vantel-stubs
echo "[stubs] python/_vantel-stubs updated" >&2
