# The aarch64 (64-bit ARM Linux) build, cross-compiled on this x86-64 Debian
# machine, and its test under emulation. Sourced after lib.sh by
# scripts/build-wheel --arch aarch64 and scripts/test-aarch64.

AARCH64_TRIPLE=aarch64-linux-gnu
AARCH64_BUILD="$BUILD/aarch64"
# Debian's arm64 packages unpacked here, not installed: the target libraries
# the build links and the wheel bundles (cmake/toolchain-aarch64-linux-gnu.cmake).
AARCH64_TARGET_ROOT="$AARCH64_BUILD/target-root"
AARCH64_TOOLCHAIN="$ROOT/cmake/toolchain-aarch64-linux-gnu.cmake"
AARCH64_DIST="$ROOT/dist-aarch64"
# The target packages: what the module links, and GoogleTest for the C++ tests.
AARCH64_TARGET_PACKAGES=(libgcrypt20 libgcrypt20-dev libgpg-error0 libgpg-error-dev libgtest-dev)

# The cross compilers, and arm64 in dpkg's architectures so that apt can
# fetch arm64 packages (nothing arm64 is installed by this).
install_aarch64_cross_packages() {
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    need_root
    log "adding arm64 to dpkg's architectures (to download the target's packages)"
    $SUDO dpkg --add-architecture arm64
    APT_UPDATED=0
    apt_update_once
  elif ! compgen -G "/var/lib/apt/lists/*_binary-arm64_Packages*" >/dev/null; then
    APT_UPDATED=0
    apt_update_once
  fi
  apt_install "g++-$AARCH64_TRIPLE" "gcc-$AARCH64_TRIPLE"
}

# aarch64_package_versions: "package=version" of every target package, as apt
# offers them now (the same versions as the machine's own x86-64 packages).
aarch64_package_versions() {
  local package version
  for package in "${AARCH64_TARGET_PACKAGES[@]}"; do
    version=$(apt-cache policy "$package:arm64" | awk '/Candidate:/ {print $2}')
    [ -n "$version" ] && [ "$version" != "(none)" ] \
      || die "apt offers no $package for arm64 (is arm64 in dpkg --print-foreign-architectures?)"
    echo "$package:arm64=$version"
  done
}

# prepare_aarch64_target_root: downloads the target packages and unpacks them
# into AARCH64_TARGET_ROOT, unless the same versions are there already.
prepare_aarch64_target_root() {
  local wanted debs deb
  wanted=$(aarch64_package_versions)
  if [ "$(cat "$AARCH64_TARGET_ROOT/.packages" 2>/dev/null)" = "$wanted" ]; then
    return 0
  fi
  log "unpacking the arm64 packages into $AARCH64_TARGET_ROOT"
  rm -rf "$AARCH64_TARGET_ROOT" "$AARCH64_BUILD/debs"
  debs="$AARCH64_BUILD/debs"
  mkdir -p "$debs" "$AARCH64_TARGET_ROOT"
  # shellcheck disable=SC2046
  (cd "$debs" && apt-get download -qq $wanted) >"$AARCH64_BUILD/download.log" 2>&1 \
    || { cat "$AARCH64_BUILD/download.log" >&2; die "apt-get download of the arm64 packages failed"; }
  for deb in "$debs"/*.deb; do
    dpkg-deb -x "$deb" "$AARCH64_TARGET_ROOT"
  done
  merge_target_library_dirs
  echo "$wanted" >"$AARCH64_TARGET_ROOT/.packages"
}

# merge_target_library_dirs: Debian 12's runtime packages put their shared
# objects in /lib/<triple> and the dev packages link to them there by
# absolute path (libgpg-error.so -> /lib/aarch64-linux-gnu/libgpg-error.so.0),
# which outside an arm64 system names nothing. Moves them into
# usr/lib/<triple>, as a merged /usr has them, and makes such links relative.
merge_target_library_dirs() {
  local libdir="$AARCH64_TARGET_ROOT/usr/lib/$AARCH64_TRIPLE" legacy="$AARCH64_TARGET_ROOT/lib/$AARCH64_TRIPLE"
  local link target
  mkdir -p "$libdir"
  if [ -d "$legacy" ]; then
    cp -a "$legacy"/. "$libdir"/
    rm -rf "$AARCH64_TARGET_ROOT/lib"
  fi
  for link in "$libdir"/*; do
    [ -L "$link" ] || continue
    target=$(readlink "$link")
    case "$target" in
      /lib/"$AARCH64_TRIPLE"/* | /usr/lib/"$AARCH64_TRIPLE"/*) ln -sfn "$(basename "$target")" "$link" ;;
    esac
  done
}

# aarch64_source_digest VENV: what the aarch64 distributions are made of,
# the target packages' versions included.
aarch64_source_digest() {
  { source_digest "$1"; cat "$AARCH64_TARGET_ROOT/.packages"; } | sha256sum | cut -d' ' -f1
}

# aarch64_build_dist VENV: the sdist and, from it, the aarch64 wheel
# (linux_aarch64, as built), cross-compiled, in build/aarch64/dist. Sets
# AARCH64_SDIST and AARCH64_PLAIN_WHEEL.
#
# The module is built against the build machine's CPython 3.12 headers: for
# the stable ABI they are the same on both processors (both LP64 and little
# endian; pyconfig.h differs only in x87/x86-64 assembly flags, which the
# limited API does not read, and in HAVE_USABLE_WCHAR_T, which only decides
# whether <wchar.h> is included). _PYTHON_HOST_PLATFORM gives the wheel its
# platform tag.
aarch64_build_dist() {
  local venv=$1 digest out="$AARCH64_BUILD/dist"
  digest=$(aarch64_source_digest "$venv")
  if [ "$(cat "$out/.digest" 2>/dev/null)" != "$digest" ]; then
    log "building the sdist and, from it, the aarch64 wheel (cross-compiled with $AARCH64_TRIPLE-g++)"
    rm -rf "$out"
    PATH="$venv/bin:$PATH" QUORVEX_TARGET_ROOT="$AARCH64_TARGET_ROOT" _PYTHON_HOST_PLATFORM=linux-aarch64 \
      run_logged "$AARCH64_BUILD/logs/dist.log" \
      "$venv/bin/python" -m build --no-isolation --outdir "$out" \
        -C"cmake.define.CMAKE_TOOLCHAIN_FILE=$AARCH64_TOOLCHAIN" \
        -C"build-dir=$AARCH64_BUILD/wheel-build" "$ROOT"
    echo "$digest" >"$out/.digest"
  else
    log "aarch64 sdist and wheel up to date"
  fi
  AARCH64_SDIST=$(ls "$out"/quorvex-*.tar.gz)
  AARCH64_PLAIN_WHEEL=$(ls "$out"/quorvex-*-cp312-abi3-linux_aarch64.whl)
}

# aarch64_repair_wheel VENV: the self-contained manylinux aarch64 wheel, made
# by auditwheel from AARCH64_PLAIN_WHEEL with the target root's libgcrypt and
# libgpg-error bundled, in dist-aarch64/ beside its sdist (apart from dist/,
# which the x86-64 build empties and its tests look through). Sets
# AARCH64_REPAIRED_WHEEL.
aarch64_repair_wheel() {
  # auditwheel takes only the libraries of the wheel's architecture from
  # the library path: the arm64 ones are found in the target root.
  auditwheel_repair "$1" "the aarch64 wheel" "$AARCH64_PLAIN_WHEEL" "$AARCH64_SDIST" \
    "$AARCH64_DIST" "$AARCH64_BUILD/logs/auditwheel.log" \
    "$AARCH64_TARGET_ROOT/usr/lib/$AARCH64_TRIPLE"
  AARCH64_REPAIRED_WHEEL=$(ls "$AARCH64_DIST"/quorvex-*-cp312-abi3-manylinux_*_aarch64.whl)
}

# ---------------------------------------------------------------------------
# The test under emulation (scripts/test-aarch64)

# arm64_root_tool: the path of arm64-root, which runs commands in an arm64
# Debian 13 root under qemu-user emulation in a private user namespace
# (QUORVEX_ARM64_ROOT, else the project's shared tools beside the checkout).
arm64_root_tool() {
  local candidate
  for candidate in "${QUORVEX_ARM64_ROOT:-}" "$ROOT/../shared/tools/arm64-root" \
                   "$ROOT/../../shared/tools/arm64-root"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
  done
  die "arm64-root not found: set QUORVEX_ARM64_ROOT to its path"
}

# aarch64_cpp_tests VENV: the GoogleTest binary, cross-compiled, in
# build/aarch64/cpp-tests/tests/cpp/quorvex_cpp_tests.
aarch64_cpp_tests() {
  local venv=$1 dir="$AARCH64_BUILD/cpp-tests"
  log "cross-compiling the GoogleTest suite"
  PATH="$venv/bin:$PATH" QUORVEX_TARGET_ROOT="$AARCH64_TARGET_ROOT" \
    run_logged "$AARCH64_BUILD/logs/cpp-tests-configure.log" \
    cmake -S "$ROOT" -B "$dir" -G Ninja --toolchain "$AARCH64_TOOLCHAIN" \
      -DQUORVEX_BUILD_MODULE=OFF -DQUORVEX_BUILD_CPP_TESTS=ON
  PATH="$venv/bin:$PATH" QUORVEX_TARGET_ROOT="$AARCH64_TARGET_ROOT" \
    run_logged "$AARCH64_BUILD/logs/cpp-tests-build.log" cmake --build "$dir" -j2
  AARCH64_CPP_TESTS="$dir/tests/cpp/quorvex_cpp_tests"
}

# The root's CPython (Debian 13's), for which the wheelhouse is fetched.
ARM64_ROOT_PYTHON=3.13

# aarch64_wheelhouse VENV: the aarch64 wheels of what the package (the
# repaired wheel, AARCH64_REPAIRED_WHEEL) and its tests need from PyPI, fetched here by the build machine's pip into
# build/aarch64/wheelhouse. pip inside the emulated root reaches PyPI too, but
# its TLS connections, far slower under emulation, were reset by the
# network in between again and again (minutes of retries for each package).
aarch64_wheelhouse() {
  local venv=$1 platform platforms=()
  AARCH64_WHEELHOUSE="$AARCH64_BUILD/wheelhouse"
  for platform in manylinux_2_34 manylinux_2_28 manylinux_2_17 manylinux2014; do
    platforms+=(--platform "${platform}_aarch64")
  done
  # The wheel itself is named, so that its own dependencies come along
  # whatever they are.
  log "fetching the aarch64 wheels of the package's dependencies and the test tools for CPython $ARM64_ROOT_PYTHON"
  run_logged "$AARCH64_BUILD/logs/wheelhouse.log" \
    "$venv/bin/python" -m pip download -q --only-binary=:all: "${platforms[@]}" \
      --implementation cp --python-version "$ARM64_ROOT_PYTHON" -d "$AARCH64_WHEELHOUSE" \
      "$AARCH64_REPAIRED_WHEEL" "pytest>=8" "hypothesis>=6.100" "blake3>=0.4"
}

# emulated_checks: runs inside the arm64 root (passed there with declare -f),
# with the wheel in /wheel, the wheels it and the tests need in /wheelhouse, the repository's tests and pyproject.toml in /src,
# the target libraries in /deps (for the GoogleTest binary only), the
# binary in /cpp and /out for the records. Mirrors lib.sh's steps as the
# user on an arm64 machine would take them.
emulated_checks() {
  set -euo pipefail
  step() { printf '==> [arm64] %s\n' "$*" >&2; }
  local libgcrypt
  step "$(uname -m), $(ldd --version | head -n 1), $(python3 -V)"
  libgcrypt=$(ls /lib/*/libgcrypt* /usr/lib/*/libgcrypt* 2>/dev/null || true)
  if [ -n "$libgcrypt" ]; then
    echo "the root has libgcrypt installed ($libgcrypt): the wheel's own would go untested" >&2
    return 1
  fi

  # No maintainer script ran in the root, so update-ca-certificates never
  # made the bundle that Debian's pip reads when it starts; arm64-root brings
  # the build machine's.
  if [ ! -f /etc/ssl/certs/ca-certificates.crt ] && [ -f /etc/ssl/host-ca.crt ]; then
    mkdir -p /etc/ssl/certs && cp /etc/ssl/host-ca.crt /etc/ssl/certs/ca-certificates.crt
  fi

  step "pip install $(basename /wheel/*.whl) into a fresh venv"
  python3 -m venv /venv
  # pip resolves the wheel's dependencies itself, from the wheelhouse.
  local pip=(/venv/bin/pip install -q --no-index --find-links /wheelhouse)
  "${pip[@]}" /wheel/*.whl
  /venv/bin/python -c 'import _quorvex_core, quorvex; print(_quorvex_core.__file__, quorvex.__version__)'
  step "pip install pytest, hypothesis, blake3 (the tests and their models)"
  "${pip[@]}" pytest hypothesis blake3

  # A copy, so pytest and hypothesis write nowhere in the checkout; no
  # python/ beside it, so the tests import the installed package.
  mkdir -p /tmp/q && cp -r /src/tests /src/pyproject.toml /tmp/q/ && cd /tmp/q
  local pytest=(/venv/bin/python -m pytest -q -p no:cacheprovider --durations=8)
  step "known-answer vectors: all five functions, both walks at 1-4 threads, every key size"
  "${pytest[@]}" tests/test_vectors.py
  step "the module against the models on random cases (the reduced hypothesis profile)"
  HYPOTHESIS_PROFILE=sanitize "${pytest[@]}" -k matches_model \
    tests/test_seed.py tests/test_kdf.py tests/test_sha3_walk.py tests/test_blake3_walk.py
  # The pool's own tests count its threads in /proc/<pid>/task, which
  # qemu-user cannot list (every /proc/<pid> directory fails with ELOOP
  # there); the pool and the thread-count rule are held to by the C++ tests
  # below, and the vectors above walk with pools of 1 to 4 threads.
  step "the call boundary and the module's surface"
  HYPOTHESIS_PROFILE=sanitize "${pytest[@]}" tests/test_boundary.py tests/test_module.py \
    --deselect tests/test_module.py::test_no_worker_threads_at_import

  step "the package's API and CLI on the sample image"
  /venv/bin/python - <<'PY'
import quorvex
key = quorvex.derive_key(quorvex.sample_image(), nonce=bytes(16), timestamp=1_700_000_000)
assert isinstance(key, bytes) and len(key) == quorvex.DEFAULT_KEY_SIZE, key
print("derive_key on the sample image:", key.hex())
PY
  /venv/bin/quorvex key --sample
  /venv/bin/quorvex key --sample --json --nonce 000102030405060708090a0b0c0d0e0f --timestamp 1700000000 \
    >/out/records.jsonl
  /venv/bin/quorvex key --sample --json --nonce 000102030405060708090a0b0c0d0e0f --timestamp 1700000000 \
    --walk blake3 --kdf blake3 --threads 3 --key-size 64 >>/out/records.jsonl
  /venv/bin/quorvex check /out/records.jsonl

  step "GoogleTest, cross-compiled"
  # Left out here: WorkerPool.IdleWorkersStayAsleep reads /proc/self/task,
  # which qemu-user cannot list.
  LD_LIBRARY_PATH=/deps /cpp/quorvex_cpp_tests --gtest_brief=1 \
    --gtest_filter='-WorkerPool.IdleWorkersStayAsleep'
}
