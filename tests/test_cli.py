"""The quorvex command line, run as a user would: a subprocess, its exit
status, its standard output and its standard error."""
import io
import json
import os
import select
import signal
import subprocess
import sys
from importlib import metadata

import pytest
from PIL import Image

import quorvex
from quorvex import cli as command_line
from test_host import SANITIZED, png_header_only

# What Python sets up on a UTF-8 terminal (en_US.UTF-8, say): strict UTF-8
# for standard output. The C.UTF-8 locale would escape undecodable bytes on
# its own and hide a missing error handler.
UTF8_TERMINAL = {"PYTHONIOENCODING": "utf-8:strict"}


def environment(env=None):
    """The test environment as a user's shell has it: no RAYON_ variables,
    and standard output buffered unless the program flushes."""
    clean = {k: v for k, v in os.environ.items()
             if not k.startswith("RAYON_") and k != "PYTHONUNBUFFERED"}
    clean.update(env or {})
    return clean


def cli(*args, env=None, stdin=None, text=True, **kwargs):
    return subprocess.run([sys.executable, "-m", "quorvex", *args], capture_output=True,
                          text=text, timeout=120, env=environment(env), input=stdin, **kwargs)


def start(*args, env=None, stdin=subprocess.DEVNULL):
    return subprocess.Popen([sys.executable, "-m", "quorvex", *args], stdin=stdin,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment(env))


def one_line_error(result, status, fragment):
    """The process ended with `status` and one stderr line holding `fragment`."""
    stderr = result.stderr if isinstance(result.stderr, str) else result.stderr.decode()
    assert result.returncode == status, stderr
    assert "Traceback" not in stderr
    assert len(stderr.splitlines()) == 1, stderr
    assert fragment in stderr
    return stderr


# Whether this process can run BLAKE3 walks of any thread count (the
# package's engine), or is pinned to the first count it runs.


def error_lines(result, status):
    """The lines of standard error, after checking the status and that no
    traceback is among them."""
    stderr = result.stderr if isinstance(result.stderr, str) else result.stderr.decode()
    assert result.returncode == status, stderr
    assert "Traceback" not in stderr
    return stderr.splitlines()


def sample_key(**options):
    return quorvex.derive_key(quorvex.sample_image(), **options)


def png_bytes():
    buffer = io.BytesIO()
    Image.new("RGB", (3, 3), (1, 2, 3)).save(buffer, format="PNG")
    return buffer.getvalue()


def save(path, color=(9, 8, 7), size=(5, 4), mode="RGB"):
    Image.new(mode, size, color).save(path)
    return path


def test_the_sample_image_and_the_random_inputs_are_reported():
    result = cli("key", "--sample")
    assert result.returncode == 0, result.stderr
    key = result.stdout.strip()
    assert len(key) == 64 and int(key, 16) >= 0
    words = result.stderr.split()
    assert words[0] == "nonce" and words[2] == "timestamp"
    again = cli("key", "--sample", "--nonce", words[1], "--timestamp", words[3])
    assert again.stdout.strip() == key
    assert again.stderr == ""


@pytest.mark.parametrize("given", [["--nonce", "00"], ["--timestamp", "5"]])
def test_a_drawn_nonce_or_timestamp_alone_is_reported(given):
    result = cli("key", "--sample", *given, "--steps", "20")
    nonce, timestamp = result.stderr.split()[1::2]
    assert result.stdout.strip() == sample_key(nonce=bytes.fromhex(nonce),
                                               timestamp=int(timestamp), steps=20).hex()
    assert given[1] in (nonce, timestamp)


def test_key_is_the_host_key():
    result = cli("key", "--sample", "--nonce", "00ff", "--timestamp", "7", "--steps", "50",
                 "--key-size", "64")
    assert result.stdout.strip() == sample_key(nonce=b"\x00\xff", timestamp=7, steps=50,
                                               key_size=64).hex()


def test_the_scheme_version_has_its_own_option():
    result = cli("key", "--sample", "--nonce", "01", "--timestamp", "7", "--steps", "30",
                 "--scheme-version", "other-v9")
    assert result.stdout.strip() == sample_key(nonce=b"\x01", timestamp=7, steps=30,
                                               version="other-v9").hex()


def test_json_lists_every_input(tmp_path):
    path = save(tmp_path / "a.ppm")
    result = cli("key", str(path), "--json", "--nonce", "01", "--timestamp", "3", "--walk",
                 "blake3", "--kdf", "blake3", "--threads", "2", "--steps", "40")
    record = json.loads(result.stdout)
    inputs = record["inputs"]
    assert record["image"] == str(path)
    assert inputs["threads"] == 2 and inputs["walk"] == "blake3" and inputs["kdf"] == "blake3"
    assert inputs["nonce"] == "01" and inputs["timestamp"] == 3 and inputs["steps"] == 40
    assert inputs["width"] == 5 and inputs["height"] == 4
    assert len(record["key"]) == 64


def test_several_images_give_one_line_each(tmp_path):
    paths = [save(tmp_path / f"{i}.png", (i, i, i)) for i in range(3)]
    result = cli("key", *map(str, paths), "--nonce", "aa", "--timestamp", "1")
    lines = result.stdout.strip().split("\n")
    assert [line.split("  ")[1] for line in lines] == list(map(str, paths))
    assert len({line.split()[0] for line in lines}) == 3


# --- usage and conventions -------------------------------------------------

@pytest.mark.parametrize("args,status,fragment", [
    (["key", "/nonexistent/image.png", "--nonce", "00", "--timestamp", "1"], 1,
     "cannot read image '/nonexistent/image.png': No such file or directory"),
    (["key", "--nonce", "xyz"], 2, "not hexadecimal bytes"),
    (["key", "--key-size", "24"], 2, "invalid choice"),
    (["key", "--steps", "-3"], 2, "not a whole number"),
    (["key", "--threads", "0"], 2, "argument --threads: must be 1 to 65535"),
    (["key", "--threads", "65536"], 2, "argument --threads: must be 1 to 65535"),
    (["key", "--walk", "md5"], 2, "invalid choice"),
    (["key", "--scheme-version", "\udcff"], 2, "argument --scheme-version: must be text"),
    (["frobnicate"], 2, "invalid choice"),
])
def test_user_mistakes_are_one_line_errors(args, status, fragment):
    one_line_error(cli(*args), status, fragment)


@pytest.mark.parametrize("walk", ["sha3", "blake3"])
@pytest.mark.parametrize("option,value", [("--steps", "0"), ("--layers", "0"), ("--nonce", "")])
def test_options_that_make_the_image_or_nonce_irrelevant_are_refused(walk, option, value):
    result = cli("key", "--walk", walk, option, value, "--timestamp", "1")
    one_line_error(result, 2, f"argument {option}: must ")
    assert result.stdout == ""


def test_sha3_steps_beyond_what_the_walk_can_hold_are_refused():
    result = cli("key", "--sample", "--steps", "288230376151711744", "--nonce", "00",
                 "--timestamp", "1")
    one_line_error(result, 2, "argument --steps: must be 1 to 288230376151711743 for the SHA3 walk")


@pytest.mark.parametrize("value", [" 5", "5 ", "1_000", "\uff15", "0x10", "5.0", "+",
                                   "18446744073709551616"])
def test_numbers_are_plain_decimal(value):
    one_line_error(cli("key", "--steps", value, "--timestamp", "1"), 2, "not a whole number")


def test_a_plus_sign_and_leading_zeros_are_decimal():
    assert cli("key", "--sample", "--steps", "+020", "--nonce", "01",
               "--timestamp", "007").stdout.strip() == \
        sample_key(nonce=b"\x01", timestamp=7, steps=20).hex()


@pytest.mark.parametrize("args", [
    ["key", "--wal", "blake3"], ["key", "--js"], ["key", "--json", "--no-k"],
    ["key", "--key", "16"], ["key", "--scheme", "x"], ["--vers", "key"], ["key", "--vers"],
])
def test_options_are_never_abbreviated(args):
    one_line_error(cli(*args, "--nonce", "00", "--timestamp", "1"), 2, "unrecognized arguments")


def installed_version():
    version = getattr(quorvex, "__version__", None)
    if version is not None:
        return version
    for distribution in metadata.distributions():
        if any(str(file).replace(os.sep, "/") == "quorvex/cli/__init__.py" for file in distribution.files or []):
            return distribution.version
    raise AssertionError("quorvex is not installed from a distribution")


@pytest.mark.parametrize("args", [["--version"], ["key", "--version"], ["check", "--version"]])
def test_version_is_the_package_version(args):
    result = cli(*args)
    assert (result.returncode, result.stdout, result.stderr) == \
        (0, f"quorvex {installed_version()}\n", "")


def test_no_command_prints_the_usage():
    result = cli()
    assert result.returncode == 2
    assert result.stdout.startswith("usage: quorvex")
    for word in ("key", "check", "exit status"):
        assert word in result.stdout


@pytest.mark.parametrize("command", ["key", "check"])
def test_help_documents_the_exit_statuses(command):
    result = cli(command, "--help")
    assert result.returncode == 0
    for status in ("0", "1", "2", "70", "130", "141"):
        assert f"\n  {status} " in result.stdout


# --- several images ---------------------------------------------------------

def test_one_bad_image_does_not_lose_the_others(tmp_path):
    first, last = save(tmp_path / "first.png", (1, 1, 1)), save(tmp_path / "last.png", (2, 2, 2))
    (tmp_path / "broken.png").write_bytes(b"not a png")
    names = [str(first), str(tmp_path / "missing.png"), str(tmp_path / "broken.png"), str(last)]
    result = cli("key", *names, "--nonce", "01", "--timestamp", "2", "--steps", "20")
    assert result.returncode == 1
    keys = [quorvex.derive_key(str(path), nonce=b"\x01", timestamp=2, steps=20).hex()
            for path in (first, last)]
    assert result.stdout.splitlines() == [f"{keys[0]}  {first}", f"{keys[1]}  {last}"]
    errors = result.stderr.splitlines()
    assert [line.split("'")[1] for line in errors] == names[1:3]
    assert all(line.startswith("quorvex: error: cannot read image") for line in errors)


def read_line(stream, timeout=60):
    ready, _, _ = select.select([stream], [], [], timeout)
    assert ready, "no line within the time limit"
    return stream.readline()


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_each_key_is_printed_as_soon_as_it_is_derived(tmp_path, jobs):
    # The second image is standard input, not written yet: the first key
    # must be out while the command waits for it.
    first = save(tmp_path / "first.png")
    process = start("key", str(first), "-", "--nonce", "01", "--timestamp", "2", "-j", jobs,
                    stdin=subprocess.PIPE)
    try:
        line = read_line(process.stdout).decode()
        assert process.poll() is None
        assert line.split() == [quorvex.derive_key(str(first), nonce=b"\x01", timestamp=2).hex(),
                                str(first)]
        process.stdin.write(png_bytes())
        process.stdin.close()
        assert process.wait(timeout=60) == 0
    finally:
        process.kill()
        process.wait()


# --- dropped input ------------------------------------------------------------

def test_dropped_alpha_and_frames_are_warned_about(tmp_path):
    alpha = save(tmp_path / "alpha.png", (1, 2, 3, 4), mode="RGBA")
    plain = save(tmp_path / "plain.png", (1, 2, 3))
    frames = [Image.new("RGB", (5, 4), (i, i, i)) for i in (10, 20, 30)]
    gif = tmp_path / "moving.gif"
    frames[0].save(gif, save_all=True, append_images=frames[1:])
    result = cli("key", str(alpha), str(plain), str(gif), "--nonce", "01", "--timestamp", "2",
                 "--steps", "20")
    assert result.returncode == 0
    assert result.stderr.splitlines() == [
        f"quorvex: warning: {alpha}: its transparency (alpha channel) is discarded",
        f"quorvex: warning: {gif}: only one of its 3 frames is read"]
    keys = [line.split()[0] for line in result.stdout.splitlines()]
    assert keys[0] == keys[1]  # same RGB, the alpha channel does not count


# --- failures ---------------------------------------------------------------

def test_a_decompression_bomb_is_an_unreadable_image(tmp_path):
    bomb = tmp_path / "bomb.png"
    bomb.write_bytes(png_header_only(30000, 30000))
    one_line_error(cli("key", str(bomb), "--nonce", "00", "--timestamp", "1"), 1,
                   "decompression bomb")


def limit_address_space():
    # Room for the interpreter, not for 65535 thread stacks.
    import resource
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))


@pytest.mark.skipif(SANITIZED, reason="an address-space limit breaks the sanitizer runtime")
@pytest.mark.parametrize("command", ["key", "check"])
def test_65535_chunks_fit_a_small_address_space(command):
    options = ["--nonce", "00", "--timestamp", "1", "--steps", "4", "--walk", "blake3"]
    if command == "key":
        result = cli("key", "--sample", *options, "--threads", "65535",
                     preexec_fn=limit_address_space)
    else:
        record = records_of("--sample", *options, "--threads", "65535")[0]
        result = cli("check", stdin=json.dumps(record), preexec_fn=limit_address_space)
    # The count is chunks, not threads: 65,535 of them start no more
    # threads than CPUs, well inside the address-space limit.
    assert error_lines(result, 0) == []
    assert result.stdout == ("(sample) sample.png: OK\n" if command == "check" else
                             sample_key(nonce=b"\0", timestamp=1, steps=4, walk="blake3",
                                        threads=65535).hex() + "\n")


@pytest.mark.parametrize("walk", ["sha3", "blake3"])
def test_ctrl_c_stops_a_long_walk_with_status_130(walk):
    process = start("key", "--sample", "--walk", walk, "--steps", "4000000000", "--timestamp", "1")
    try:
        report = read_line(process.stderr)  # the drawn nonce: the work starts now
        assert report.startswith(b"nonce ")
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=60) == 130
        rest = process.stderr.read().decode()
        assert rest == "quorvex: error: interrupted\n"
        assert process.stdout.read() == b""
    finally:
        process.kill()
        process.wait()


def test_a_reader_that_leaves_early_is_one_line_and_status_141(tmp_path):
    first = save(tmp_path / "first.png")
    process = start("key", str(first), "-", "--nonce", "01", "--timestamp", "2",
                    stdin=subprocess.PIPE)
    try:
        read_line(process.stdout)
        process.stdout.close()  # like `| head -1`
        process.stdin.write(png_bytes())
        process.stdin.close()
        assert process.wait(timeout=60) == 141
        assert process.stderr.read().decode() == "quorvex: error: standard output closed early (broken pipe)\n"
    finally:
        process.kill()
        process.wait()


def test_output_that_cannot_be_written_is_one_line():
    with open("/dev/full", "w") as full:
        result = subprocess.run([sys.executable, "-m", "quorvex", "key", "--sample", "--nonce", "01",
                                 "--timestamp", "2", "--steps", "20"], stdout=full,
                                stderr=subprocess.PIPE, text=True, timeout=120, env=environment())
    one_line_error(result, 1, "quorvex: error: [Errno 28] No space left on device")


def test_a_file_name_that_is_not_utf8(tmp_path):
    name = os.fsencode(tmp_path) + b"/caf\xe9.png"
    Image.new("RGB", (4, 4), (3, 4, 5)).save(os.fsdecode(name))
    other = save(tmp_path / "plain.png")
    args = [b"key", name, os.fsencode(other), b"--nonce", b"01", b"--timestamp", b"2", b"--steps", b"20"]
    result = cli(*args, env=UTF8_TERMINAL, text=False)
    assert result.returncode == 0, result.stderr
    key = quorvex.derive_key(os.fsdecode(name), nonce=b"\x01", timestamp=2, steps=20).hex()
    assert result.stdout.splitlines()[0] == key.encode() + b"  " + name
    records = cli(*args, b"--json", env=UTF8_TERMINAL, text=False)
    checked = cli("check", env=UTF8_TERMINAL, stdin=records.stdout, text=False)
    assert checked.stdout.splitlines()[0] == name + b": OK"
    missing = cli(b"key", name + b"x", b"--nonce", b"01", b"--timestamp", b"2", env=UTF8_TERMINAL, text=False)
    one_line_error(missing, 1, "cannot read image")


# --- records -------------------------------------------------------------------

def records_of(*args):
    result = cli("key", "--json", *args)
    assert result.returncode == 0, result.stderr
    return [json.loads(line) for line in result.stdout.splitlines()]


@pytest.mark.parametrize("count", [1, 3])
def test_json_is_one_record_per_line_whatever_the_count(tmp_path, count):
    paths = [str(save(tmp_path / f"{i}.png", (i, 0, 0))) for i in range(count)]
    records = records_of(*paths, "--nonce", "01", "--timestamp", "2", "--steps", "20")
    assert [record["image"] for record in records] == paths
    for record, path in zip(records, paths):
        assert list(record) == ["image", "inputs", "key"]
        assert quorvex.Derivation.from_json(record).key == \
            quorvex.derive_key(path, nonce=b"\x01", timestamp=2, steps=20)


def test_json_records_hold_the_drawn_inputs_and_nothing_goes_to_stderr():
    result = cli("key", "--sample", "--json", "--steps", "20")
    assert result.stderr == ""
    inputs = json.loads(result.stdout)["inputs"]
    assert len(bytes.fromhex(inputs["nonce"])) == 16 and inputs["timestamp"] > 1_700_000_000
    assert json.loads(result.stdout)["key"] == sample_key(
        nonce=bytes.fromhex(inputs["nonce"]), timestamp=inputs["timestamp"], steps=20).hex()


def test_no_key_leaves_the_key_out(tmp_path):
    path = str(save(tmp_path / "a.png"))
    result = cli("key", "--json", "--no-key", path, "--nonce", "01", "--timestamp", "2")
    record = json.loads(result.stdout)
    assert list(record) == ["image", "inputs"]
    assert quorvex.derive_key(path, nonce=b"\x01", timestamp=2).hex() not in result.stdout


def test_no_key_goes_with_json():
    one_line_error(cli("key", "--no-key", "--nonce", "01", "--timestamp", "2"), 2, "--no-key")


# --- standard input and raw output -------------------------------------------

def test_a_dash_reads_the_image_from_standard_input(tmp_path):
    path = save(tmp_path / "a.png")
    result = cli("key", "-", "--nonce", "01", "--timestamp", "2", stdin=path.read_bytes(),
                 text=False)
    assert result.stdout.strip() == quorvex.derive_key(str(path), nonce=b"\x01", timestamp=2).hex().encode()


def test_standard_input_is_read_once():
    one_line_error(cli("key", "-", "-", "--nonce", "01", "--timestamp", "2"), 2, "once")


def test_raw_writes_the_key_bytes():
    result = cli("key", "--sample", "--raw", "--nonce", "01", "--timestamp", "2", "--key-size", "16",
                 text=False)
    assert result.stdout == sample_key(nonce=b"\x01", timestamp=2, key_size=16)


@pytest.mark.parametrize("args,fragment", [
    (["a.png", "b.png"], "one image"), (["--json"], "not allowed with"),
])
def test_raw_is_for_one_key_alone(args, fragment):
    one_line_error(cli("key", "--raw", *args, "--nonce", "01", "--timestamp", "2"), 2, fragment)


# --- check -------------------------------------------------------------------------

@pytest.fixture
def recorded(tmp_path):
    """Records of three images and the sample: both walks, both KDFs."""
    images = [save(tmp_path / f"{i}.png", (i * 40, 7, 9)) for i in range(3)]
    records = records_of(str(images[0]), "--nonce", "01", "--timestamp", "5", "--steps", "30")
    records += records_of(str(images[1]), "--nonce", "02", "--timestamp", "6", "--steps", "30",
                          "--walk", "blake3", "--threads", "3", "--kdf", "blake3")
    records += records_of(str(images[2]), "--nonce", "03", "--timestamp", "7", "--steps", "30",
                          "--walk", "blake3", "--threads", "3", "--key-size", "64")
    records += records_of("--sample", "--nonce", "04", "--timestamp", "8", "--steps", "30")
    path = tmp_path / "records.jsonl"
    path.write_text("".join(json.dumps(record) + "\n" for record in records))
    return path, images, records


def labels(records):
    return [record["image"] or "(sample) sample.png" for record in records]


@pytest.mark.parametrize("jobs", ["1", "2", "5"])
def test_check_passes_records_of_both_walks_in_record_order(recorded, jobs):
    path, _, records = recorded
    result = cli("check", str(path), "-j", jobs)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.splitlines() == [f"{label}: OK" for label in labels(records)]
    from_stdin = cli("check", "-j", jobs, stdin=path.read_text().replace("\n", "\n\n  \n", 1))
    assert from_stdin.stdout == result.stdout and from_stdin.returncode == 0


def test_check_takes_records_of_several_thread_counts_in_one_process(tmp_path):
    image = str(save(tmp_path / "a.png"))
    options = ["--nonce", "01", "--timestamp", "2", "--steps", "30", "--walk", "blake3"]
    records = [records_of(image, *options, "--threads", count)[0] for count in ("2", "5", "2")]
    records.insert(1, records_of(image, "--nonce", "01", "--timestamp", "2", "--steps", "30")[0])
    result = cli("check", "-j", "1", stdin="".join(json.dumps(r) + "\n" for r in records))
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == f"{image}: OK\n" * 4


def test_check_fails_a_changed_image_and_goes_on(recorded):
    path, images, records = recorded
    save(images[1], (1, 7, 9))
    result = cli("check", str(path))
    verdicts = ["OK", "FAILED", "OK", "OK"]
    assert result.stdout.splitlines() == [f"{label}: {verdict}"
                                          for label, verdict in zip(labels(records), verdicts)]
    assert error_lines(result, 1) == ["quorvex: WARNING: 1 of 4 keys did NOT match"]


def test_check_fails_a_changed_key(recorded, tmp_path):
    _, _, records = recorded
    records[2]["key"] = records[2]["key"][:-2] + ("00" if records[2]["key"][-2:] != "00" else "01")
    changed = tmp_path / "changed.jsonl"
    changed.write_text("\n".join(json.dumps(record) for record in records))
    result = cli("check", str(changed))
    assert result.returncode == 1
    assert result.stdout.splitlines()[2] == f"{records[2]['image']}: FAILED"


def test_check_reports_a_missing_image_and_goes_on(recorded):
    path, images, records = recorded
    images[0].unlink()
    result = cli("check", str(path))
    assert error_lines(result, 1) == [
        f"quorvex: error: cannot read image '{images[0]}': No such file or directory",
        "quorvex: WARNING: 1 of 4 records could not be checked"]
    assert result.stdout.splitlines() == [f"{labels(records)[0]}: FAILED open or read"] + \
        [f"{label}: OK" for label in labels(records)[1:]]


@pytest.mark.parametrize("line,fragment", [
    ("garbage", "not a quorvex key record"),
    ('{"image": "x.png"}', "not a quorvex key record"),
    ("[1, 2]", "not a quorvex key record"),
])
def test_check_reports_a_malformed_line_and_goes_on(recorded, tmp_path, line, fragment):
    path, _, records = recorded
    lines = path.read_text().splitlines()
    lines.insert(1, line)
    broken = tmp_path / "broken.jsonl"
    broken.write_text("\n".join(lines) + "\n")
    result = cli("check", str(broken))
    errors = error_lines(result, 1)
    assert len(errors) == 2 and errors[0].startswith(f"quorvex: error: {broken}:2: {fragment}")
    assert errors[1] == "quorvex: WARNING: 1 line is not a key record"
    assert result.stdout.splitlines() == [f"{label}: OK" for label in labels(records)]


def test_check_refuses_a_record_without_its_key(tmp_path):
    path = str(save(tmp_path / "a.png"))
    keyless = cli("key", "--json", "--no-key", path, "--nonce", "01", "--timestamp", "2").stdout
    errors = error_lines(cli("check", stdin=keyless), 1)
    assert len(errors) == 2 and "holds no key" in errors[0]


@pytest.mark.parametrize("stdin", ["", "\n\n"])
def test_check_of_nothing_fails(stdin):
    one_line_error(cli("check", stdin=stdin), 1, "no records")


def test_check_of_a_missing_record_file(tmp_path):
    errors = error_lines(cli("check", str(tmp_path / "none.jsonl")), 1)
    assert errors[0] == f"quorvex: error: cannot read records '{tmp_path / 'none.jsonl'}': " \
                        "No such file or directory"


def test_check_reads_a_recorded_standard_input_image(tmp_path):
    path = save(tmp_path / "a.png")
    record = cli("key", "--json", "-", "--nonce", "01", "--timestamp", "2", stdin=path.read_bytes(),
                 text=False).stdout
    (tmp_path / "r.jsonl").write_bytes(record)
    result = cli("check", str(tmp_path / "r.jsonl"), stdin=path.read_bytes(), text=False)
    assert (result.returncode, result.stdout) == (0, b"-: OK\n")
    both = cli("check", stdin=record, text=False)
    assert "the image is standard input, which holds the records" in error_lines(both, 1)[0]


class PanicException(BaseException):
    """Stands for the core's fatal failure, which is matched by name."""


@pytest.mark.parametrize("fault,line", [
    (RuntimeError("a bug"), "quorvex: internal error: RuntimeError: a bug"),
    (PanicException("a bug"), "quorvex: internal error: a bug"),
])
def test_a_fault_of_quorvex_itself_is_one_line_and_status_70(monkeypatch, capsys, fault, line):
    from quorvex import _host, cli as command_line

    def failing(*args, **kwargs):
        raise fault

    monkeypatch.setattr(_host, "derive_checked", failing)
    status = command_line.main(["key", "--sample", "--nonce", "01", "--timestamp", "2"])
    captured = capsys.readouterr()
    assert (status, captured.out, captured.err) == (70, "", line + "\n")


def test_console_script_is_installed():
    import shutil
    script = shutil.which("quorvex", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("not installed as a wheel (module from a build directory)")
    result = subprocess.run([script, "key", "--sample", "--nonce", "00", "--timestamp", "0"],
                            capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == sample_key(nonce=b"\x00", timestamp=0).hex()
