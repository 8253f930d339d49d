#!/usr/bin/env bash
# Prepares everything the main job and the tests need; safe to run again and quick
# when nothing changed: Debian packages (when root), .venv, an incremental build.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
venv="$root/.venv"
build_dir="$root/build/native"
stamp="$root/build/.installed"

log() { echo "[setup] $*" >&2; }

install_debian_packages() {
    # chromium and its driver: the test that opens the report page in a headless browser.
    local wanted=(g++ libopencv-dev nlohmann-json3-dev zlib1g-dev chromium chromium-driver)
    local wanted_for_python
    read -ra wanted_for_python <<< "$(debian_python_packages)"
    wanted+=("${wanted_for_python[@]}")
    local missing=()
    for package in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    # Before OpenCV 4.7 the ArUco module is in contrib.
    local opencv_version
    opencv_version=$(dpkg-query -W -f='${Version}' libopencv-dev 2>/dev/null || true)
    if [ -z "$opencv_version" ] && [ "$(id -u)" = 0 ]; then
        apt-get update -qq
        opencv_version=$(apt-cache policy libopencv-dev | awk '/Candidate:/ {print $2}')
    fi
    if [ -n "$opencv_version" ] && dpkg --compare-versions "$opencv_version" lt 4.7; then
        dpkg-query -W -f='${Status}' libopencv-contrib-dev 2>/dev/null | grep -q "install ok installed" \
            || missing+=(libopencv-contrib-dev)
    fi
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" != 0 ]; then
        log "missing Debian packages (install them as root): ${missing[*]}"
        return 0
    fi
    log "installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Debian's own interpreters ship their headers and venv support as separate packages;
# a pyenv build has both already.
debian_python_packages() {
    local python version
    python=$(command -v "$(pick_python)")
    dpkg -S "$(readlink -f "$python")" >/dev/null 2>&1 || return 0
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    echo "python$version-dev python$version-venv"
}

pick_python() {
    for candidate in python3.11 python3; do
        if command -v "$candidate" >/dev/null 2>&1; then
            echo "$candidate"
            return
        fi
    done
    log "no python3 found"
    exit 1
}

prepare_venv() {
    if [ ! -x "$venv/bin/python" ]; then
        log "creating $venv"
        "$(pick_python)" -m venv "$venv"
    fi
    local wanted_hash
    wanted_hash=$(sha256sum requirements-dev.txt | cut -d' ' -f1)
    if [ "$(cat "$venv/.requirements" 2>/dev/null || true)" != "$wanted_hash" ]; then
        log "installing Python packages"
        "$venv/bin/python" -m pip install -q --upgrade pip
        "$venv/bin/python" -m pip install -q -r requirements-dev.txt
        echo "$wanted_hash" > "$venv/.requirements"
        rm -f "$stamp"
    fi
}

sources_changed() {
    [ -f "$stamp" ] || return 0
    [ -n "$(find src python tests/native CMakeLists.txt pyproject.toml -newer "$stamp" -print -quit)" ]
}

build_module() {
    if ! sources_changed && "$venv/bin/python" -c "import _vantel, _vantel_testhooks, vantel_tools" 2>/dev/null; then
        return 0
    fi
    log "building _vantel (incremental, in build/native)"
    mkdir -p "$root/build"
    touch "$stamp.new"
    # A persistent build folder keeps rebuilds incremental; the test hooks module
    # is part of this development build only, never of a plain 'pip install .'.
    "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
        -C build-dir="$build_dir" \
        -C cmake.define.VANTEL_TEST_HOOKS=ON \
        "$root"
    mv "$stamp.new" "$stamp"
}

install_debian_packages
prepare_venv
build_module
