"""`qrvx view` end to end: the page in headless Chromium against `qrvx render`."""
import base64
import json
import os
import shlex
import signal
import subprocess

import numpy as np
import pytest
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select

import qrvx
from conftest import QRVX, Viewer, wait_for


def run_qrvx(cwd, *args):
    return subprocess.run([QRVX, *map(str, args)], capture_output=True, text=True, cwd=cwd)


def as_shown(img):
    """The 8-bit colours the page draws for a 16-bit picture: (255 v + 32767) / 65535, full alpha."""
    out = ((img.astype(np.uint32) * 255 + 32767) // 65535).astype(np.uint8)
    out[..., 3] = 255
    return out


def page_picture(driver):
    """The output picture the page drew, read back from its canvas, as an h x w x 4 array."""
    data = driver.execute_async_script("""
        const done = arguments[0], s = qrvx.shown;
        const c = document.createElement('canvas'); c.width = s.width; c.height = s.height;
        c.getContext('2d').putImageData(new ImageData(s.pixels, s.width, s.height), 0, 0);
        const drawn = c.getContext('2d').getImageData(0, 0, s.width, s.height).data;
        let bin = ''; for (let i = 0; i < drawn.length; i += 8192)
            bin += String.fromCharCode.apply(null, drawn.subarray(i, i + 8192));
        done([s.width, s.height, btoa(bin)]);""")
    w, h, b64 = data
    return np.frombuffer(base64.b64decode(b64), np.uint8).reshape(h, w, 4)


def settle(driver):
    """Waits until every change is sent and the picture shown is the newest state's render."""
    return wait_for(driver, """const s = qrvx.state;
        return s && qrvx.shown && !qrvx.sending && qrvx.shown.change === s.change && s""")


def command_render(root, state, out):
    """Runs the command line the page shows, with the output renamed."""
    args = shlex.split(state["command"])[1:]
    args[args.index("-o") + 1] = out
    done = run_qrvx(root, *args, "-q")
    assert done.returncode == 0, done.stderr
    return qrvx.read(os.path.join(root, out))


def control(state, id):
    return next(c for c in state["controls"] if c["id"] == id)


def open_page(browser, viewer):
    browser.get(viewer.url)
    wait_for(browser, "return window.qrvx && qrvx.shown")
    return settle(browser)


def test_channelshift_number_box_and_crosshair_match_the_command(browser, viewer, root):
    state = open_page(browser, viewer)
    assert state["tool"] == "ChannelShift"
    np.testing.assert_array_equal(page_picture(browser), as_shown(qrvx.read(os.path.join(root, "plate.png"))))

    # The number box: Center Red's x to 0.6.
    row = browser.find_element(By.CSS_SELECTOR, '.control[data-id="Center Red"]')
    box = row.find_element(By.CSS_SELECTOR, 'input[data-axis="x"]')
    box.clear()
    box.send_keys("0.6", Keys.ENTER)
    state = settle(browser)
    assert control(state, "Center Red")["value"] == [0.6, 0.5]
    assert "'Center Red=0.6,0.5'" in state["command"]
    np.testing.assert_array_equal(page_picture(browser), as_shown(command_render(root, state, "box.png")))

    # The crosshair: dragged right and up, the point's x and y both grow (y points up).
    row.find_element(By.TAG_NAME, "button").click()
    mark = browser.find_element(By.CSS_SELECTOR, "#crosshair circle")
    before = state["change"]
    ActionChains(browser).click_and_hold(mark).move_by_offset(20, -15).move_by_offset(20, -15).release().perform()
    wait_for(browser, f"return qrvx.state.change > {before}")
    state = settle(browser)
    x, y = control(state, "Center Red")["value"]
    assert x > 0.6 and y > 0.5
    np.testing.assert_array_equal(page_picture(browser), as_shown(command_render(root, state, "drag.png")))

    # The readout's pixel (0, 0) is the bottom-left corner of the picture.
    session = browser.execute_script("return qrvx.session")
    status, body = viewer.request(f"/api/pixel?s={session}&which=input&x=0&y=0")
    assert status == 200
    plate = qrvx.read(os.path.join(root, "plate.png"))
    assert json.loads(body)["values"] == plate[-1, 0].tolist()
    # Split: the output left of the line, the input right of it; the picture stays.
    browser.find_element(By.CSS_SELECTOR, 'input[name=show][value=split]').click()
    wait_for(browser, "return qrvx.input && document.querySelector('#overlay .split')")
    browser.save_screenshot(os.environ.get("QRVX_VIEW_SCREENSHOT", os.path.join(root, "view.png")))


def test_scopetrace_type_shows_hides_and_loads_presets_and_saves_settings(browser, viewer, root):
    open_page(browser, viewer)
    Select(browser.find_element(By.ID, "tool")).select_by_value("ScopeTrace")
    state = wait_for(browser, "const s = qrvx.state; return s && s.tool === 'ScopeTrace' && qrvx.shown && s")
    shown = lambda: set(browser.execute_script(
        "return [...document.querySelectorAll('#controls .control')].filter(e => e.offsetParent).map(e => e.dataset.id)"))
    before_visible, before = shown(), {c["id"]: c.get("value") for c in state["controls"]}
    assert before_visible == {c["id"] for c in state["controls"] if c["visible"] and c["dataType"] != "Image"}

    # Parade to Luminance: the per-channel controls go, the single ones come.
    type_box = Select(browser.find_element(By.CSS_SELECTOR, 'select[data-id="Type"]'))
    type_box.select_by_visible_text("Luminance")
    state = wait_for(browser, f"const s = qrvx.state; return s && s.change > {state['change']} && s")
    luminance = shown()
    assert "Y Stretch" in luminance and "Y Stretch Red" not in luminance
    assert luminance == {c["id"] for c in state["controls"] if c["visible"] and c["dataType"] != "Image"}
    # Luminance to fullscreen: the channels' stretches (a third each in the parade) are
    # loaded with 1, and the widgets show it.
    type_box.select_by_visible_text("RGBA(fullscreen)")
    state = wait_for(browser, f"const s = qrvx.state; return s && s.change > {state['change']} && s")
    assert shown() == before_visible
    for id in ("Y Stretch Red", "Y Stretch Green", "Y Stretch Blue"):
        assert before[id] == pytest.approx(1 / 3) and control(state, id)["value"] == 1
        box = browser.find_element(By.CSS_SELECTOR, f'.control[data-id="{id}"] input[type=number]')
        assert float(box.get_attribute("value")) == 1

    # Saved settings render the same picture with the command.
    browser.find_element(By.ID, "savePath").clear()
    browser.find_element(By.ID, "savePath").send_keys("scope.json")
    browser.find_element(By.ID, "saveButton").click()
    wait_for(browser, "return document.getElementById('saved').textContent.startsWith('Saved')")
    state = settle(browser)
    done = run_qrvx(root, "render", "ScopeTrace", "-i", "plate.png", "--settings", "scope.json", "-q", "-o", "saved.png")
    assert done.returncode == 0, done.stderr
    np.testing.assert_array_equal(page_picture(browser), as_shown(qrvx.read(os.path.join(root, "saved.png"))))
    np.testing.assert_array_equal(page_picture(browser), as_shown(command_render(root, state, "scope.png")))


def test_failed_render_shows_the_message_keeps_the_picture_and_serving_goes_on(browser, viewer, root):
    with open(os.path.join(root, "broken.png"), "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n not a picture")
    state = open_page(browser, viewer)
    good = page_picture(browser)
    expected = run_qrvx(root, "render", "ChannelShift", "-i", "broken.png", "-o", "never.png").stderr.strip().splitlines()[-1]
    assert expected.startswith("qrvx: error: ")
    browser.execute_script("document.querySelector('.imagerow[data-id=Input] button').click()")
    wait_for(browser, "return !document.getElementById('picker').hidden")
    browser.find_element(By.CSS_SELECTOR, '#pickerList li[data-path="broken.png"]').click()
    message = wait_for(browser, "return qrvx.failed > 0 && document.getElementById('status').textContent")
    assert message == "render failed: " + expected[len("qrvx: error: "):]
    np.testing.assert_array_equal(page_picture(browser), good)
    # A sequence under the root: its frame slider sets the frame and the render time.
    browser.execute_script("document.querySelector('.imagerow[data-id=Input] button').click()")
    wait_for(browser, "return [...document.querySelectorAll('#pickerList li.folder')].find(e => e.textContent === 'seq')").click()
    wait_for(browser, "return document.querySelector('#pickerList li[data-path=\"seq/shot.####.png\"]')").click()
    state = wait_for(browser, "const s = qrvx.state; return s && s.sequence && qrvx.shown.change === s.change && s")
    assert state["frame"] == 1
    browser.execute_script("const f = document.getElementById('frameBox'); f.value = 3; f.dispatchEvent(new Event('change'))")
    state = wait_for(browser, "const s = qrvx.state; return s && s.frame === 3 && qrvx.shown.change === s.change && s")
    assert "--frames 3" in state["command"]
    np.testing.assert_array_equal(page_picture(browser), as_shown(qrvx.read(os.path.join(root, "seq", "shot.0003.png"))))


def test_token_paths_and_bad_requests_are_refused(viewer, root, tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    qrvx.write(outside / "secret.png", np.zeros((4, 4, 4), np.uint16))
    link = os.path.join(root, "link")
    if not os.path.islink(link):
        os.symlink(outside, link)

    assert viewer.request("/", token=False)[0] == 403
    assert viewer.request("/api/start", token=False)[0] == 403
    assert viewer.request(f"/api/start?t={'0' * len(viewer.token)}", token=False)[0] == 403
    assert viewer.request(f"/?t={viewer.token}", token=False)[0] == 200

    status, body = viewer.request("/api/session", json.dumps({"tool": "ChannelShift"}).encode())
    assert status == 200
    session = json.loads(body)["session"]
    for folder in ("..", "../", "seq/../..", "link", str(outside)):
        assert viewer.request("/api/files?dir=" + folder)[0] == 400, folder
    listing = json.loads(viewer.request("/api/files?dir=")[1])
    assert "link" not in listing["folders"] and "seq" in listing["folders"]
    assert {"name": "shot.####.png", "frames": [1, 2, 3]} in json.loads(viewer.request("/api/files?dir=seq")[1])["sequences"]
    for path in ("../plate.png", "link/secret.png", str(outside / "secret.png")):
        status, body = viewer.request("/api/connect", json.dumps({"s": session, "id": "Input", "path": path}).encode())
        assert status == 400, (path, body)
    for path in ("../x.json", "link/x.json"):
        status, _ = viewer.request("/api/save", json.dumps({"s": session, "path": path}).encode())
        assert status == 400
    assert not os.path.exists(outside / "x.json")

    # Malformed and oversized requests, a bad value, an unknown session: refused, and the
    # server serves on.
    assert viewer.request("/api/set", b"{not json")[0] == 400
    assert viewer.request("/api/set", json.dumps({"s": session, "id": "Red"}).encode())[0] == 400
    status, body = viewer.request("/api/set", json.dumps({"s": session, "id": "Red", "value": "x"}).encode())
    assert status == 400 and "Red" in json.loads(body)["error"]
    assert viewer.request("/api/state?s=nope")[0] == 404
    assert viewer.request("/api/set", b"{" + b" " * (2 << 20) + b"}")[0] == 413
    assert viewer.request("/api/render?s=" + session + "&change=zz")[0] == 400
    change = json.loads(viewer.request(f"/api/state?s={session}")[1])["change"]
    assert viewer.request(f"/api/render?s={session}&change={change}")[0] == 200


def test_a_render_overtaken_by_a_newer_change_is_dropped(viewer):
    status, body = viewer.request("/api/session", json.dumps({"tool": "ChannelShift", "inputs": {"Input": "plate.png"}}).encode())
    session = json.loads(body)["session"]
    for v in ("0.51,0.5", "0.52,0.5"):
        viewer.request("/api/set", json.dumps({"s": session, "id": "Center Red", "value": v}).encode())
    assert viewer.request(f"/api/render?s={session}&change=2")[0] == 409  # change 3 is newer
    status, _ = viewer.request(f"/api/render?s={session}&change=3")
    assert status == 200


def test_command_line_options_are_checked_and_ctrl_c_stops_the_server(root):
    viewer = Viewer(root)
    assert viewer.request("/api/start")[0] == 200
    viewer.proc.send_signal(signal.SIGINT)
    assert viewer.proc.wait(10) == 0

    done = run_qrvx(root, "view", "--root", root, "-i", "/etc/hostname")
    assert done.returncode == 2 and "outside the root" in done.stderr
    done = run_qrvx(root, "view", "--root", os.path.join(root, "nothere"))
    assert done.returncode == 2 and "not a folder" in done.stderr
