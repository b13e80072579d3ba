"""The habits of sha256sum and b3sum users, hostile input, jobs, --like,
calibrate, the manual page and shell completion."""
import json
import os
import pty
import re
import shutil
import subprocess
import sys
import threading
import time
import tty

import pytest
from PIL import Image

import quorvex
from quorvex import cli as command_line
from quorvex.cli import images as cli_images
from quorvex.cli.jobs import Jobs, Outcome
from test_cli import (cli, environment, error_lines, one_line_error, png_bytes, records_of,
                      sample_key, save)

KEY_OPTIONS = ["--nonce", "01", "--timestamp", "2", "--steps", "20"]


def key_of(image, **options):
    return quorvex.derive_key(image, nonce=b"\x01", timestamp=2, steps=20, **options).hex()


def records_file(tmp_path, records, name="records.jsonl"):
    path = tmp_path / name
    path.write_text("".join(json.dumps(record) + "\n" for record in records))
    return path


@pytest.fixture
def terminal():
    """Both ends of a pseudo-terminal, raw (no newline translation)."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    yield master, slave
    os.close(master)
    os.close(slave)


# --- standard input, --sample, terminals ------------------------------------------

def test_key_without_image_reads_piped_standard_input(tmp_path):
    path = save(tmp_path / "a.png")
    result = cli("key", *KEY_OPTIONS, stdin=path.read_bytes(), text=False)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == key_of(str(path)).encode() + b"\n"
    assert result.stdout.strip() != sample_key(nonce=b"\x01", timestamp=2, steps=20).hex().encode()


def test_key_without_image_on_a_terminal_says_what_to_give(terminal):
    _, slave = terminal
    result = subprocess.run([sys.executable, "-m", "quorvex", "key", *KEY_OPTIONS], stdin=slave,
                            capture_output=True, text=True, timeout=60, env=environment())
    one_line_error(result, 2, "quorvex key: error: give an IMAGE file, - to read one from "
                              "standard input, or --sample for the sample image")
    assert result.stdout == ""


@pytest.mark.parametrize("stdin", [b"", b"garbage", b"\x89PNG\r\n\x1a\n"])
def test_standard_input_that_is_no_image_is_named_dash(stdin):
    result = cli("key", *KEY_OPTIONS, stdin=stdin, text=False)
    stderr = one_line_error(result, 1, "quorvex: error: cannot read image '-': ")
    assert "<" not in stderr and "0x" not in stderr  # no object repr


def test_sample_goes_alone(tmp_path):
    one_line_error(cli("key", "--sample", str(save(tmp_path / "a.png"))), 2,
                   "quorvex key: error: argument --sample: not with IMAGE")


def test_raw_refuses_a_terminal_unless_forced(terminal):
    master, slave = terminal
    args = [sys.executable, "-m", "quorvex", "key", "--sample", "--raw", "--key-size", "16",
            *KEY_OPTIONS]
    refused = subprocess.run(args, stdout=slave, stderr=subprocess.PIPE, text=True, timeout=60,
                             env=environment())
    one_line_error(refused, 2, "quorvex key: error: argument --raw: standard output is a terminal")
    forced = subprocess.run([*args, "--force"], stdout=slave, stderr=subprocess.PIPE, timeout=60,
                            env=environment())
    assert forced.returncode == 0, forced.stderr
    assert os.read(master, 100) == quorvex.derive_key(quorvex.sample_image(), nonce=b"\x01",
                                                      timestamp=2, steps=20, key_size=16)


@pytest.mark.parametrize("command", ["key", "check", "calibrate"])
def test_unknown_options_are_reported_in_the_subcommands_name(command):
    result = cli(command, "--sample", "--bogus", "x") if command == "key" else \
        cli(command, "--bogus")
    stderr = one_line_error(result, 2, f"quorvex {command}: error: unrecognized arguments: --bogus")
    assert stderr.startswith(f"quorvex {command}: error:")


@pytest.mark.parametrize("args", [["-V"], ["key", "-V"], ["check", "-V"], ["calibrate", "-V"]])
def test_short_version_option(args):
    result = cli(*args)
    assert (result.returncode, result.stdout, result.stderr) == \
        (0, f"quorvex {quorvex.__version__}\n", "")


# --- output lines: escaping and -z ---------------------------------------------

@pytest.fixture
def awkward_names(tmp_path):
    """Images whose names hold a backslash, a newline or a carriage
    return, and a plain one."""
    names = ["back\\slash.png", "new\nline.png", "carriage\rreturn.png", "plain.png"]
    return [str(save(tmp_path / name, (index, 2, 3))) for index, name in enumerate(names)]


def sha256sum_names(paths):
    """How sha256sum writes these names: the leading backslash of an escaped
    line and the name as written (the independent reference)."""
    result = subprocess.run(["sha256sum", *paths], capture_output=True, timeout=60)
    return [line[:1] * line.startswith(b"\\") + line.split(b"  ", 1)[1]
            for line in result.stdout.split(b"\n")[:-1]]


def test_names_are_escaped_like_sha256sum(awkward_names):
    result = cli("key", *awkward_names, *KEY_OPTIONS, text=False)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.split(b"\n")[:-1]
    assert len(lines) == len(awkward_names)
    for line, path in zip(lines, awkward_names):
        escaped = line.startswith(b"\\")
        assert line[escaped:escaped + 64] == key_of(path).encode()
    assert [line[:1] * line.startswith(b"\\") + line.split(b"  ", 1)[1] for line in lines] \
        == sha256sum_names(awkward_names)


def test_zero_ends_lines_with_nul_and_does_not_escape(awkward_names):
    result = cli("key", *awkward_names, *KEY_OPTIONS, "-z", text=False)
    assert result.stdout == b"".join(key_of(path).encode() + b"  " + path.encode() + b"\0"
                                     for path in awkward_names)
    records = cli("key", *awkward_names, *KEY_OPTIONS, "--json", "-z", text=False).stdout
    assert [json.loads(line)["image"] for line in records.split(b"\0")[:-1]] == awkward_names


def test_check_escapes_names_like_sha256sum_c(awkward_names, tmp_path):
    records = records_file(tmp_path, records_of(*awkward_names, *KEY_OPTIONS))
    result = cli("check", str(records), text=False)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.split(b"\n")[:-1]
    # A carriage return is escaped too (sha256sum -c of coreutils 9.1 writes
    # it raw; a terminal would show the line overwritten).
    assert lines[2] == b"\\" + awkward_names[2].replace("\r", "\\r").encode() + b": OK"
    # A backslash alone leaves the name as it is, as sha256sum -c of
    # coreutils 9.1 (Debian 12) does; coreutils 9.10 (Debian unstable)
    # escapes it, so that line is not compared with the system's.
    assert lines[0] == awkward_names[0].encode() + b": OK"
    others = [name for name in awkward_names if "\r" not in name and "\\" not in name]
    sums = tmp_path / "sums"
    sums.write_bytes(subprocess.run(["sha256sum", *others], capture_output=True,
                                    timeout=60).stdout)
    reference = subprocess.run(["sha256sum", "-c", str(sums)], capture_output=True, timeout=60)
    assert lines[1:2] + lines[3:] == reference.stdout.split(b"\n")[:-1]
    zero = cli("check", str(records), "-z", text=False)
    assert zero.stdout == b"".join(path.encode() + b": OK\0" for path in awkward_names)


# --- check: --quiet, --status, --strict, --warn, --ignore-missing, summary ------

@pytest.fixture
def five_records(tmp_path):
    images = [str(save(tmp_path / f"{index}.png", (index * 9, 1, 2))) for index in range(5)]
    return images, records_of(*images, *KEY_OPTIONS)


def test_summary_counts_what_did_not_match(five_records, tmp_path):
    images, records = five_records
    save(images[1], (200, 1, 2))
    save(images[3], (201, 1, 2))
    result = cli("check", str(records_file(tmp_path, records)))
    assert error_lines(result, 1) == ["quorvex: WARNING: 2 of 5 keys did NOT match"]
    assert [line.rsplit(": ", 1)[1] for line in result.stdout.splitlines()] == \
        ["OK", "FAILED", "OK", "FAILED", "OK"]


def test_summary_counts_unreadable_images_and_bad_lines_apart(five_records, tmp_path):
    images, records = five_records
    os.unlink(images[0])
    save(images[2], (202, 1, 2))
    path = records_file(tmp_path, records)
    path.write_text(path.read_text() + "not json\n{}\n")
    errors = error_lines(cli("check", str(path)), 1)
    assert errors[-3:] == ["quorvex: WARNING: 1 of 5 keys did NOT match",
                           "quorvex: WARNING: 1 of 5 records could not be checked",
                           "quorvex: WARNING: 2 lines are not a key record"]


def test_quiet_prints_failures_only(five_records, tmp_path):
    images, records = five_records
    save(images[4], (203, 1, 2))
    result = cli("check", "--quiet", str(records_file(tmp_path, records)))
    assert result.stdout == f"{images[4]}: FAILED\n"
    assert error_lines(result, 1) == ["quorvex: WARNING: 1 of 5 keys did NOT match"]
    everything_matches = cli("check", "--quiet", str(records_file(tmp_path, records[:4], "ok")))
    assert (everything_matches.returncode, everything_matches.stdout,
            everything_matches.stderr) == (0, "", "")


def test_status_prints_nothing(five_records, tmp_path):
    images, records = five_records
    ok = cli("check", "--status", str(records_file(tmp_path, records)))
    assert (ok.returncode, ok.stdout, ok.stderr) == (0, "", "")
    save(images[0], (204, 1, 2))
    path = records_file(tmp_path, records)
    path.write_text(path.read_text() + "[[[\n")
    failed = cli("check", "--status", str(path))
    assert (failed.returncode, failed.stdout, failed.stderr) == (1, "", "")
    warned = cli("check", "--status", "-w", str(path))
    assert (warned.returncode, warned.stdout) == (1, "")
    assert error_lines(warned, 1) == [f"quorvex: error: {path}:6: not a quorvex key record: "
                                      "Expecting value: line 1 column 4 (char 3)"]


@pytest.mark.parametrize("strict", [[], ["--strict"]])
def test_a_malformed_line_fails_by_default_and_with_strict(five_records, tmp_path, strict):
    _, records = five_records
    path = records_file(tmp_path, records)
    path.write_text(path.read_text() + '{"inputs": 5}\n')
    result = cli("check", *strict, str(path))
    assert result.returncode == 1
    assert len(result.stdout.splitlines()) == 5
    assert error_lines(result, 1)[0].startswith(f"quorvex: error: {path}:6: not a quorvex key record")


def test_ignore_missing_skips_missing_images_only(five_records, tmp_path):
    images, records = five_records
    os.unlink(images[1])
    path = records_file(tmp_path, records)
    result = cli("check", "--ignore-missing", str(path))
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.splitlines() == [f"{image}: OK" for image in images if image != images[1]]
    save(images[2], (205, 1, 2))  # a changed image is still a failure
    assert cli("check", "--ignore-missing", str(path)).returncode == 1
    for image in images:
        if os.path.exists(image):
            os.unlink(image)
    nothing = cli("check", "--ignore-missing", str(path))
    one_line_error(nothing, 1, "quorvex: error: no image was checked: every one is missing")


def test_image_warnings_once_per_image_in_check_and_silenced_by_quiet(tmp_path):
    alpha = str(save(tmp_path / "alpha.png", (1, 2, 3, 4), mode="RGBA"))
    records = records_of(alpha, *KEY_OPTIONS) + records_of(alpha, "--nonce", "02", "--timestamp", "2")
    path = records_file(tmp_path, records)
    result = cli("check", str(path))
    assert (result.returncode, result.stderr) == (
        0, f"quorvex: warning: {alpha}: its transparency (alpha channel) is discarded\n")
    assert cli("check", "--quiet", str(path)).stderr == ""


def test_two_frames_are_warned_about_once_in_key(tmp_path):
    frames = [Image.new("RGB", (4, 3), (level, 0, 0)) for level in (10, 20)]
    gif = tmp_path / "two.gif"
    frames[0].save(gif, save_all=True, append_images=frames[1:])
    result = cli("key", str(gif), *KEY_OPTIONS)
    assert (result.returncode, result.stderr) == (
        0, f"quorvex: warning: {gif}: only one of its 2 frames is read\n")


# --- hostile input ---------------------------------------------------------------

@pytest.mark.parametrize("line", ["[" * 100_000, '{"inputs": ' * 50_000, '{"a": 1e999999}',
                                  "\udcff", '{"image": "x", "inputs": {"nonce": "' + "0" * 9])
def test_any_line_json_rejects_is_one_record_failing(five_records, tmp_path, line):
    images, records = five_records
    path = tmp_path / "hostile.jsonl"
    lines = [json.dumps(record) for record in records]
    lines.insert(2, line)
    path.write_bytes("\n".join(lines).encode("utf-8", "surrogateescape") + b"\n")
    result = cli("check", str(path))
    errors = error_lines(result, 1)
    assert len(errors) == 2 and errors[0].startswith(f"quorvex: error: {path}:3: not a quorvex key record")
    assert result.stdout.splitlines() == [f"{image}: OK" for image in images]


def test_deep_nesting_is_reported_as_such(tmp_path):
    result = cli("check", stdin="[" * 100_000 + "\n")
    assert error_lines(result, 1)[0] == \
        "quorvex: error: -:1: not a quorvex key record: nested too deeply"


@pytest.fixture
def special_files(tmp_path):
    fifo = tmp_path / "fifo.png"
    os.mkfifo(fifo)
    return {"FIFO": str(fifo), "directory": str(tmp_path), "character device": "/dev/zero"}


def test_key_reads_only_regular_files(special_files, tmp_path):
    plain = str(save(tmp_path / "plain.png"))
    result = cli("key", *special_files.values(), plain, *KEY_OPTIONS)
    errors = error_lines(result, 1)
    assert errors == [f"quorvex: error: cannot read image {path!r}: a {kind}, not a regular file"
                      for kind, path in special_files.items()]
    assert result.stdout == f"{key_of(plain)}  {plain}\n"


def test_check_reads_only_regular_files(special_files, tmp_path):
    plain = str(save(tmp_path / "plain.png"))
    record = records_of(plain, *KEY_OPTIONS)[0]
    records = [dict(record, image=path) for path in special_files.values()] + [record]
    result = cli("check", str(records_file(tmp_path, records)))
    errors = error_lines(result, 1)
    assert errors[:-1] == [f"quorvex: error: cannot read image {path!r}: a {kind}, not a regular file"
                           for kind, path in special_files.items()]
    assert errors[-1] == "quorvex: WARNING: 3 of 4 records could not be checked"
    assert result.stdout.splitlines()[-1] == f"{plain}: OK"


def test_a_file_swapped_for_a_fifo_after_the_look_is_not_waited_on(tmp_path, monkeypatch):
    # The race between looking and opening: the name is a regular file
    # when looked at, a FIFO when opened.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    real_stat = os.stat
    monkeypatch.setattr(cli_images.os, "stat",
                        lambda name, *a, **k: real_stat(__file__) if name == str(fifo)
                        else real_stat(name, *a, **k))
    result = []
    reader = threading.Thread(target=lambda: result.append(
        pytest.raises(OSError, cli_images.open_regular_file, str(fifo))))
    reader.start()
    reader.join(10)
    assert not reader.is_alive(), "open() waited for a writer"
    assert "a FIFO, not a regular file" in str(result[0].value)


# --- --like ----------------------------------------------------------------------

@pytest.mark.parametrize("walk", ["sha3", "blake3"])
def test_like_derives_the_key_of_a_keyless_record_again(tmp_path, walk):
    image = str(save(tmp_path / "a.png", (5, 6, 7)))
    options = [*KEY_OPTIONS, "--walk", walk, "--kdf", "blake3", "--key-size", "16"]
    keyless = cli("key", image, "--json", "--no-key", *options).stdout
    (tmp_path / "r.json").write_text(keyless)
    again = cli("key", "--like", str(tmp_path / "r.json"), image)
    assert (again.returncode, again.stderr) == (0, "")
    assert again.stdout == cli("key", image, *options).stdout
    # Not the recorded image: no key, one line.
    other = str(save(tmp_path / "b.png", (5, 6, 8)))
    one_line_error(cli("key", "--like", str(tmp_path / "r.json"), other), 1,
                   f"quorvex: error: {other}: the image's pixels are not the recorded ones")


@pytest.mark.parametrize("content,extra,fragment", [
    (None, ["--steps", "5"], "argument --like: the record holds every input; not with --steps"),
    ("two", [], "must hold one record, not 2"),
    ("{}", [], "not a quorvex key record"),
    ("missing", [], "cannot read"),
])
def test_like_usage_errors(tmp_path, content, extra, fragment):
    image = str(save(tmp_path / "a.png"))
    record = cli("key", image, "--json", "--no-key", *KEY_OPTIONS).stdout
    path = tmp_path / "r.json"
    if content != "missing":
        path.write_text({None: record, "two": record * 2}.get(content, content))
    one_line_error(cli("key", "--like", str(path), image, *extra), 2, fragment)


def test_check_still_refuses_a_keyless_record(tmp_path):
    image = str(save(tmp_path / "a.png"))
    keyless = cli("key", image, "--json", "--no-key", *KEY_OPTIONS).stdout
    errors = error_lines(cli("check", stdin=keyless), 1)
    assert errors[0] == "quorvex: error: -:1: not a quorvex key record: it holds no key " \
                        "(it was written without one)"


# --- -j/--jobs --------------------------------------------------------------------

@pytest.mark.parametrize("jobs", ["1", "3"])
def test_jobs_keep_the_argument_order_and_one_line_per_error(tmp_path, jobs):
    images = [str(save(tmp_path / f"{index}.png", (index, index, 1), size=(40 - index, 30)))
              for index in range(6)]
    images[2] = str(tmp_path / "missing.png")
    (tmp_path / "broken.png").write_bytes(b"not an image")
    images[4] = str(tmp_path / "broken.png")
    result = cli("key", *images, *KEY_OPTIONS, "-j", jobs)
    assert result.stdout.splitlines() == [f"{key_of(image)}  {image}" for index, image
                                          in enumerate(images) if index not in (2, 4)]
    errors = error_lines(result, 1)
    assert [line.split("'")[1] for line in errors] == [images[2], images[4]]
    records = cli("key", *images, *KEY_OPTIONS, "-j", jobs, "--json").stdout.splitlines()
    assert [json.loads(line)["image"] for line in records] == [images[i] for i in (0, 1, 3, 5)]


@pytest.mark.parametrize("value", ["0", "-1", "x"])
def test_jobs_must_be_a_positive_count(value):
    one_line_error(cli("key", "--sample", "-j", value), 2, "argument -j/--jobs")


def test_jobs_default_to_the_usable_cpus():
    assert command_line.default_jobs() == len(os.sched_getaffinity(0))


def test_jobs_run_at_most_n_tasks_at_once_and_emit_in_order():
    running, peak, emitted = 0, 0, []
    lock = threading.Lock()

    def task(index):
        def run():
            nonlocal running, peak
            with lock:
                running += 1
                peak = max(peak, running)
            time.sleep(0.01 * (index % 3))
            with lock:
                running -= 1
            return Outcome("ok", output=str(index).encode())
        return run

    jobs = Jobs(3, lambda outcome: emitted.append(int(outcome.output)))
    for index in range(30):
        if index % 7 == 0:
            jobs.add_outcome(Outcome("malformed", output=str(index).encode()))
        else:
            jobs.add(task(index))
        assert len(jobs._queue) <= 6  # a bounded window: names wait, not images
    jobs.finish()
    assert emitted == list(range(30))
    assert peak == 3


# --- calibrate --------------------------------------------------------------------------

@pytest.mark.parametrize("per_step,overhead,target", [
    (1e-6, 1e-3, 0.5), (3e-7, 0.0, 1.0), (2e-3, 5e-3, 0.1), (1.0, 0.0, 0.5)])
def test_calibrated_steps_reach_the_target_of_a_linear_walk(per_step, overhead, target):
    calls = []

    def seconds_for(steps):
        calls.append(steps)
        return overhead + steps * per_step

    steps = command_line.calibrated_steps(seconds_for, target)
    exact = max(1, (target - overhead) / per_step)
    assert abs(steps - exact) <= max(1, 0.02 * exact)
    assert len(calls) < 64


def test_calibrate_prints_options_for_each_walk():
    # How the steps follow the target is the unit test's above: timings of
    # real walks on a shared machine are too noisy to compare here.
    result = cli("calibrate", "--target-ms", "40", "--layers", "2")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert [line.split()[:4] for line in lines] == [["--walk", "sha3", "--layers", "2"],
                                                    ["--walk", "blake3", "--layers", "2"]]
    steps = [int(re.fullmatch(r".* --steps (\d+)", line).group(1)) for line in lines]
    assert all(count >= 1 for count in steps)


# --- manual page and completion ----------------------------------------------------

ROOT = os.path.join(os.path.dirname(__file__), os.pardir)
MAN_PAGE = os.path.join(ROOT, "python", "share", "man", "man1", "quorvex.1")


def test_the_man_page_is_made_from_the_parser_and_renders():
    pytest.importorskip("argparse_manpage")
    sys.path.insert(0, os.path.join(ROOT, "scripts"))
    try:
        import man_page
    finally:
        sys.path.pop(0)
    with open(MAN_PAGE, encoding="utf-8") as file:
        assert file.read() == man_page.man_page(), "run: python scripts/man_page.py"
    if shutil.which("man") is None:
        pytest.skip("man is not installed (man-db)")
    # man and troff are not ours: the sanitizer run's preloaded runtime
    # would find their own faults.
    plain = {name: value for name, value in environment().items() if name != "LD_PRELOAD"}
    rendered = subprocess.run(["man", "-l", MAN_PAGE], capture_output=True, text=True, timeout=60,
                              env=dict(plain, MANPAGER="cat", PAGER="cat", MANWIDTH="100"))
    assert rendered.returncode == 0, rendered.stderr
    text = re.sub(r".\x08", "", rendered.stdout)  # overstrike bold
    for words in ("QUORVEX(1)", "quorvex key", "quorvex check", "quorvex calibrate",
                  "--ignore-missing", "--like RECORD", "--print-completion"):
        assert words in text


def test_the_wheel_installs_the_man_page():
    import sysconfig
    installed = os.path.join(sysconfig.get_path("data"), "share", "man", "man1", "quorvex.1")
    if not os.path.exists(installed):
        pytest.skip("not installed from the wheel")
    with open(installed, encoding="utf-8") as shipped, open(MAN_PAGE, encoding="utf-8") as source:
        assert shipped.read() == source.read()


def bash_completions(words):
    """What bash completes after `words` (the last one being completed)."""
    script = cli("--print-completion", "bash")
    assert script.returncode == 0, script.stderr
    function = re.search(r"complete .*-F (\S+) quorvex", script.stdout).group(1)
    driver = f"""
{script.stdout}
COMP_WORDS=({" ".join(json.dumps(word) for word in words)})
COMP_CWORD={len(words) - 1}
COMP_LINE="${{COMP_WORDS[*]}}"
COMP_POINT=${{#COMP_LINE}}
{function}
printf '%s\\n' "${{COMPREPLY[@]}}"
"""
    result = subprocess.run(["bash", "-c", driver], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return set(result.stdout.split())


def test_bash_completion_offers_subcommands_and_options():
    assert {"key", "check", "calibrate"} <= bash_completions(["quorvex", ""])
    assert {"--sample", "--like", "--jobs", "--zero", "--json"} <= \
        bash_completions(["quorvex", "key", "--"])
    assert {"--quiet", "--status", "--strict", "--warn", "--ignore-missing"} <= \
        bash_completions(["quorvex", "check", "--"])
    assert bash_completions(["quorvex", "key", "--walk", ""]) == {"sha3", "blake3"}


def test_zsh_completion_is_a_compdef():
    result = cli("--print-completion", "zsh")
    assert result.returncode == 0
    assert result.stdout.startswith("#compdef quorvex")
    assert "--ignore-missing" in result.stdout
    one_line_error(cli("--print-completion", "fish"), 2, "invalid choice")


def test_completion_without_shtab_is_one_line():
    code = "import sys; sys.modules['shtab'] = None; import _quorvex_cli; " \
           "sys.argv[1:] = ['--print-completion', 'bash']; _quorvex_cli.main()"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=60, env=environment())
    one_line_error(result, 2, "quorvex: error: argument --print-completion: needs shtab")
