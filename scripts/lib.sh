# Shared set-up for the scripts in this folder: system packages, the two
# interpreters, their virtual environments and the built module. Every step
# is idempotent, so the scripts can run on a fresh machine or a used one.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
export PIP_DISABLE_PIP_VERSION_CHECK=1

log() { printf '==> %s\n' "$*" >&2; }

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
APT_UPDATED=0

apt_update_once() {
  [ "$APT_UPDATED" -eq 1 ] && return 0
  $SUDO apt-get update -qq
  APT_UPDATED=1
}

apt_install() {
  local missing=()
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]}"
  apt_update_once
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
}

# BLAKE3 comes as a C library on Debian 13 and only as the Rust crate's C
# sources on Debian 12; CMake finds either.
blake3_package() {
  apt_update_once >&2
  if apt-cache show libblake3-dev >/dev/null 2>&1; then
    echo libblake3-dev
  else
    echo librust-blake3-dev
  fi
}

install_system_packages() {
  # CMake and Ninja come from PyPI into the virtual environments: Debian 12's
  # CMake is older than the build needs.
  local packages=(build-essential pkg-config libgcrypt20-dev googletest libgtest-dev)
  if ! dpkg -s libblake3-dev >/dev/null 2>&1 && ! dpkg -s librust-blake3-dev >/dev/null 2>&1; then
    apt_update_once
    packages+=("$(blake3_package)")
  fi
  apt_install "${packages[@]}"
}

# Path of a working pythonX.Y: on PATH, under pyenv, or from Debian.
find_python() {
  local version=$1 candidate
  for candidate in "python$version" "$HOME"/.pyenv/versions/"$version"*/bin/"python$version" \
                   /usr/local/bin/"python$version" /usr/bin/"python$version"; do
    if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c '' >/dev/null 2>&1; then
      command -v "$candidate"
      return 0
    fi
  done
  apt_install "python$version" "python$version-venv" "python$version-dev" >/dev/null 2>&1 || true
  if /usr/bin/"python$version" -c '' >/dev/null 2>&1; then
    echo /usr/bin/"python$version"
    return 0
  fi
  log "no python$version found"
  return 1
}

# venv_for VERSION: a virtual environment with the test dependencies.
venv_for() {
  local version=$1 venv="$ROOT/.venv-$1"
  if [ ! -x "$venv/bin/python" ]; then
    log "creating $venv"
    "$(find_python "$version")" -m venv "$venv"
  fi
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$venv/bin/python" -m pip install -q -r "$ROOT/requirements-dev.txt"
  echo "$venv"
}

# Builds the stable-ABI wheel once (with 3.12) and installs that same file
# into each given virtual environment.
build_and_install_wheel() {
  local builder=$1; shift
  rm -rf "$BUILD/wheel"
  log "building the wheel"
  "$builder/bin/python" -m pip wheel -q --no-deps -w "$BUILD/wheel" "$ROOT"
  local wheel
  wheel=$(ls "$BUILD"/wheel/quorvex_core-*-abi3-*.whl)
  for venv in "$@"; do
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  done
}
