#!/usr/bin/env python3
"""Measures every benchmark program of a build against the plain copy, in alternation,
and the ffmpeg peers on the same frame size; prints Mpix/s with the ratios.

Usage: bench/compare.py BUILD_DIR [--filter REGEX] [--rounds N] [--min-time SECONDS]
                        [--no-peers]

Each benchmark is named "<label>/<int16|float>/threads:<n>"; its yardstick is
"Copy/<depth>/threads:<n>" from host_bench. The machine is shared, and what a program
measures moves by half or double within minutes, so the two are measured in turn: copy,
tool, copy, tool, ... for N rounds (5 unless --rounds says otherwise), each a separate
short run of the benchmark program, and each round gives the ratio of the tool to the copy
just before it. The table shows the median of those ratios and their spread (min..max):
a narrow spread is a ratio to trust.

A peer is an ffmpeg filter run over the same number of frames of noise (3840 x 2160 unless
the row gives another "size") in the named pixel format; its time is the run with the
filter less the run with ffmpeg's null filter, so that reading and decoding the raw frames
is not counted against it. Its Mpix/s counts the frame's pixels, or "pixels" per frame
where the row gives them (a peer whose output is counted, as its benchmark counts the
tool's output); it is the best of three, set against the tool's median.
"""
import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

WIDTH, HEIGHT = 3840, 2160
PEER_FRAMES = 8

# One row per peer: the benchmark it is compared with, a name, the ffmpeg filter graph
# and the pixel format of the frame it runs on. Peers run with the benchmark's threads.
PEERS = [
    {"bench": "ChannelShift/int16/threads:2", "peer": "ffmpeg rgbashift",
     "filter": "rgbashift=rh=7:rv=3:gh=-5:bv=-9:av=2", "pix_fmt": "gbrap16le"},
    {"bench": "ResizeHalf/int16/threads:2", "peer": "ffmpeg scale (bicubic, half)",
     "filter": "scale=1920:1080:flags=bicubic", "pix_fmt": "gbrap16le"},
    {"bench": "Blur0.1/int16/threads:2", "peer": "ffmpeg gblur (sigma 5)",
     "filter": "gblur=sigma=5", "pix_fmt": "gbrap16le"},
    # ToneBands' default "lowcut" (level 0.5, smoothness 0.1) as a lookup table per channel.
    {"bench": "ToneBands/int16/threads:2", "peer": "ffmpeg lutrgb (lowcut ramp)",
     "filter": "lutrgb=" + ":".join(
         f"{c}='if(lt(val,32767.5),if(lte(val,26214),0,(val-26214)*5),val)'" for c in "rgba"),
     "pix_fmt": "gbrap16le"},
    {"bench": "RangeMap/int16/threads:2", "peer": "ffmpeg colorlevels (0.25..0.5)",
     "filter": "colorlevels=rimin=0.25:gimin=0.25:bimin=0.25:aimin=0.25"
               ":rimax=0.5:gimax=0.5:bimax=0.5:aimax=0.5", "pix_fmt": "gbrap16le"},
    # il has no mode that drops lines: deinterleave writes the even rows (LineDrop's
    # output) to the top half and the odd rows to the bottom; counted in its output.
    {"bench": "LineDrop/int16/threads:2", "peer": "ffmpeg il (deinterleave)",
     "filter": "il=l=d:c=d:a=d", "pix_fmt": "gbrap16le"},
    # PanelSim's default cells triple the width and double the height of a 1920 x 1080
    # input; the nearest-neighbour scale to the same size, counted in output pixels.
    {"bench": "PanelSim/int16/threads:2", "peer": "ffmpeg scale (neighbor, 3x2)",
     "filter": "scale=5760:2160:flags=neighbor", "pix_fmt": "gbrap16le",
     "size": "1920x1080", "pixels": 5760 * 2160},
    {"bench": "PanelSim/float/threads:2", "peer": "ffmpeg scale (neighbor, 3x2)",
     "filter": "scale=5760:2160:flags=neighbor", "pix_fmt": "gbrapf32le",
     "size": "1920x1080", "pixels": 5760 * 2160},
    # The waveform of each column, red, green and blue overlaid, on 12-bit planar RGB.
    {"bench": "ScopeTrace/int16/threads:2", "peer": "ffmpeg waveform (column, overlay)",
     "filter": "waveform=m=column:d=overlay:c=7", "pix_fmt": "gbrp12le"},
    {"bench": "ScopeTrace/float/threads:2", "peer": "ffmpeg waveform (column, overlay)",
     "filter": "waveform=m=column:d=overlay:c=7", "pix_fmt": "gbrp12le"},
]


def list_benchmarks(build, regex):
    """(program, name) of every benchmark whose name (without "/real_time") the regular
    expression finds, in the programs' order."""
    programs = sorted(glob.glob(os.path.join(build, "bin", "*_bench")))
    if not programs:
        sys.exit(f"compare: no benchmark programs in {build}/bin (configure with -DQRVX_BENCH=ON)")
    found = []
    for program in programs:
        run = subprocess.run([program, "--benchmark_list_tests"], capture_output=True, text=True)
        if run.returncode != 0:
            sys.exit(f"compare: {os.path.basename(program)} failed:\n{run.stderr}")
        found += [(program, name) for name in run.stdout.splitlines()
                  if re.search(regex, short(name))]
    return found


def measure(program, name, min_time):
    """Mpix/s of one short run of one benchmark, or None if it counts no pixels."""
    cmd = [program, "--benchmark_format=json", f"--benchmark_min_time={min_time}",
           f"--benchmark_filter=^{literal(name)}$"]
    run = subprocess.run(cmd, capture_output=True, text=True)
    if run.returncode != 0 or not run.stdout.strip():
        sys.exit(f"compare: {os.path.basename(program)} {name} failed:\n{run.stderr}")
    for b in json.loads(run.stdout)["benchmarks"]:
        if b["name"] == name:
            # Not the timings of one-off work (view_pixels_bench's first use).
            return b.get("Mpix/s")
    sys.exit(f"compare: {os.path.basename(program)} did not run {name}")


def literal(text):
    """text as a regular expression that matches only itself (the programs' regex syntax is
    POSIX, where an escaped ordinary character is undefined, so only specials are escaped)."""
    return re.sub(r"([.^$*+?()\[\]{}|\\])", r"\\\1", text)


def short(name):
    return name.removesuffix("/real_time")


def copy_of(name):
    """The plain copy's name for a benchmark "<label>/<depth>/threads:<n>", or None."""
    parts = short(name).split("/")
    if len(parts) != 3 or parts[0] == "Copy" or parts[1] not in ("int16", "float"):
        return None
    return f"Copy/{parts[1]}/{parts[2]}"


def run_benchmarks(build, regex, min_time, rounds, progress):
    """Runs each benchmark in alternation with the plain copy of its depth and threads
    (copy, tool, copy, tool, ...), `rounds` of each, every one a separate short run, and
    yields (name, tool Mpix/s per round, copy Mpix/s per round) as each is done. A
    benchmark without a copy is run `rounds` times alone (its copy list is empty)."""
    copies = {short(n): (p, n) for p, n in list_benchmarks(build, "^Copy/")}
    for program, name in list_benchmarks(build, regex):
        if short(name).startswith("Copy/"):
            continue
        copy = copy_of(name)
        if copy not in copies:
            copy = None
        tool, base = [], []
        for r in range(rounds):
            if progress:
                print(f"{short(name)} round {r + 1}/{rounds}", end="\r", file=sys.stderr,
                      flush=True)
            if copy is not None:
                base.append(measure(*copies[copy], min_time))
            mpix = measure(program, name, min_time)
            if mpix is None:
                break
            tool.append(mpix)
        if progress:
            print(" " * 60, end="\r", file=sys.stderr, flush=True)
        if tool:
            yield short(name), tool, base[:len(tool)]


def ffmpeg_seconds(raw, pix_fmt, size, graph, threads):
    cmd = ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "info", "-benchmark",
           "-threads", str(threads), "-filter_threads", str(threads),
           "-f", "rawvideo", "-pix_fmt", pix_fmt, "-s", size, "-i", raw,
           "-vf", graph, "-f", "null", "-"]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True)
    m = re.search(r"rtime=([0-9.]+)s", out.stdout + out.stderr)
    if not m:
        raise RuntimeError("ffmpeg printed no benchmark time")
    return float(m.group(1))


def run_peers(results, regex):
    if not shutil.which("ffmpeg"):
        print("compare: ffmpeg not found; peers skipped (make bench installs it)")
        return {}
    peers = {}
    frames = {}
    with tempfile.TemporaryDirectory(dir="/tmp") as tmp:
        for p in PEERS:
            if p["bench"] not in results or (regex and not re.search(regex, p["bench"])):
                continue
            fmt = p["pix_fmt"]
            size = p.get("size", f"{WIDTH}x{HEIGHT}")
            raw = frames.get((fmt, size))
            if raw is None:
                raw = frames[(fmt, size)] = os.path.join(tmp, f"noise-{fmt}-{size}.raw")
                subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error",
                                "-f", "lavfi", "-i",
                                f"nullsrc=s={size},geq=random(1)*255:128:128",
                                "-frames:v", str(PEER_FRAMES), "-pix_fmt", fmt,
                                "-f", "rawvideo", raw], check=True)
            threads = int(p["bench"].rsplit(":", 1)[1])
            best = None
            for _ in range(3):  # best of three: the machine is shared and noisy
                base = ffmpeg_seconds(raw, fmt, size, "null", threads)
                with_filter = ffmpeg_seconds(raw, fmt, size, p["filter"], threads)
                t = max(with_filter - base, 1e-6)
                best = t if best is None else min(best, t)
            pixels = p.get("pixels", WIDTH * HEIGHT)
            peers[p["bench"]] = (p["peer"], PEER_FRAMES * pixels / best / 1e6)
    return peers


def median(values):
    v = sorted(values)
    mid = len(v) // 2
    return v[mid] if len(v) % 2 else (v[mid - 1] + v[mid]) / 2


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("build")
    ap.add_argument("--filter", default="", help="regular expression over benchmark names")
    ap.add_argument("--rounds", type=int, default=5, help="alternated rounds (default 5)")
    ap.add_argument("--min-time", default="0.5", help="seconds per run (default 0.5)")
    ap.add_argument("--no-peers", action="store_true")
    args = ap.parse_args()
    if args.rounds < 1:
        sys.exit("compare: --rounds must be at least 1")

    paths = "portable (QRVX_NO_AVX512 set)" if os.environ.get("QRVX_NO_AVX512") else \
        "wide where the processor has them"
    print(f"{args.rounds} rounds of copy then tool, {args.min_time} s a run; vector paths: {paths}")
    print(f"{'benchmark':40} {'Mpix/s':>8} {'copy':>6} {'x copy':>6}  {'spread':11}")
    medians = {}
    for name, tool, base in run_benchmarks(args.build, args.filter, args.min_time,
                                           args.rounds, sys.stderr.isatty()):
        medians[name] = median(tool)
        line = f"{name:40} {medians[name]:8.0f}"
        if base:
            ratios = [t / c for t, c in zip(tool, base)]
            line += f" {median(base):6.0f} {median(ratios):6.2f}  " \
                    f"{min(ratios):.2f}..{max(ratios):.2f}"
        print(line, flush=True)

    peers = {} if args.no_peers else run_peers(medians, args.filter)
    if peers:
        print(f"\n{'benchmark':40} {'Mpix/s':>8}  {'peer':32} {'Mpix/s':>8} {'x peer':>6}")
        for name, (peer, peer_mpix) in peers.items():
            print(f"{name:40} {medians[name]:8.0f}  {peer:32} {peer_mpix:8.0f} "
                  f"{medians[name] / peer_mpix:6.2f}")


if __name__ == "__main__":
    main()
