# Shared set-up for the scripts in this folder: system packages, the CPython
# interpreters, their virtual environments and the built distributions.
# Every step is idempotent, so the scripts can run on a fresh machine or a
# used one, and a step that fails stops the script with its own message.
set -euo pipefail
# Without this, a failure inside $(...) is ignored and the script goes on
# with an empty value.
shopt -s inherit_errexit

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
DIST="$ROOT/dist"
export PIP_DISABLE_PIP_VERSION_CHECK=1

log() { printf '==> %s\n' "$*" >&2; }
die() { printf '==> error: %s\n' "$*" >&2; exit 1; }

# Interpreters the project runs on, oldest first: each is tested before it
# is added here and named in pyproject.toml's classifiers (a test compares
# the two). The wheel is built with the oldest one found; the tests run on
# every one found.
PYTHON_VERSIONS=(3.12 3.13 3.14 3.15)

# ---------------------------------------------------------------------------
# Debian packages

SUDO=""
APT_UPDATED=0

need_root() {
  [ "$(id -u)" -eq 0 ] && return 0
  command -v sudo >/dev/null 2>&1 || die "installing Debian packages needs root: run as root or install sudo"
  SUDO="sudo"
}

apt_update_once() {
  [ "$APT_UPDATED" -eq 1 ] && return 0
  need_root
  log "updating the apt package lists"
  $SUDO apt-get update -qq
  APT_UPDATED=1
}

# (No `grep -q` after a pipe here: it stops reading at the first match, the
# writer dies of SIGPIPE, and pipefail turns a match into a failure.)

# apt_has PACKAGE: the package can be installed from the configured archives.
# Its own record is looked for: a name that is not a package is taken by apt
# as a pattern, and `python3.15` (the dot matching any character) finds
# postgresql-plpython3-15 on Debian 12.
apt_has() {
  local records
  compgen -G "/var/lib/apt/lists/*_Packages*" >/dev/null || apt_update_once
  records=$(apt-cache show --no-all-versions "$1" 2>/dev/null) || true
  [[ $'\n'"$records"$'\n' == *$'\n'"Package: $1"$'\n'* ]]
}

# dpkg_installed PACKAGE: the package is installed.
dpkg_installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

apt_install() {
  local missing=() package
  for package in "$@"; do
    dpkg_installed "$package" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  apt_update_once
  log "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# Debian 12 and 13 ship BLAKE3 only as the Rust crate's sources, whose C part
# CMake builds; a distribution with a C library package gets that instead.
blake3_package() {
  local package
  for package in libblake3-dev librust-blake3-dev; do
    if dpkg_installed "$package"; then
      echo "$package"
      return 0
    fi
  done
  if apt_has libblake3-dev; then echo libblake3-dev; else echo librust-blake3-dev; fi
}

# What building the module needs. CMake and Ninja come from PyPI into the
# virtual environments: Debian 12's CMake is older than the build needs.
install_build_packages() {
  local blake3
  blake3=$(blake3_package)
  apt_install build-essential pkg-config libgcrypt20-dev "$blake3"
}

# What the tests need beyond the build: GoogleTest, unshare and mount
# (util-linux and mount, present on every Debian) for the wheel test, and
# man to render the man page.
install_test_packages() {
  apt_install googletest libgtest-dev util-linux mount man-db
}

# ---------------------------------------------------------------------------
# CPython interpreters

# is_cpython PATH VERSION: PATH runs and is CPython VERSION itself, not a
# virtual environment made from it (which may be one of ours).
is_cpython() {
  "$1" -c "import sys; sys.exit(not (sys.implementation.name == 'cpython'
           and '%d.%d' % sys.version_info[:2] == '$2' and sys.prefix == sys.base_prefix))" \
    >/dev/null 2>&1
}

# python_candidates VERSION: every place an interpreter of VERSION may be.
python_candidates() {
  local version=$1 pyenv_root=${PYENV_ROOT:-$HOME/.pyenv} candidate
  for candidate in "python$version" python3 python; do
    command -v "$candidate" 2>/dev/null || true
  done
  # Newest patch release first.
  ls -d "$pyenv_root"/versions/"$version".*/bin/"python$version" 2>/dev/null | sort -rV || true
  printf '%s\n' /usr/local/bin/"python$version" /usr/bin/"python$version"
}

# A Debian interpreter needs its venv and dev packages to make virtual
# environments and build extensions; the apt archives may also offer one
# that is not installed yet (Debian 13's python3.13). Sets DEBIAN_PYTHON to
# its path, or to nothing.
debian_python() {
  local version=$1
  DEBIAN_PYTHON=""
  if [ -x "/usr/bin/python$version" ] || apt_has "python$version"; then
    apt_install "python$version" "python$version-venv" "python$version-dev"
    if is_cpython "/usr/bin/python$version" "$version"; then
      DEBIAN_PYTHON="/usr/bin/python$version"
    fi
  fi
}

# find_python VERSION: sets FOUND_PYTHON to an interpreter of VERSION, or to
# nothing. Debian's own comes last, through debian_python, so that its venv
# and dev packages are installed with it.
find_python() {
  local version=$1 candidate
  FOUND_PYTHON=""
  while read -r candidate; do
    [ -n "$candidate" ] || continue
    case "$candidate" in /usr/bin/*) continue ;; esac
    if is_cpython "$candidate" "$version"; then FOUND_PYTHON=$candidate; return 0; fi
  done < <(python_candidates "$version")
  debian_python "$version"
  FOUND_PYTHON=$DEBIAN_PYTHON
}

no_python() {
  die "no CPython ${PYTHON_VERSIONS[0]} or later found" \
    "(looked on PATH, in pyenv, in /usr/local/bin and /usr/bin, and in apt):" \
    "install one, e.g. with pyenv (pyenv install ${PYTHON_VERSIONS[0]}), or use Debian 13"
}

# Sets PYTHONS to "VERSION PATH" lines, one for each version found, oldest
# first; stops the script with one line if there is none.
find_pythons() {
  local version
  PYTHONS=()
  for version in "${PYTHON_VERSIONS[@]}"; do
    find_python "$version"
    [ -n "$FOUND_PYTHON" ] && PYTHONS+=("$version $FOUND_PYTHON")
  done
  [ ${#PYTHONS[@]} -gt 0 ] || no_python
  log "CPython found: $(printf '%s; ' "${PYTHONS[@]}")"
}

# The version of the system's `python3`, if the project supports it: the
# one on PATH, or else the one Debian's python3 package would install (a
# fresh Debian has none installed). Prints nothing otherwise.
default_python_version() {
  local version="" supported
  if command -v python3 >/dev/null 2>&1; then
    version=$(python3 -c "import sys
if sys.implementation.name == 'cpython': print('%d.%d' % sys.version_info[:2])" 2>/dev/null) || true
  elif command -v apt-cache >/dev/null 2>&1 && apt_has python3; then
    version=$(apt-cache show --no-all-versions python3 |
              sed -n 's/^Depends: *python\(3\.[0-9]*\)\b.*/\1/p')
  fi
  for supported in "${PYTHON_VERSIONS[@]}"; do
    [ "$version" = "$supported" ] && echo "$version" && return 0
  done
  return 0
}

# Sets PYTHON_VERSION and PYTHON to the interpreter a user's commands run on:
# the system's default python3 when the project supports its version, or
# else the oldest supported one found.
find_default_python() {
  local version
  version=$(default_python_version)
  if [ -n "$version" ]; then
    find_python "$version"
    if [ -n "$FOUND_PYTHON" ]; then
      PYTHON_VERSION=$version PYTHON=$FOUND_PYTHON
      log "CPython: $PYTHON_VERSION $PYTHON (the system's python3)"
      return 0
    fi
  fi
  find_pythons
  read -r PYTHON_VERSION PYTHON <<<"${PYTHONS[0]}"
}

# ---------------------------------------------------------------------------
# Virtual environments

# ensure_venv VERSION PYTHON REQUIREMENTS...: sets VENV to .venv-VERSION,
# made with PYTHON, with each requirements file installed (again only when
# the file changed).
ensure_venv() {
  local version=$1 python=$2 requirements stamp; shift 2
  VENV="$ROOT/.venv-$version"
  if ! "$VENV/bin/python" -c 'import pip' >/dev/null 2>&1; then
    log "creating $VENV with $python"
    rm -rf "$VENV"
    "$python" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip
  fi
  for requirements in "$@"; do
    stamp="$VENV/.installed-$(basename "$requirements")"
    if ! sha256sum --status -c "$stamp" 2>/dev/null; then
      log "installing $(basename "$requirements") into $VENV"
      "$VENV/bin/python" -m pip install -q -r "$requirements"
      sha256sum "$requirements" >"$stamp"
    fi
  done
}

# ---------------------------------------------------------------------------
# Distributions

# run_logged LOG COMMAND...: runs COMMAND with its output in LOG; if it fails,
# shows the end of LOG and stops.
run_logged() {
  local logfile=$1; shift
  mkdir -p "$(dirname "$logfile")"
  if ! "$@" >"$logfile" 2>&1; then
    tail -n 40 "$logfile" >&2
    die "$* failed; the whole output is in $logfile"
  fi
}

# Digest of everything the distributions are made of, and of the interpreter
# that builds them: when it is unchanged, nothing is rebuilt.
source_digest() {
  local venv=$1
  {
    (cd "$ROOT" && find CMakeLists.txt cmake src python pyproject.toml README.md LICENSE licenses \
       -type f ! -name '*.pyc' -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
    "$venv/bin/python" -VV
  } | sha256sum | cut -d' ' -f1
}

# build_dist VENV: the sdist, and the wheel built from that sdist alone, in
# build/dist (unless the sources are unchanged). Sets SDIST and PLAIN_WHEEL.
build_dist() {
  local venv=$1 digest
  digest=$(source_digest "$venv")
  if [ "$(cat "$BUILD/dist/.digest" 2>/dev/null)" != "$digest" ]; then
    log "building the sdist and, from it, the wheel (with $("$venv/bin/python" -V))"
    rm -rf "$BUILD/dist"
    # CMake and Ninja from PyPI, in the virtual environment.
    PATH="$venv/bin:$PATH" run_logged "$BUILD/logs/dist.log" \
      "$venv/bin/python" -m build --no-isolation --outdir "$BUILD/dist" "$ROOT"
    echo "$digest" >"$BUILD/dist/.digest"
  else
    log "sdist and wheel up to date"
  fi
  SDIST=$(ls "$BUILD"/dist/quorvex-*.tar.gz)
  PLAIN_WHEEL=$(ls "$BUILD"/dist/quorvex-*-cp312-abi3-linux_x86_64.whl)
}

# auditwheel_repair VENV WHAT PLAIN SDIST DIST LOG [LIBRARY_PATH]: the
# self-contained manylinux wheel made by auditwheel from the PLAIN wheel,
# and the SDIST beside it, in DIST, unless DIST already holds them for this
# very PLAIN wheel. auditwheel finds the libraries to bundle on the library
# path (LIBRARY_PATH first, when given). WHAT names the wheel in messages.
auditwheel_repair() {
  local venv=$1 what=$2 plain=$3 sdist=$4 dist=$5 logfile=$6
  # Set only when given: some auditwheel versions read an empty
  # LD_LIBRARY_PATH as the current directory.
  local -a library_path=()
  if [ -n "${7:-}" ]; then library_path=("LD_LIBRARY_PATH=$7${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"); fi
  if [ "$(cat "$dist/.from" 2>/dev/null)" != "$(sha256sum <"$plain")" ]; then
    log "repairing $what with auditwheel"
    rm -rf "$dist"
    PATH="$venv/bin:$PATH" run_logged "$logfile" \
      env "${library_path[@]}" "$venv/bin/auditwheel" repair --wheel-dir "$dist" "$plain"
    cp "$sdist" "$dist/"
    sha256sum <"$plain" >"$dist/.from"
  else
    log "$what: repaired copy up to date"
  fi
}

# repair_wheel VENV: the self-contained manylinux wheel, made by auditwheel
# from PLAIN_WHEEL, and the sdist, in dist/. Sets REPAIRED_WHEEL.
repair_wheel() {
  auditwheel_repair "$1" "the wheel" "$PLAIN_WHEEL" "$SDIST" "$DIST" "$BUILD/logs/auditwheel.log"
  REPAIRED_WHEEL=$(ls "$DIST"/quorvex-*-cp312-abi3-manylinux_*_x86_64.whl)
}

# install_wheel VENV WHEEL: installs WHEEL and its dependencies, unless that
# very file is installed already.
install_wheel() {
  local venv=$1 wheel=$2 stamp="$1/.installed-wheel"
  if [ "$(cat "$stamp" 2>/dev/null)" != "$(sha256sum <"$wheel")" ]; then
    log "installing $(basename "$wheel") into $venv"
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
    "$venv/bin/python" -m pip install -q "$wheel"
    sha256sum <"$wheel" >"$stamp"
  fi
}
