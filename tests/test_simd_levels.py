"""The walks hash with kernels chosen for the CPU at run time; the
environment variable QUORVEX_SIMD_LEVEL lowers the choice. Every level must
give the checked-in known-answer vectors, on a CPU that has it or (lowered
to the CPU's level) on one that does not."""
import json
import pathlib

import pytest

from conftest import run_python

VECTORS = json.loads((pathlib.Path(__file__).resolve().parent / "vectors" / "vectors.json").read_text())

WALKS = """
import json, sys, _quorvex_core as q
out = []
for name, seed, pixels, width, height, steps, layers in json.loads(sys.stdin.read()):
    try:
        out.append(["ok", bytes(getattr(q, name)(
            bytes.fromhex(seed), bytes.fromhex(pixels), width, height, steps, layers)).hex()])
    except BaseException as error:
        out.append(["panic", str(error)])
print(json.dumps(out))
"""


def walk_case(name, v):
    return [name, v["initial_seed"], v["pixels"], v["width"], v["height"], v["steps"], v["layers"]]


def expected(v):
    return ["panic", v["panic"]] if "panic" in v else ["ok", v["result"]]


def walks_at_level(level, threads, cases):
    env = {"QUORVEX_SIMD_LEVEL": level, "RAYON_NUM_THREADS": str(threads)}
    return json.loads(run_python(WALKS, env=env, timeout=300, stdin=json.dumps(cases)).stdout)


@pytest.mark.parametrize("level", ["scalar", "avx2", "avx512"])
def test_sha3_walk_vectors_on_every_level(level):
    vectors = VECTORS["execute_multilayer_sha3"]
    got = walks_at_level(level, 1, [walk_case("execute_multilayer_sha3", v) for v in vectors])
    assert got == [expected(v) for v in vectors]


@pytest.mark.parametrize("level", ["scalar", "avx2", "avx512"])
@pytest.mark.parametrize("threads", sorted({int(t) for v in VECTORS["execute_multilayer_blake3"]
                                            for t in v["by_thread_count"]}))
def test_blake3_walk_vectors_on_every_level(level, threads):
    vectors = VECTORS["execute_multilayer_blake3"]
    got = walks_at_level(level, threads, [walk_case("execute_multilayer_blake3", v) for v in vectors])
    assert got == [expected(v["by_thread_count"][str(threads)]) for v in vectors]


def test_an_unknown_level_name_is_ignored():
    vectors = VECTORS["execute_multilayer_sha3"][:3]
    got = walks_at_level("sse9", 1, [walk_case("execute_multilayer_sha3", v) for v in vectors])
    assert got == [expected(v) for v in vectors]


# What the warning must say, written here apart from the module: the value
# given and the names accepted.
ACCEPTED = "(scalar, avx2, avx512)"


@pytest.mark.parametrize("value", ["AVX2", "avx1024"])
def test_an_unknown_level_name_is_warned_about_once(value):
    vectors = VECTORS["execute_multilayer_sha3"][:2]
    cases = [walk_case("execute_multilayer_sha3", v) for v in vectors]
    cases += [walk_case("execute_multilayer_blake3", v)
              for v in VECTORS["execute_multilayer_blake3"][:2]]
    result = run_python(WALKS, env={"QUORVEX_SIMD_LEVEL": value, "RAYON_NUM_THREADS": "1"},
                        timeout=300, stdin=json.dumps(cases))
    got = json.loads(result.stdout)
    assert got[:2] == [expected(v) for v in vectors]
    lines = result.stderr.splitlines()
    warnings = [line for line in lines if "QUORVEX_SIMD_LEVEL" in line]
    assert len(warnings) == 1, result.stderr
    assert f"QUORVEX_SIMD_LEVEL={value} " in warnings[0] and ACCEPTED in warnings[0], warnings
    assert lines == warnings, result.stderr


@pytest.mark.parametrize("value", ["scalar", "avx2", "avx512", "", None])
def test_a_level_name_or_none_is_not_warned_about(value):
    cases = [walk_case("execute_multilayer_sha3", VECTORS["execute_multilayer_sha3"][0])]
    result = run_python(WALKS, env={"QUORVEX_SIMD_LEVEL": value}, timeout=300,
                        stdin=json.dumps(cases))
    assert result.stderr == ""
