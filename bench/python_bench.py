#!/usr/bin/env python3
"""The Python module's overhead and its renders side by side.

Usage: /usr/bin/python3 bench/python_bench.py BUILD_DIR   (a build with -DQRVX_BENCH=ON)

1. A 3840 x 2160 uint16 array through ChannelShift from Python (2 threads), against the
   same render through the host API in C++ (host_bench's ChannelShift/int16/threads:2).
2. Four 3840 x 2160 arrays rendered by four Python threads at once, against one thread
   rendering them one after another; each render on one core (threads=1), so the figure
   shows how far renders run side by side with the GIL released. Through ChannelShift
   (bound by memory bandwidth) and Warble with sines (bound by arithmetic).
"""
import json
import os
import statistics
import subprocess
import sys
import threading
import time

WIDTH, HEIGHT = 3840, 2160


def cpp_ms(build):
    out = subprocess.run([os.path.join(build, "bin", "host_bench"), "--benchmark_format=json",
                          "--benchmark_filter=^ChannelShift/int16/threads:2/",
                          "--benchmark_min_time=2"], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)["benchmarks"][0]["real_time"]


def timed(body, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        body()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build-bench"
    sys.path.insert(0, os.path.join(build, "python"))
    import numpy as np
    import qrvx

    tool = qrvx.Tool("ChannelShift")
    tool["Center Red"] = (0.5 + 7 / WIDTH, 0.5 + 3 / HEIGHT)
    tool["Center Green"] = (0.5 - 5 / WIDTH, 0.5)
    tool["Center Blue"] = (0.5, 0.5 - 9 / HEIGHT)
    tool["Center Alpha"] = (0.5 - 0.5 / WIDTH, 0.5 + 2 / HEIGHT)
    rng = np.random.default_rng(1)
    frames = [rng.integers(0, 65536, (HEIGHT, WIDTH, 4), dtype=np.uint16) for _ in range(4)]

    tool.render(frames[0], threads=2)  # warm-up: pooled memory in place
    py = timed(lambda: tool.render(frames[0], threads=2), 30)
    cpp = cpp_ms(build)
    print(f"ChannelShift 4K uint16, 2 threads: Python {py:.2f} ms, C++ {cpp:.2f} ms, "
          f"ratio {py / cpp:.3f}")

    def warble():
        # Each channel on its own sine in x and y: bound by arithmetic, not by memory.
        t = qrvx.Tool("Warble")
        for i, c in enumerate("RGBA"):
            for axis in "XY":
                t[f"Formula{axis}{c}"] = "SIN"
                t[f"phase{axis}{c}"] = 0.1 * i
        return t

    # ChannelShift is bound by memory bandwidth (one core already reaches the two-core
    # speed), so the side-by-side figure is taken on a tool bound by arithmetic too.
    for name, make in [("ChannelShift", lambda: qrvx.Tool("ChannelShift")), ("Warble", warble)]:
        tools = [make() for _ in frames]

        def one_after_another():
            for f in frames:
                tools[0].render(f, threads=1)

        def side_by_side():
            threads = [threading.Thread(target=t.render, args=(f,), kwargs={"threads": 1})
                       for t, f in zip(tools, frames)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        one_after_another()
        side_by_side()
        alone, together = timed(one_after_another, 5), timed(side_by_side, 5)
        print(f"{name}, four 4K renders, one core each: one Python thread {alone:.1f} ms, "
              f"four threads {together:.1f} ms, speed-up {alone / together:.2f}x")


if __name__ == "__main__":
    main()
