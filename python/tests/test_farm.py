"""qrvx.farm on a LocalCluster of two worker processes, against the qrvx command."""
import logging
import os
import subprocess
import sys
import time

import distributed
import numpy as np
import pytest

import qrvx
import qrvx.farm

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")  # from tornado's event loop

QRVX = os.environ.get("QRVX_BIN", "qrvx")
SHIFT = ["Center Red=0.52,0.5", "Center Blue=0.47,0.55"]


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=logging.CRITICAL) \
            as cluster, distributed.Client(cluster) as client:
        yield client


def write_frames(folder, frames, h=48, w=64, name="in"):
    rng = np.random.default_rng(7)
    for f in frames:
        image = rng.uniform(-0.1, 1.2, (h, w, 4)).astype(np.float32)
        qrvx.write(folder / f"{name}.{f:04d}.exr", image)
    return str(folder / f"{name}.#.exr")


def command(*args):
    done = subprocess.run([QRVX, *map(str, args)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done


def farm_command(*args):
    return subprocess.run([sys.executable, "-m", "qrvx.farm", *map(str, args)],
                          capture_output=True, text=True)


def assert_same_files(folder, frames, name, reference="ref"):
    """The same pixels and compression; the farm's frames hold its fingerprint besides."""
    meta = qrvx._qrvx.read_metadata
    for f in frames:
        a, b = folder / f"{name}.{f:04d}.exr", folder / f"{reference}.{f:04d}.exr"
        np.testing.assert_array_equal(qrvx.read(a), qrvx.read(b), f"frame {f}")
        assert meta(str(a), "compression") == meta(str(b), "compression"), f"frame {f}"
        assert len(meta(str(a), qrvx.farm.FINGERPRINT)) == 64, f"frame {f}"
    assert not [p for p in os.listdir(folder) if ".qrvx-tmp" in p]


class NoClient:
    """Stands in for a client where nothing may be sent."""

    def submit(self, *args, **kwargs):
        raise AssertionError("a task was sent")


def test_farm_render_is_byte_identical_to_the_command(client, tmp_path):
    frames = range(1, 13)
    plate = write_frames(tmp_path, frames)
    command("render", "ChannelShift", "-i", plate, *sum((["-s", s] for s in SHIFT), []), "-q",
            "-o", tmp_path / "ref.#.exr", "--frames", "1-12")

    done = qrvx.farm.render_sequence(client, "ChannelShift", plate, tmp_path / "a.#.exr",
                                     frames="1-12", settings=SHIFT, progress=False)
    assert done.rendered == list(frames) and done.skipped == []
    assert_same_files(tmp_path, frames, "a")

    # The look as a Tool, the frames found on disk, four frames a task.
    tool = qrvx.Tool("ChannelShift")
    for s in SHIFT:
        id, value = s.split("=")
        tool[id] = tuple(map(float, value.split(",")))
    qrvx.farm.render_sequence(client, tool, plate, tmp_path / "b.#.exr", chunk=4, progress=False)
    assert_same_files(tmp_path, frames, "b")

    # The command line, with a saved look and its own cluster.
    command("render", "ChannelShift", *sum((["-s", s] for s in SHIFT), []),
            "--save-settings", tmp_path / "look.json")
    run = farm_command("render", "ChannelShift", "-i", plate, "--settings", tmp_path / "look.json",
                       "-o", tmp_path / "c.#.exr", "--frames", "1-12", "--chunk", "5",
                       "--local", "2")
    assert run.returncode == 0, run.stderr
    assert "12/12 frames" in run.stderr and "frames/s" in run.stderr
    assert_same_files(tmp_path, frames, "c")


def test_every_frame_takes_the_first_frames_depth(client, tmp_path):
    # A 16-bit frame, then a float one: the command renders both as 16-bit images, and
    # writes each frame in its own file's type.
    rng = np.random.default_rng(5)
    qrvx.write(tmp_path / "in.0001.tif", rng.integers(0, 65536, (48, 64, 4), dtype=np.uint16))
    qrvx.write(tmp_path / "in.0002.tif", rng.uniform(0, 1, (48, 64, 4)).astype(np.float32))
    plate = tmp_path / "in.#.tif"
    command("render", "ChannelShift", "-i", plate, "-s", SHIFT[0], "-q",
            "-o", tmp_path / "ref.#.tif", "--frames", "1-2")
    qrvx.farm.render_sequence(client, "ChannelShift", plate, tmp_path / "a.#.tif", frames="1-2",
                              settings=SHIFT[:1], progress=False)
    ours, theirs = qrvx.read(tmp_path / "a.0002.tif"), qrvx.read(tmp_path / "ref.0002.tif")
    assert ours.dtype == theirs.dtype == np.float32
    assert qrvx.read(tmp_path / "a.0001.tif").dtype == np.uint16
    np.testing.assert_array_equal(ours, theirs)


def test_a_killed_worker_leaves_nothing_partial(client, tmp_path):
    # Frames large enough that the kill likely lands while the first task reads, renders or writes.
    frames = range(1, 13)
    plate = write_frames(tmp_path, frames, 192, 256)
    command("render", "ChannelShift", "-i", plate, "-s", SHIFT[0], "-q",
            "-o", tmp_path / "ref.#.exr", "--frames", "1-12")
    marker = str(tmp_path / "killed")

    class KillOnce(distributed.WorkerPlugin):
        """Kills its worker process 5 ms into the first render task any worker starts."""

        def transition(self, key, start, finish, **kwargs):
            import os, signal, threading
            if finish != "executing" or not str(key).startswith("_render_frames"):
                return
            try:
                os.close(os.open(marker, os.O_CREAT | os.O_EXCL))
            except FileExistsError:
                return
            threading.Timer(0.005, os.kill, (os.getpid(), signal.SIGKILL)).start()

    workers = set(client.scheduler_info()["workers"])
    client.register_worker_plugin(KillOnce(), name="kill-once")
    try:
        done = qrvx.farm.render_sequence(client, "ChannelShift", plate, tmp_path / "a.#.exr",
                                         frames="1-12", settings=SHIFT[:1], progress=False)
    finally:
        client.unregister_worker_plugin("kill-once")
    # A kill that lands after its task finished is noticed by the scheduler a moment later.
    deadline = time.monotonic() + 10
    while workers <= set(client.scheduler_info()["workers"]) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert os.path.exists(marker) and not workers <= set(client.scheduler_info()["workers"])
    assert done.rendered == list(frames)
    assert_same_files(tmp_path, frames, "a")


def test_refusals_come_before_anything_is_sent(tmp_path):
    plate = write_frames(tmp_path, range(1, 4))
    out = tmp_path / "out.#.exr"
    with pytest.raises(ValueError, match='ChannelShift has no control "Centre Red"'):
        qrvx.farm.render_sequence(NoClient(), "ChannelShift", plate, out,
                                  settings={"Centre Red": 1})
    with pytest.raises(OSError, match=r"missing frame 4 of .*in\.#\.exr"):
        qrvx.farm.render_sequence(NoClient(), "ChannelShift", plate, out, frames="1-4")
    with pytest.raises(ValueError, match="sequence pattern"):
        qrvx.farm.render_sequence(NoClient(), "ChannelShift", plate, tmp_path / "out.exr")
    with pytest.raises(ValueError, match="--chunk"):
        qrvx.farm.render_sequence(NoClient(), "ChannelShift", plate, out, chunk=0)

    # The command line: the command's message and exit code, before any cluster starts.
    bad = ["-s", "Center Red=2,x"]
    run = farm_command("render", "ChannelShift", "-i", plate, *bad, "-o", out, "--local", "2")
    expected = subprocess.run([QRVX, "render", "ChannelShift", "-i", plate, *bad, "-o", out],
                              capture_output=True, text=True)
    assert (run.returncode, expected.returncode) == (2, 2)
    assert run.stderr.split("error: ", 1)[1] == expected.stderr.split("error: ", 1)[1]
    assert not [p for p in os.listdir(tmp_path) if p.startswith("out")]


def test_patterns_are_read_by_the_commands_rule(client, tmp_path):
    frames = range(1001, 1004)
    write_frames(tmp_path, frames)
    done = qrvx.farm.render_sequence(client, "ChannelShift", tmp_path / "in.####.exr",
                                     tmp_path / "a.$F4.exr", progress=False)
    assert done.rendered == list(frames)
    assert sorted(p for p in os.listdir(tmp_path) if p.startswith("a.")) == \
        [f"a.{f}.exr" for f in frames]
    with pytest.raises(OSError, match=r"in\.#####\.exr matches no files: it looks for 5-digit"):
        qrvx.farm.render_sequence(NoClient(), "ChannelShift", tmp_path / "in.#####.exr",
                                  tmp_path / "b.####.exr")


def test_an_unreadable_frame_fails_the_run_naming_it(client, tmp_path):
    frames = range(1, 13)
    plate = write_frames(tmp_path, frames)
    (tmp_path / "in.0007.exr").write_bytes(b"not an image at all")
    with pytest.raises(qrvx.farm.FrameError, match=r"frame 7: .*in\.0007\.exr") as failed:
        qrvx.farm.render_sequence(client, "ChannelShift", plate, tmp_path / "a.#.exr",
                                  frames="1-12", progress=False)
    assert failed.value.frame == 7 and failed.value.exit_code == 1
    assert not (tmp_path / "a.0007.exr").exists()
    assert not [p for p in os.listdir(tmp_path) if ".qrvx-tmp" in p]


def test_a_rerun_renders_only_what_is_out_of_date(client, tmp_path):
    frames = range(1, 13)
    plate = write_frames(tmp_path, frames)
    out = tmp_path / "a.#.exr"
    first = qrvx.farm.render_sequence(client, "ChannelShift", plate, out, progress=False)
    assert first.rendered == list(frames)
    stamps = {f: os.stat(tmp_path / f"a.{f:04d}.exr").st_mtime_ns for f in frames}

    again = qrvx.farm.render_sequence(NoClient(), "ChannelShift", plate, out, progress=False)
    assert again.rendered == [] and again.skipped == list(frames)

    # A newer input frame, a missing output, and a temporary file a killed writer left.
    later = max(stamps.values()) + 10**9
    os.utime(tmp_path / "in.0004.exr", ns=(later, later))
    os.remove(tmp_path / "a.0009.exr")
    (tmp_path / ".a.0005.qrvx-tmpgone-1234.exr").write_bytes(b"half")
    third = qrvx.farm.render_sequence(client, "ChannelShift", plate, out, progress=False)
    assert third.rendered == [4, 9] and len(third.skipped) == 10
    assert os.stat(tmp_path / "a.0001.exr").st_mtime_ns == stamps[1]
    assert not [p for p in os.listdir(tmp_path) if ".qrvx-tmp" in p]

    forced = qrvx.farm.render_sequence(client, "ChannelShift", plate, out, force=True, chunk=5,
                                       progress=False)
    assert forced.rendered == list(frames)


def test_a_rerun_with_another_look_or_options_renders_again(client, tmp_path):
    frames = range(1, 4)
    plate = write_frames(tmp_path, frames)
    out = tmp_path / "a.#.exr"
    qrvx.farm.render_sequence(client, "ChannelShift", plate, out, settings=SHIFT, progress=False)
    same = qrvx.farm.render_sequence(NoClient(), "ChannelShift", plate, out, settings=SHIFT,
                                     progress=False)
    assert same.skipped == list(frames)
    for change in ({"settings": ["Center Red=0.6,0.5"]}, {"depth": "half"},
                   {"compression": "piz"}, {"tool": "Warble", "settings": []}):
        options = dict({"tool": "ChannelShift", "settings": SHIFT}, **change)
        with pytest.raises(AssertionError, match="a task was sent"):
            qrvx.farm.render_sequence(NoClient(), options.pop("tool"), plate, out,
                                      progress=False, **options)


def test_relative_paths_reach_workers_in_other_folders(client, tmp_path, monkeypatch):
    frames = range(1, 4)
    write_frames(tmp_path, frames)
    monkeypatch.chdir(tmp_path)  # the workers stay where they started
    summary = qrvx.farm.render_sequence(client, "ChannelShift", "in.#.exr", "rel.#.exr",
                                        settings=SHIFT, progress=False)
    assert summary.rendered == list(frames)
    assert all((tmp_path / f"rel.{f:04d}.exr").exists() for f in frames)


def test_workers_write_no_settings_file_a_link_could_redirect(tmp_path):
    import hashlib
    import tempfile
    frames = range(1, 3)
    plate = write_frames(tmp_path, frames)
    tool = qrvx.Tool("ChannelShift")
    tool["Center Red"] = (0.52, 0.5)
    tool.save_settings(tmp_path / "look.json")
    text = (tmp_path / "look.json").read_text()
    # Workers in this process: the name earlier versions wrote is foreseeable.
    digest = hashlib.sha1(text.encode()).hexdigest()[:16]
    planted = os.path.join(tempfile.gettempdir(), f"qrvx-farm-{os.getpid()}-{digest}.json.part")
    (tmp_path / "victim").write_text("precious")
    os.symlink(tmp_path / "victim", planted)
    try:
        with distributed.LocalCluster(n_workers=1, processes=False, dashboard_address=None,
                                      silence_logs=logging.CRITICAL) as cluster, \
                distributed.Client(cluster) as local:
            qrvx.farm.render_sequence(local, tool, plate, tmp_path / "a.#.exr", progress=False)
    finally:
        for leftover in (planted, planted[:-len(".part")]):
            if os.path.lexists(leftover):
                os.remove(leftover)
    assert (tmp_path / "victim").read_text() == "precious"


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer runtimes preloaded into every process it starts "
                           "(workers, pgrep) stall them")
def test_ctrl_c_stops_a_local_run_with_one_line_and_only_whole_frames(tmp_path):
    import signal
    frames = range(1, 61)
    plate = write_frames(tmp_path, frames, 256, 384)
    # Ctrl-C as a terminal sends it: to the whole process group, the local workers too.
    run = subprocess.Popen([sys.executable, "-m", "qrvx.farm", "render", "ChannelShift", "-i", plate,
                            "-s", SHIFT[0], "-o", tmp_path / "a.#.exr", "--local", "2"],
                           stderr=subprocess.PIPE, text=True, start_new_session=True,
                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    lines = []
    while not (lines and lines[-1].startswith("qrvx.farm: 2/60 ")):
        lines.append(run.stderr.readline())
        assert lines[-1], "".join(lines)
    os.killpg(run.pid, signal.SIGINT)
    assert run.wait(60) == 130
    rest = run.stderr.read().splitlines()
    assert [line for line in rest if not line.startswith("qrvx.farm: ") or "frames/s" not in line] \
        == ["qrvx.farm: error: interrupted"], rest
    deadline = time.monotonic() + 10  # every worker gone with it
    while subprocess.run(["pgrep", "-g", str(run.pid)], capture_output=True).returncode == 0:
        assert time.monotonic() < deadline, "worker processes outlived the run"
        time.sleep(0.1)

    written = sorted(int(p.split(".")[1]) for p in os.listdir(tmp_path) if p.startswith("a."))
    assert 2 <= len(written) < 60
    assert not [p for p in os.listdir(tmp_path) if ".qrvx-tmp" in p]
    command("render", "ChannelShift", "-i", plate, "-s", SHIFT[0], "-q", "-o", tmp_path / "ref.#.exr",
            "--frames", ",".join(map(str, written)))
    assert_same_files(tmp_path, written, "a")
