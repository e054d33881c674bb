"""The Python module against the qrvx command: same pixels, same rules, same messages."""
import os
import pydoc
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import qrvx

QRVX = os.environ.get("QRVX_BIN", "qrvx")


def run_qrvx(*args):
    return subprocess.run([QRVX, *map(str, args)], capture_output=True, text=True)


def noise(h, w, dtype, seed=1):
    rng = np.random.default_rng(seed)
    if dtype == np.uint16:
        return rng.integers(0, 65536, (h, w, 4), dtype=np.uint16)
    return rng.uniform(-0.25, 1.25, (h, w, 4)).astype(np.float32)


def image_inputs(tool):
    return [c["id"] for c in tool.controls() if c["dataType"] == "Image" and c["id"] != "Input"]


@pytest.mark.parametrize("name", [t["name"] for t in qrvx.tools()])
@pytest.mark.parametrize("dtype,ext", [(np.uint16, "png"), (np.float32, "exr")])
def test_every_tool_renders_as_the_command_does(tmp_path, name, dtype, ext):
    tool = qrvx.Tool(name)
    source = tmp_path / f"in.{ext}"
    qrvx.write(source, noise(48, 64, dtype))
    image = qrvx.read(source)
    others = image_inputs(tool)
    args = ["render", name, "-i", source, "-q", "-o", tmp_path / f"out.{ext}"]
    for id in others:
        args += ["-i", f"{id}={source}"]
    done = run_qrvx(*args)
    assert done.returncode == 0, done.stderr
    out = tool.render(image, inputs={id: image for id in others})
    expected = qrvx.read(tmp_path / f"out.{ext}")
    # Handed over without a copy: a view of the rendered image, row 0 the top of the
    # picture, stepping back through the image's memory (the host's rows go up).
    assert out.dtype == dtype and out.strides[0] == -out.shape[1] * 4 * out.itemsize
    np.testing.assert_array_equal(out, expected)


def test_arrays_in_follow_the_commands_file_rules():
    tool = qrvx.Tool("RangeMap")  # the identity at its defaults
    grey = np.arange(12, dtype=np.uint8).reshape(3, 4) * 20
    out = tool.render(grey)
    assert out.shape == (3, 4, 4) and out.dtype == np.uint16
    for c in range(3):
        np.testing.assert_array_equal(out[:, :, c], grey.astype(np.uint16) * 257)
    assert (out[:, :, 3] == 65535).all()
    np.testing.assert_array_equal(tool.render(grey[:, :, None]), out)

    rgb = np.linspace(-0.5, 1.5, 2 * 5 * 3).reshape(2, 5, 3)
    out = tool.render(rgb)
    assert out.dtype == np.float32
    np.testing.assert_array_equal(out[:, :, :3], rgb.astype(np.float32))
    assert (out[:, :, 3] == 1.0).all()
    np.testing.assert_array_equal(tool.render(rgb.astype(np.float16)),
                                  tool.render(rgb.astype(np.float16).astype(np.float32)))

    # Views give what contiguous copies give: converted (every third pixel) or borrowed
    # with rows longer than the width (the left half), also where the tool copies its input.
    wide = noise(10, 20, np.uint16)
    plain = qrvx.Tool("Striper")
    plain["activate ScanlinesH"] = 0
    for view in (wide[::2, ::3], wide[:, :10], wide[::-1], tool.render(wide)):
        np.testing.assert_array_equal(tool.render(view), tool.render(view.copy()))
        np.testing.assert_array_equal(plain.render(view), view)


def test_row_0_is_the_top_and_y_points_up(tmp_path):
    # The test card as it is seen: bars at the top, the alpha ramp along the bottom.
    card = qrvx.test_card()
    assert (card[0, 0] == 65535).all() and card[-1, 0, 3] == 0 and card[-1, -1, 3] == 65535
    # A point's y of 0.75 is above the middle: red moves 16 of 64 rows up, towards row 0,
    # in the returned array and in the written file alike.
    plate = noise(64, 8, np.uint16)
    shift = qrvx.Tool("ChannelShift")
    shift["Center Red"] = (0.5, 0.75)
    out = shift.render(plate)
    np.testing.assert_array_equal(out[:48, :, 0], plate[16:, :, 0])
    np.testing.assert_array_equal(out[..., 1:], plate[..., 1:])
    qrvx.write(tmp_path / "in.png", plate)
    done = run_qrvx("render", "ChannelShift", "-i", tmp_path / "in.png", "-s", "Center Red=0.5,0.75",
                    "-q", "-o", tmp_path / "out.png")
    assert done.returncode == 0, done.stderr
    np.testing.assert_array_equal(qrvx.read(tmp_path / "out.png"), out)
    # Writing and reading keep rows in place, contiguous arrays or not.
    qrvx.write(tmp_path / "out.exr", out.astype(np.float32) / 65535)
    np.testing.assert_array_equal(qrvx.read(tmp_path / "out.exr"), out.astype(np.float32) / 65535)


def test_bad_arrays_and_values_raise_with_the_commands_messages():
    tool = qrvx.Tool("ChannelShift")
    with pytest.raises(ValueError, match=r"\(5, 7, 2\)"):
        tool.render(np.zeros((5, 7, 2), np.float32))
    with pytest.raises(ValueError, match="shape"):
        tool.render(np.zeros((0, 7), np.uint16))
    with pytest.raises(TypeError, match="int32"):
        tool.render(np.zeros((5, 7, 4), np.int32))
    with pytest.raises(KeyError):
        tool.render(inputs={"Nothing": np.zeros((2, 2), np.uint16)})
    # A call that fails half way leaves nothing of its own connected: without a reference,
    # Watchcam renders its red fallback.
    watch = qrvx.Tool("Watchcam")
    mark = np.full((2, 2, 4), 65535, np.uint16)
    with pytest.raises(KeyError):
        watch.render(mark, inputs={"Reference": mark, "Motion": mark, "Nothing": mark})
    red = watch.render(np.zeros((4, 4, 4), np.uint16), inputs={"Motion": mark})
    assert (red[..., 0] == 65535).all() and (red[..., 1:] == 0).all()

    for id, value, exc in [("Nope", 1, KeyError), ("center red", 1, KeyError),
                           ("Center Red", 0.5, ValueError),
                           ("Red", "on", ValueError), ("Red", float("nan"), ValueError)]:
        with pytest.raises(exc) as caught:
            tool[id] = value
        text = value if isinstance(value, str) else repr(float(value))
        done = run_qrvx("render", "ChannelShift", "-s", f"{id}={text}", "-o", "never.png")
        assert done.returncode == 2
        assert str(caught.value).strip("'\"") in done.stderr
    # IDs match exactly, case included, as in the command; the message names the right one.
    with pytest.raises(KeyError, match='did you mean "Center Red"'):
        tool["center red"]
    with pytest.raises(KeyError, match='did you mean "Reference"') as caught:
        watch.render(mark, inputs={"reference": mark})
    done = run_qrvx("render", "Watchcam", "-i", "reference=never.png", "-o", "never.png")
    assert done.returncode == 2 and str(caught.value).strip("'\"") in done.stderr


def test_values_set_by_text_index_and_point():
    warble = qrvx.Tool("warble")
    warble["FormulaXR"] = "SIN"
    sin = warble["FormulaXR"]
    warble.set("FormulaXR", 0)
    warble.set("FormulaXR", int(sin))
    assert warble.get("FormulaXR") == sin
    shift = qrvx.Tool("Quorvane.QRVX_ChannelShift")
    shift["Center Red"] = np.array([0.52, 0.5])
    assert shift["Center Red"] == (0.52, 0.5)
    assert "Center Red" in shift.keys() and "Input" not in shift.keys()


def test_settings_pass_between_the_command_and_python(tmp_path):
    done = run_qrvx("render", "Warble", "-s", "FormulaXR=SIN", "-s", "amplitudeXR=0.12",
                    "--save-settings", tmp_path / "look.json")
    assert done.returncode == 0, done.stderr
    tool = qrvx.Tool("Warble")
    tool.load_settings(tmp_path / "look.json")
    assert tool["amplitudeXR"] == 0.12

    tool["phaseXB"] = 0.145
    tool.save_settings(tmp_path / "mine.json")
    card = qrvx.test_card()
    done = run_qrvx("render", "Warble", "--settings", tmp_path / "mine.json", "-q",
                    "-o", tmp_path / "card.png")
    assert done.returncode == 0, done.stderr
    np.testing.assert_array_equal(tool.render(card), qrvx.read(tmp_path / "card.png"))
    np.testing.assert_array_equal(tool.render(), tool.render(card))


def test_threads_render_at_once_as_one_does_alone():
    frames = [noise(120, 160, np.float32, seed) for seed in range(4)]
    copies = [f.copy() for f in frames]
    shared = qrvx.Tool("Warble")
    shared["FormulaXR"] = "SIN"
    shared["amplitudeXR"] = 0.1
    alone = [shared.render(f, threads=1) for f in frames]
    results = [None] * 8

    def work(i):
        # Threads 0-3 each have a tool of their own; 4-7 share one.
        tool = qrvx.Tool("Warble") if i < 4 else shared
        if i < 4:
            tool["FormulaXR"] = "SIN"
            tool["amplitudeXR"] = 0.1
        results[i] = tool.render(frames[i % 4], threads=1 + i % 2)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i in range(8):
        np.testing.assert_array_equal(results[i], alone[i % 4])
    for f, c in zip(frames, copies):
        np.testing.assert_array_equal(f, c)  # inputs untouched


def test_read_and_write_keep_values(tmp_path):
    for dtype, ext in [(np.uint16, "tif"), (np.float32, "exr")]:
        image = noise(9, 11, dtype)
        qrvx.write(tmp_path / f"a.{ext}", image, compression="zip")
        back = qrvx.read(tmp_path / f"a.{ext}")
        np.testing.assert_array_equal(back, image)
    with pytest.raises(OSError, match="missing.exr"):
        qrvx.read(tmp_path / "missing.exr")
    assert not list(tmp_path.glob("*.tmp*"))


def test_thread_counts_beyond_the_cores_take_every_core():
    # 2**31 - 1 crashed inside oneTBB, 10**6 took 530 MB, 2**31 and 10**400 gave raw errors.
    script = (
        "import numpy as np, qrvx\n"
        "t = qrvx.Tool('Warble'); t['FormulaXR'] = 'SIN'\n"
        "image = np.full((40, 50, 4), 0.5, np.float32)\n"
        "alone = t.render(image)\n"
        "for n in (2**31 - 1, 10**6, 2**31, 10**400, np.int64(64)):\n"
        "    assert (t.render(image, threads=n) == alone).all()\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "TBB" not in done.stderr, done.stderr
    with pytest.raises(ValueError, match="threads -1 is not a thread count"):
        qrvx.Tool("Warble").render(threads=-1)


def test_arrays_of_the_other_byte_order_are_read_by_value(tmp_path):
    tool = qrvx.Tool("ChannelShift")
    for native in (noise(6, 7, np.uint16), noise(6, 7, np.float32),
                   np.full((6, 7, 4), 30000, np.uint16)):
        swapped = native.astype(native.dtype.newbyteorder(">"))
        np.testing.assert_array_equal(tool.render(swapped), tool.render(native))
        qrvx.write(tmp_path / "b.tif", swapped)
        np.testing.assert_array_equal(qrvx.read(tmp_path / "b.tif"), native)


def test_sizes_nul_bytes_and_huge_numbers_are_value_errors(tmp_path):
    tool = qrvx.Tool("ChannelShift")
    wide = np.lib.stride_tricks.as_strided(np.zeros(4, np.uint8), (1, 2**32 + 1, 4), (0, 0, 1))
    with pytest.raises(ValueError, match="4294967297 x 1 pixels is too large"):
        tool.render(wide)
    image = noise(4, 4, np.float32)
    for call in (lambda p: qrvx.write(p, image), qrvx.read, tool.save_settings,
                 tool.load_settings):
        with pytest.raises(ValueError, match="NUL byte"):
            call(str(tmp_path / "out\x00.exr"))
    assert os.listdir(tmp_path) == []
    for time in (10**400, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="time"):
            tool.render(image, time=time)
    with pytest.raises(ValueError, match="too large"):
        tool["Red"] = 10**400
    with pytest.raises(ValueError, match="too large"):
        tool["Center Red"] = (10**400, 0.5)


def test_required_inputs_are_required_as_in_the_command():
    wall = qrvx.Tool("Brickwork")
    with pytest.raises(ValueError, match=r'Brickwork needs the image input "Tile 1 \(required\)"'):
        wall.render(noise(8, 8, np.uint16))
    tile = noise(4, 4, np.uint16)
    assert wall.render(noise(8, 8, np.uint16), inputs={"Tile 1 (required)": tile}).any()
    with pytest.raises(ValueError, match="first argument"):
        qrvx.Tool("ChannelShift").render(noise(8, 8, np.uint16), inputs={"Input": tile})


def resident_bytes():
    with open("/proc/self/status") as f:
        kb = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return kb * 1024


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer holds freed memory in its quarantine")
def test_memory_of_a_render_is_handed_back():
    # The pool kept the 64 MB of each size of image for the rest of the process.
    image = np.full((2000, 2000, 4), 0.5, np.float32)
    tool = qrvx.Tool("ChannelShift")
    tool.render(image[:8, :8])  # once, so that the libraries are loaded
    before = resident_bytes()
    for size in (2000, 1999, 1998):
        out = tool.render(image[:size, :size])
        del out
    assert resident_bytes() - before < 32 * 2**20


def test_one_version_everywhere():
    version = (Path(__file__).parents[2] / "VERSION").read_text().strip()
    assert qrvx.__version__ == version
    done = run_qrvx("--version")
    assert done.returncode == 0 and done.stdout == f"qrvx {version}\n"
    module = subprocess.run([sys.executable, "-m", "qrvx", "--version"], capture_output=True,
                            text=True)
    assert module.returncode == 0 and module.stdout == done.stdout


def test_help_of_a_tool_lists_its_controls_with_what_they_do():
    panel = qrvx.Tool("panelsim")
    assert isinstance(panel, qrvx.Tool) and type(panel).__name__ == "PanelSim"
    assert type(qrvx.Tool("PanelSim")) is type(panel)
    text = pydoc.render_doc(panel, renderer=pydoc.plaintext)
    for c in panel.controls():
        assert repr(c["id"]) in text
        assert c["description"] and c["description"] in text
    assert "0 TV + Monitors | 1 Airport" in text and "render(" in text
