#!/usr/bin/env python3
"""The live viewer's latency: from a control change to the new picture drawn in the browser.

Usage: /usr/bin/python3 bench/view_bench.py [BUILD_DIR]   (default build)

Over a 1920 x 1080 float EXR in headless Chromium, for ChannelShift and ScopeTrace:
1. change to picture: the median over 20 changes of a number box, each made once the last
   picture is drawn, from the change (before its request leaves the page) to the new
   picture drawn on the canvas;
2. dragging: a control swept across a range for one second, one change per animation
   frame, as a dragged crosshair or slider sends them: how many changes were made, how many renders were drawn and how many dropped
   (overtaken by a newer change before they started), and how long after the last change
   its picture was drawn (one render's time when nothing piles up).
"""
import os
import statistics
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
sys.path.insert(0, os.path.join(BUILD, "python"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "view"))
os.environ.setdefault("QRVX_BIN", os.path.join(BUILD, "bin", "qrvx"))

import qrvx  # noqa: E402
from conftest import Viewer, chromium, wait_for  # noqa: E402

CHANGE = """const [id, value, axis] = arguments;
    const box = document.querySelector(`.control[data-id="${id}"] input[type=number]` +
                                       (axis ? `[data-axis="${axis}"]` : ''));
    box.value = value; box.dispatchEvent(new Event('change'));"""

SETTLED = "const s = qrvx.state; return s && !qrvx.sending && qrvx.shown && qrvx.shown.change === s.change;"

DRAG = """const [id, lo, hi, point, done] = arguments;
    const start = performance.now(), before = [qrvx.rendered, qrvx.dropped];
    let changes = 0;
    function step(now) {
        const t = (now - start) / 1000;
        if (t < 1) {
            const v = lo + (hi - lo) * t;
            qrvx.set(id, point ? `${v},0.5` : String(v));
            changes++;
            requestAnimationFrame(step);
            return;
        }
        const last = performance.now();
        const wait = () => {
            if (qrvx.sending || qrvx.shown.change !== qrvx.state.change) return setTimeout(wait, 2);
            done({changes, rendered: qrvx.rendered - before[0], dropped: qrvx.dropped - before[1],
                  tail: performance.now() - last});
        };
        wait();
    }
    requestAnimationFrame(step);"""


def measure(driver, viewer, tool, change, drag):
    driver.get(viewer.url)
    wait_for(driver, "return window.qrvx && qrvx.shown")
    if driver.execute_script("return qrvx.state.tool") != tool:
        driver.execute_script(f"const t = document.getElementById('tool'); t.value = '{tool}';"
                              "t.dispatchEvent(new Event('change'))")
        wait_for(driver, f"return qrvx.state.tool === '{tool}' && qrvx.shown")
    wait_for(driver, SETTLED)
    driver.execute_script("qrvx.timings = []")
    for k in range(20):
        driver.execute_script(CHANGE, *change(k))
        wait_for(driver, f"return qrvx.timings.length > {k} && (() => {{ {SETTLED} }})()", timeout=60)
    times = driver.execute_script("return qrvx.timings")
    d = driver.execute_async_script(DRAG, *drag)
    print(f"{tool}: change to picture median {statistics.median(times):.1f} ms "
          f"(min {min(times):.1f}, max {max(times):.1f}, 20 changes); dragging for 1 s: "
          f"{d['changes']} changes, {d['rendered']} renders drawn, {d['dropped']} dropped, "
          f"last picture {d['tail']:.0f} ms after the last change")


def main():
    folder = tempfile.mkdtemp(prefix="qrvx-view-bench-")
    y, x = np.mgrid[0:1080, 0:1920].astype(np.float32)
    plate = np.stack([x / 1919, y / 1079, (x + y) % 97 / 96, np.ones_like(x)], axis=-1).astype(np.float32)
    qrvx.write(os.path.join(folder, "plate.exr"), plate)
    viewer = Viewer(folder, "ChannelShift", "-i", os.path.join(folder, "plate.exr"))
    driver = chromium(os.path.join(folder, "profile"))
    try:
        print(f"1920 x 1080 float EXR, {os.cpu_count()} cores")
        measure(driver, viewer, "ChannelShift",
                lambda k: ("Center Red", f"{0.5 + 0.001 * (k + 1):.3f}", "x"), ("Center Red", 0.3, 0.7, True))
        measure(driver, viewer, "ScopeTrace",
                lambda k: ("Y Stretch Red", f"{0.3 + 0.01 * (k + 1):.2f}", None), ("Y Stretch Red", 0.1, 1.0, False))
    finally:
        driver.quit()
        viewer.stop()


if __name__ == "__main__":
    main()
