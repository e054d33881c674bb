#!/usr/bin/env python3
"""Ten 3840 x 2160 float EXR frames, end to end with file I/O: `qrvx render ChannelShift`
(at its defaults, which leave the picture unchanged) against `oiiotool --mulc 1` over the
same frames, in the same run. Prints both wall-clock times and their ratio.

The frames are a smooth gradient with fine grain in every channel, like a scanned plate,
written by oiiotool with its default compression (ZIP). Both tools keep the input's ZIP
by default; a second pair of runs has both write RLE, the cheap lossless choice. Each
command runs twice, alternating, and the faster run counts: the machine is shared and
noisy.

Usage: bench/exr_vs_oiiotool.py [BUILD_DIR]   (default: build)
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time


def run(*cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


def timed(*cmd):
    start = time.perf_counter()
    run(*cmd)
    return time.perf_counter() - start


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    qrvx = os.path.realpath(os.path.join(build, "bin", "qrvx"))
    if not os.access(qrvx, os.X_OK):
        sys.exit(f"{qrvx} is not built")
    if not shutil.which("oiiotool"):
        sys.exit("oiiotool not found (package openimageio-tools)")

    with tempfile.TemporaryDirectory(prefix="qrvx_exr_bench.") as work:
        os.chdir(work)
        print(f"making 10 frames of 3840 x 2160 float RGBA in {work} ...", flush=True)
        run("oiiotool", "--pattern", "fill:top=0.1,0.2,0.3,1:bottom=0.8,0.7,0.6,1", "3840x2160", "4",
            "--pattern", "noise:type=gaussian:mean=0:stddev=0.02", "3840x2160", "4", "--add",
            "-d", "float", "-o", "in.0001.exr")
        for f in range(2, 11):
            shutil.copy("in.0001.exr", f"in.{f:04d}.exr")
        os.sync()

        commands = {
            "qrvx zip": [qrvx, "render", "ChannelShift", "-q", "-i", "in.#.exr", "-o", "q.#.exr"],
            "oiiotool zip": ["oiiotool", "in.#.exr", "--mulc", "1", "-o", "o.#.exr"],
            "qrvx rle": [qrvx, "render", "ChannelShift", "-q", "--compression", "rle",
                         "-i", "in.#.exr", "-o", "q.#.exr"],
            "oiiotool rle": ["oiiotool", "in.#.exr", "--mulc", "1", "--compression", "rle",
                             "-o", "o.#.exr"],
        }
        best = {name: float("inf") for name in commands}
        for rnd in (1, 2):
            for name, cmd in commands.items():
                for old in glob.glob(cmd[-1].replace("#", "*")):
                    os.remove(old)
                t = timed(*cmd)
                best[name] = min(best[name], t)
                print(f"round {rnd}: {name:12s} {t:6.2f} s", flush=True)

        # Both must give the input back.
        for f in ("0001", "0010"):
            for prefix in ("q", "o"):
                run("idiff", "-q", f"in.{f}.exr", f"{prefix}.{f}.exr")

    for kind in ("zip", "rle"):
        q, o = best[f"qrvx {kind}"], best[f"oiiotool {kind}"]
        print(f"ten 3840x2160 float EXR frames written {kind}: qrvx {q:.2f} s, "
              f"oiiotool --mulc {o:.2f} s: qrvx {o / q:.2f}x faster")


if __name__ == "__main__":
    main()
