"""The Python module against the command line: the same pixels as the .bmp
files quenlo-convert writes, the same results as its JSON report, and an
exception with the report's reason for each kind of bad input."""
import json
import os
import shutil
import subprocess

import numpy as np
import pytest

import quenlo

BIN = os.environ["QUENLO_BIN"]
SAMPLES = os.environ["QUENLO_SAMPLES"]
IMAGES = ["harbour.ipr", "stripes.rgb", "palette.bmp", "harbour-photo.jpg"]


def read_bmp24(path):
    """A 24-bit bottom-up .bmp as rows of R, G, B, read by the format's rules."""
    data = open(path, "rb").read()
    offset = int.from_bytes(data[10:14], "little")
    width, height = (int.from_bytes(data[o:o + 4], "little", signed=True) for o in (18, 22))
    assert data[:2] == b"BM" and int.from_bytes(data[28:30], "little") == 24
    stride = (width * 3 + 3) // 4 * 4
    rows = np.frombuffer(data, np.uint8, stride * abs(height), offset).reshape(abs(height), stride)
    pixels = rows[:, :width * 3].reshape(abs(height), width, 3)[:, :, ::-1]
    return pixels[::-1] if height > 0 else pixels


def convert_cli(out, *args):
    return subprocess.run([os.path.join(BIN, "quenlo-convert"), "-q", "-o", out, *args],
                          capture_output=True, text=True)


@pytest.mark.parametrize("name", IMAGES)
def test_read_gives_the_pixels_quenlo_convert_writes(tmp_path, name):
    assert convert_cli(str(tmp_path), os.path.join(SAMPLES, name)).returncode == 0
    want = read_bmp24(tmp_path / (os.path.splitext(name)[0] + ".bmp"))
    got = quenlo.read(os.path.join(SAMPLES, name))
    assert got.dtype == np.uint8 and got.shape == want.shape
    assert np.array_equal(got, want)
    # The array holds the library's own buffer, not a copy.
    assert not got.flags["OWNDATA"] and got.base is not None


@pytest.mark.parametrize("fmt", ["bmp", "png", "tiff"])
def test_write_then_read_is_exact(tmp_path, fmt):
    rng = np.random.default_rng(7)
    a = rng.integers(0, 256, (5, 7, 3), dtype=np.uint8)
    path = tmp_path / ("x." + fmt)
    quenlo.write(a, path)
    assert np.array_equal(quenlo.read(path), a)
    # A strided view is written as what it shows.
    quenlo.write(a[:, ::2], tmp_path / "y.png", png_level=9)
    assert np.array_equal(quenlo.read(tmp_path / "y.png"), a[:, ::2])


def test_convert_results_are_the_report(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    for name in ("harbour.ipr", "harbour.rgb", "palette.bmp"):
        shutil.copy(os.path.join(SAMPLES, name), src)
    (src / "notes.txt").write_text("not an image")
    (src / "broken.bmp").write_bytes(b"BM" + b"\0" * 20)
    inputs = [str(src / n) for n in ("harbour.ipr", "missing.jpg", "notes.txt", "broken.bmp", "palette.bmp")]
    report = tmp_path / "report.jsonl"
    convert_cli(str(tmp_path / "cli"), "--keep-going", "--report", str(report), *inputs)
    lines = [json.loads(line) for line in report.read_text().splitlines()]
    results = quenlo.convert(inputs, tmp_path / "py", keep_going=True, jobs=2)
    assert len(results) == len(lines)
    for got, want in zip(results, lines):
        for key in want:
            if key in ("ms", "seconds"):
                continue
            if key == "output":
                assert os.path.basename(got[key]) == os.path.basename(want[key])
            else:
                assert got[key] == want[key], key
    assert results[-1]["converted"] == 2 and results[-1]["failed"] == 3
    assert [r["reason"] for r in results[:-1]] == [None, "not-found", "unsupported", "invalid", None]


def test_each_bad_input_raises_with_its_reason(tmp_path):
    (tmp_path / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 30)
    cases = [
        (lambda: quenlo.read(tmp_path / "missing.bmp"), quenlo.ImageError, "not-found"),
        (lambda: quenlo.read(tmp_path / "broken.png"), quenlo.ImageError, "invalid"),
        (lambda: quenlo.read(os.path.join(SAMPLES, "harbour.ipr"), max_pixels=100), quenlo.ImageError, "too-large"),
        (lambda: quenlo.read(tmp_path / "notes.txt"), quenlo.ImageError, "unsupported"),
        (lambda: quenlo.write(np.zeros((2, 2, 3), np.uint8), tmp_path / "x.gif"), quenlo.UsageError, "usage"),
        (lambda: quenlo.render_scene("VlxImg size(4,4)\n{\n  VlxMat opq(abc)\n}\n"), quenlo.ScriptError, "script"),
        (lambda: quenlo.convert([], format="gif"), quenlo.UsageError, "usage"),
    ]
    for call, kind, reason in cases:
        with pytest.raises(kind) as e:
            call()
        assert isinstance(e.value, quenlo.Error) and e.value.reason == reason, (reason, str(e.value))
    with pytest.raises(quenlo.ScriptError) as e:
        quenlo.render_scene("VlxImg size(4,4)\n{\n  VlxMat opq(abc)\n}\n")
    assert e.value.line == 3
    for bad in (np.zeros((2, 2), np.uint8), np.zeros((2, 2, 3), np.float32), np.zeros((2, 2, 4), np.uint8)):
        with pytest.raises(ValueError):
            quenlo.write(bad, tmp_path / "x.bmp")
    with pytest.raises(TypeError):
        quenlo.write(np.zeros((2, 2, 3), np.uint8), tmp_path / "x.png", quality=3)


def test_render_scene_matches_quenlo_scene(tmp_path):
    star = os.path.join(SAMPLES, "scenes", "star.scene")
    out = tmp_path / "star.bmp"
    subprocess.run([os.path.join(BIN, "quenlo-scene"), "render", star, "-o", str(out)], check=True)
    assert np.array_equal(quenlo.render_scene(star), read_bmp24(out))
    text = open(star).read()
    assert np.array_equal(quenlo.render_scene(text, background=0xFFFFFF), read_bmp24(out))
