#!/usr/bin/env python3
"""qrvx.farm against qrvx render on one machine.

Usage: /usr/bin/python3 bench/farm_bench.py [BUILD_DIR]   (default build)

Thirty 1920 x 1080 float OpenEXR frames through ChannelShift: `qrvx render` (every core,
reading ahead and writing behind), then qrvx.farm on a LocalCluster of 2 worker processes
of one task and one render thread each (the cluster started beforehand; its start-up is
reported apart). The farm's overhead per task is the time the workers were not inside a
task's render, read and write: (workers x wall clock - time inside the tasks) / tasks; it
includes the end of the run, where one worker waits for the other's last frame. Apart from
that, the mean gap between one task and the next on a worker.
Then thirty 64 x 48 frames, whose tasks are almost all overhead: the farm's cost per frame
when the frame itself costs nothing. Outputs are compared byte for byte.
"""
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import time

WIDTH, HEIGHT, FRAMES, WORKERS = 1920, 1080, 30, 2
LOOK = ["Center Red=0.5036,0.5014", "Center Blue=0.5,0.4958"]


def plates(folder, w, h):
    import numpy as np
    import qrvx
    rng = np.random.default_rng(3)
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    for f in range(1, FRAMES + 1):
        image = np.empty((h, w, 4), np.float32)
        for c in range(3):
            image[:, :, c] = np.sin(x / (40 + 9 * c) + f / 5) * np.cos(y / 37) * 0.5 + 0.5
        image[:, :, 3] = 1
        image[:, :, :3] += rng.normal(0, 0.01, (h, w, 3)).astype(np.float32)
        qrvx.write(os.path.join(folder, f"in.{f:04d}.exr"), image)
    return os.path.join(folder, "in.#.exr")


def between(records):
    """The mean time a worker spends from the end of one task to the start of its next: the
    scheduler's round trip, without the wait at the end for the last frames."""
    spans = {}
    for r in records:
        for s in r["startstops"]:
            if s["action"] == "compute":
                spans.setdefault(r["worker"], []).append((s["start"], s["stop"]))
    gaps = []
    for tasks in spans.values():
        tasks.sort()
        gaps += [b[0] - a[1] for a, b in zip(tasks, tasks[1:])]
    return sum(gaps) / len(gaps) if gaps else 0.0


def run(client, build, w, h):
    from distributed import get_task_stream
    import qrvx.farm
    folder = tempfile.mkdtemp(prefix="qrvx-farm-bench-")
    try:
        plate = plates(folder, w, h)
        args = [os.path.join(build, "bin", "qrvx"), "render", "ChannelShift", "-i", plate, "-q",
                "-o", os.path.join(folder, "cmd.#.exr"), "--frames", f"1-{FRAMES}"]
        for s in LOOK:
            args += ["-s", s]
        start = time.perf_counter()
        subprocess.run(args, check=True)
        command = time.perf_counter() - start

        with get_task_stream(client) as stream:
            done = qrvx.farm.render_sequence(client, "ChannelShift", plate,
                                             os.path.join(folder, "farm.#.exr"),
                                             frames=f"1-{FRAMES}", settings=LOOK, threads=1,
                                             progress=False)
        for f in range(1, FRAMES + 1):
            a, b = (open(os.path.join(folder, f"{n}.{f:04d}.exr"), "rb").read()
                    for n in ("cmd", "farm"))
            assert a == b, f"frame {f} differs"
        overhead = (WORKERS * done.seconds - done.task_seconds) / FRAMES
        print(f"{FRAMES} frames {w} x {h} float EXR, ChannelShift:")
        print(f"  qrvx render:          {command:6.2f} s  {FRAMES / command:6.2f} frames/s")
        print(f"  qrvx.farm --local {WORKERS}:  {done.seconds:6.2f} s  "
              f"{FRAMES / done.seconds:6.2f} frames/s"
              f"  (farm / render {done.seconds / command:.2f}x)")
        print(f"  inside tasks {1000 * done.task_seconds / FRAMES:.1f} ms a frame; "
              f"overhead {1000 * overhead:.1f} ms a task, of which "
              f"{1000 * between(stream.data):.1f} ms between a worker's tasks")
    finally:
        shutil.rmtree(folder)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    sys.path.insert(0, os.path.join(build, "python"))
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.join(build, "python"),
                                                             os.environ.get("PYTHONPATH")]))
    from distributed import Client, LocalCluster

    start = time.perf_counter()
    with LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
            Client(cluster) as client:
        # The module and plug-ins loaded, as on a running farm.
        client.run(lambda: __import__("qrvx"))
        print(f"LocalCluster of {WORKERS} workers up in {time.perf_counter() - start:.2f} s")
        run(client, build, WIDTH, HEIGHT)
        run(client, build, 64, 48)


if __name__ == "__main__":
    main()
