#!/usr/bin/env python3
"""Runs every benchmark program of a build and the ffmpeg peers on the same frame size,
then prints Mpix/s with the ratios against the plain copy and against the peer.

Usage: bench/compare.py BUILD_DIR [--filter REGEX] [--min-time SECONDS] [--no-peers]

Each benchmark is named "<label>/<int16|float>/threads:<n>"; its yardstick is
"Copy/<depth>/threads:<n>" from host_bench. A peer is an ffmpeg filter run over the same
number of frames of noise (3840 x 2160 unless the row gives another "size") in the named
pixel format; its time is the run with the filter less the run with ffmpeg's null filter,
so that reading and decoding the raw frames is not counted against it. Its Mpix/s counts
the frame's pixels, or "pixels" per frame where the row gives them (a peer whose output
is counted, as its benchmark counts the tool's output).
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


def run_benchmarks(build, regex, min_time):
    results = {}
    programs = sorted(glob.glob(os.path.join(build, "bin", "*_bench")))
    if not programs:
        sys.exit(f"compare: no benchmark programs in {build}/bin (configure with -DQRVX_BENCH=ON)")
    for program in programs:
        cmd = [program, "--benchmark_format=json", f"--benchmark_min_time={min_time}"]
        if regex:
            cmd.append(f"--benchmark_filter={regex}")
        run = subprocess.run(cmd, capture_output=True, text=True)
        if "Failed to match" in run.stderr + run.stdout:
            continue  # the filter leaves nothing of this program
        if run.returncode != 0 or not run.stdout.strip():
            sys.exit(f"compare: {os.path.basename(program)} failed:\n{run.stderr}")
        for b in json.loads(run.stdout)["benchmarks"]:
            if "Mpix/s" in b:  # not the timings of one-off work (view_pixels_bench's first use)
                results[b["name"].removesuffix("/real_time")] = b["Mpix/s"]
    return results


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


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("build")
    ap.add_argument("--filter", default="")
    ap.add_argument("--min-time", default="1")
    ap.add_argument("--no-peers", action="store_true")
    args = ap.parse_args()

    results = run_benchmarks(args.build, args.filter and f"({args.filter})|^Copy/", args.min_time)
    peers = {} if args.no_peers else run_peers(results, args.filter)

    print(f"{'benchmark':44} {'Mpix/s':>9} {'x copy':>7}  {'peer':30} {'Mpix/s':>9} {'x peer':>7}")
    for name, mpix in results.items():
        label, depth, threads = name.split("/")
        copy = results.get(f"Copy/{depth}/{threads}")
        ratio = f"{mpix / copy:7.2f}" if copy else f"{'':7}"
        line = f"{name:44} {mpix:9.0f} {ratio}"
        if name in peers:
            peer, peer_mpix = peers[name]
            line += f"  {peer:30} {peer_mpix:9.0f} {mpix / peer_mpix:7.2f}"
        print(line)


if __name__ == "__main__":
    main()
