"""The viewer under test: `qrvx view` serving a folder of plates, and headless Chromium."""
import os
import shutil
import subprocess
import tempfile
import time
import urllib.request

import numpy as np
import pytest

import qrvx

QRVX = os.environ.get("QRVX_BIN", "qrvx")
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--disable-dev-shm-usage", "--window-size=1280,800"]


class Viewer:
    """A running `qrvx view` and its address."""

    def __init__(self, root, *args, env=None):
        self.root = root
        self.proc = subprocess.Popen([QRVX, "view", "--root", str(root), "--port", "0", *map(str, args)],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     env=None if env is None else {**os.environ, **env})
        self.url = self.proc.stdout.readline().strip()
        if not self.url.startswith("http://"):
            self.proc.kill()
            raise RuntimeError("qrvx view did not start: " + self.proc.stderr.read())
        self.base, self.token = self.url.split("/?t=")

    def request(self, path, body=None, token=True):
        """(status, bytes) of one request, with the token unless told otherwise."""
        req = urllib.request.Request(self.base + path, data=body)
        if token:
            req.add_header("X-Token", self.token)
        if body is not None:
            req.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(req, timeout=30) as r:
                return r.status, r.read()
        except urllib.error.HTTPError as e:
            return e.code, e.read()

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def plate(h=96, w=128):
    """A 16-bit picture with structure in every channel."""
    y, x = np.mgrid[0:h, 0:w]
    img = np.empty((h, w, 4), np.uint16)
    img[..., 0] = (x * 65535 // (w - 1)).astype(np.uint16)
    img[..., 1] = (y * 65535 // (h - 1)).astype(np.uint16)
    img[..., 2] = (((x // 8 + y // 8) % 2) * 50000 + 5000).astype(np.uint16)
    img[..., 3] = 65535
    return img


@pytest.fixture(scope="session")
def root():
    folder = tempfile.mkdtemp(prefix="qrvx-view-")
    qrvx.write(os.path.join(folder, "plate.png"), plate())
    os.makedirs(os.path.join(folder, "seq"))
    for f in (1, 2, 3):
        qrvx.write(os.path.join(folder, "seq", f"shot.{f:04d}.png"), plate() // (f + 1))
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(scope="session")
def viewer(root):
    v = Viewer(root, "ChannelShift", "-i", os.path.join(root, "plate.png"))
    yield v
    v.stop()


def chromium(profile):
    """Headless Chromium through its driver, with a fresh profile folder."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    for flag in CHROMIUM_FLAGS + [f"--user-data-dir={profile}"]:
        options.add_argument(flag)
    if os.path.exists("/usr/bin/chromium"):
        options.binary_location = "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                              options=options)
    driver.set_script_timeout(60)
    return driver


@pytest.fixture(scope="session")
def browser():
    profile = tempfile.mkdtemp(prefix="qrvx-chromium-")
    driver = chromium(profile)
    yield driver
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)


def wait_for(driver, script, timeout=20):
    """Waits until the page's script returns something true, and returns it."""
    end = time.time() + timeout
    while True:
        value = driver.execute_script(script)
        if value:
            return value
        if time.time() > end:
            raise AssertionError("timed out waiting for: " + script)
        time.sleep(0.05)
