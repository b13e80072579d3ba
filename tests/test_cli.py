"""The quorvex command line, run as a user would."""
import json
import subprocess
import sys

import pytest
from PIL import Image

import quorvex


def cli(*args, env=None):
    return subprocess.run([sys.executable, "-m", "quorvex", *args], capture_output=True,
                          text=True, timeout=120, env=env)


def sample_key(**options):
    from importlib import resources
    with resources.as_file(resources.files("quorvex") / "data" / "sample.png") as path:
        return quorvex.derive_key(path, **options)


def test_no_image_uses_the_sample_and_reports_the_random_inputs():
    result = cli("key")
    assert result.returncode == 0, result.stderr
    key = result.stdout.strip()
    assert len(key) == 64 and int(key, 16) >= 0
    words = result.stderr.split()
    assert words[0] == "nonce" and words[2] == "timestamp"
    again = cli("key", "--nonce", words[1], "--timestamp", words[3])
    assert again.stdout.strip() == key
    assert again.stderr == ""


def test_key_is_the_host_key():
    result = cli("key", "--nonce", "00ff", "--timestamp", "7", "--steps", "50", "--key-size", "64")
    assert result.stdout.strip() == sample_key(nonce=b"\x00\xff", timestamp=7, steps=50,
                                               key_size=64).hex()


def test_json_lists_every_input(tmp_path):
    path = tmp_path / "a.ppm"
    Image.new("RGB", (5, 4), (9, 8, 7)).save(path)
    result = cli("key", str(path), "--json", "--nonce", "01", "--timestamp", "3", "--walk",
                 "blake3", "--kdf", "blake3", "--threads", "2", "--steps", "40")
    record = json.loads(result.stdout)
    assert record["image"] == str(path)
    assert record["threads"] == 2 and record["walk"] == "blake3" and record["kdf"] == "blake3"
    assert record["nonce"] == "01" and record["timestamp"] == 3 and record["steps"] == 40
    assert record["width"] == 5 and record["height"] == 4
    assert len(record["key"]) == 64


def test_several_images_give_one_line_each(tmp_path):
    paths = []
    for i in range(3):
        paths.append(tmp_path / f"{i}.png")
        Image.new("RGB", (4, 4), (i, i, i)).save(paths[-1])
    result = cli("key", *map(str, paths), "--nonce", "aa", "--timestamp", "1")
    lines = result.stdout.strip().split("\n")
    assert [line.split("  ")[1] for line in lines] == list(map(str, paths))
    assert len({line.split()[0] for line in lines}) == 3


@pytest.mark.parametrize("args,status,fragment", [
    (["key", "/nonexistent/image.png"], 1, "cannot read image '/nonexistent/image.png'"),
    (["key", "--nonce", "xyz"], 2, "not hexadecimal bytes"),
    (["key", "--key-size", "24"], 2, "invalid choice"),
    (["key", "--steps", "-3"], 2, "must be 0 to 2**64 - 1"),
    (["key", "--threads", "0"], 2, "must be 1 to 65535"),
    (["key", "--walk", "md5"], 2, "invalid choice"),
    ([], 2, "required"),
])
def test_user_mistakes_are_one_line_errors(args, status, fragment):
    result = cli(*args)
    assert result.returncode == status
    assert fragment in result.stderr
    assert "Traceback" not in result.stderr
    assert len(result.stderr.strip().split("\n")) == 1


def test_a_file_that_is_not_an_image(tmp_path):
    path = tmp_path / "notes.txt"
    path.write_text("hello")
    result = cli("key", str(path))
    assert result.returncode == 1 and "cannot read image" in result.stderr
    assert "Traceback" not in result.stderr


def test_console_script_is_installed():
    import shutil
    import os
    script = shutil.which("quorvex", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("not installed as a wheel (module from a build directory)")
    result = subprocess.run([script, "key", "--nonce", "00", "--timestamp", "0"],
                            capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == sample_key(nonce=b"\x00", timestamp=0).hex()
