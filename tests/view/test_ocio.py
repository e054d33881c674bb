"""`qrvx view` with an OpenColorIO config: float pictures through the config's displays and
views, picked on the page, against values computed here."""
import json
import os

import numpy as np
import pytest
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

import qrvx
from conftest import Viewer, wait_for

# Two displays: "Monitor" (the default) with a cube-root view (the default) and a linear
# one; "Dim" with a view that halves every value.
CONFIG = """ocio_profile_version: 2
roles:
  default: linear
  scene_linear: linear
file_rules:
  - !<Rule> {name: Default, colorspace: linear}
displays:
  Monitor:
    - !<View> {name: Cube root, colorspace: cuberoot}
    - !<View> {name: Linear, colorspace: linear}
  Dim:
    - !<View> {name: Half, colorspace: half}
colorspaces:
  - !<ColorSpace>
    name: linear
  - !<ColorSpace>
    name: cuberoot
    from_scene_reference: !<ExponentTransform> {value: 3, direction: inverse}
  - !<ColorSpace>
    name: half
    from_scene_reference: !<MatrixTransform> {matrix: [0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 1]}
"""


def float_plate(h=8, w=40):
    """Float values below 0, inside 0..1 and above it, NaN and infinity, top row first."""
    img = np.empty((h, w, 4), np.float32)
    img[..., 0] = np.linspace(-0.25, 1.6, w, dtype=np.float32)[None, :]
    img[..., 1] = np.array([0, 0.001, 0.05, 0.18, 0.5, 0.9, np.nan, np.inf], np.float32)[:h, None]
    img[..., 2] = img[..., 0][:, ::-1] * 0.7
    img[..., 3] = 0.5
    return img


def shown(values, curve):
    """The page's bytes for float values through a curve of values from 0 up: NaN and values
    not above 0 give 0, results above 1 full; alpha full."""
    v = np.nan_to_num(values, nan=0.0, posinf=1e30, neginf=0.0)
    # In single precision, as the raw view computes.
    v = np.clip(curve(np.maximum(v, 0)), 0, 1).astype(np.float32)
    out = np.floor(v * np.float32(255) + np.float32(0.5)).astype(np.uint8)
    out[..., 3] = 255
    return out


CUBE_ROOT = lambda v: np.cbrt(v)
HALF = lambda v: 0.5 * v
RAW = lambda v: v


@pytest.fixture(scope="module")
def ocio_root(tmp_path_factory):
    folder = tmp_path_factory.mktemp("ocio")
    (folder / "config.ocio").write_text(CONFIG)
    qrvx.write(str(folder / "float.exr"), float_plate())
    return folder


@pytest.fixture(scope="module")
def ocio_viewer(ocio_root):
    v = Viewer(ocio_root, "ChannelShift", "-i", ocio_root / "float.exr", env={"OCIO": str(ocio_root / "config.ocio")})
    yield v
    v.stop()


def picture(viewer, query):
    """The render's bytes of a fresh page session through the view the query names."""
    status, body = viewer.request("/api/session", json.dumps({"tool": "ChannelShift", "inputs": {"Input": "float.exr"}}).encode())
    assert status == 200, body
    state = json.loads(body)
    status, body = viewer.request(f"/api/render?s={state['session']}&change={state['change']}&{query}")
    return status, body


def as_array(body, like):
    return np.frombuffer(body, np.uint8).reshape(like.shape)


def test_float_pictures_through_the_configs_displays_and_views(ocio_viewer, ocio_root):
    status, body = ocio_viewer.request("/api/start")
    ocio = json.loads(body)["ocio"]
    assert ocio["display"] == "Monitor" and ocio["view"] == "Cube root" and ocio["input"] == "linear"
    assert [(d["name"], d["views"]) for d in ocio["displays"]] == [("Monitor", ["Cube root", "Linear"]), ("Dim", ["Half"])]

    plate = float_plate()
    for query, curve in [("view=ocio", CUBE_ROOT), ("", CUBE_ROOT),  # the config's defaults
                         ("view=ocio&display=Dim", HALF),  # the display's default view
                         ("view=ocio&display=Dim&ocioView=Half", HALF),
                         ("view=ocio&display=Monitor&ocioView=Linear", RAW)]:
        status, body = picture(ocio_viewer, query)
        assert status == 200, (query, body)
        got = as_array(body, plate).astype(int)
        assert np.abs(got - shown(plate, curve)).max() <= 1, query  # the processor may round otherwise
    status, body = picture(ocio_viewer, "view=raw")
    np.testing.assert_array_equal(as_array(body, plate), shown(plate, RAW))

    # Unknown names are refused with both named; the server serves on.
    status, body = picture(ocio_viewer, "view=ocio&display=Dim&ocioView=Cube%20root")
    assert status == 400 and json.loads(body)["error"] == 'the OpenColorIO config has no display "Dim" with a view "Cube root"'
    assert picture(ocio_viewer, "view=ocio&display=Nope")[0] == 400
    assert picture(ocio_viewer, "view=ocio")[0] == 200


def test_integer_pictures_are_shown_as_they_are(ocio_viewer, ocio_root):
    img = np.zeros((4, 6, 4), np.uint16)
    img[..., 0] = np.arange(6) * 13000
    img[..., 1] = 30000
    qrvx.write(str(ocio_root / "int.png"), img)
    status, body = ocio_viewer.request("/api/session", json.dumps({"tool": "ChannelShift", "inputs": {"Input": "int.png"}}).encode())
    state = json.loads(body)
    status, body = ocio_viewer.request(f"/api/render?s={state['session']}&change={state['change']}&view=ocio&display=Dim")
    expected = ((img.astype(np.uint32) * 255 + 32767) // 65535).astype(np.uint8)
    expected[..., 3] = 255
    np.testing.assert_array_equal(np.frombuffer(body, np.uint8).reshape(expected.shape), expected)


def test_page_picks_display_and_view_and_raw(browser, ocio_viewer):
    browser.get(ocio_viewer.url)
    wait_for(browser, "return window.qrvx && qrvx.shown && qrvx.state && qrvx.shown.change === qrvx.state.change")
    display, view = Select(browser.find_element(By.ID, "display")), Select(browser.find_element(By.ID, "ocioView"))
    assert display.first_selected_option.text == "Monitor" and view.first_selected_option.text == "Cube root"
    assert [o.text for o in view.options] == ["Cube root", "Linear"]
    plate = float_plate()

    def page_bytes(view_query):
        wait_for(browser, f"return qrvx.shown.view === {json.dumps(view_query)}")
        return np.array(browser.execute_script("return Array.from(qrvx.shown.pixels)"), np.uint8).reshape(plate.shape).astype(int)

    assert np.abs(page_bytes("view=ocio&display=Monitor&ocioView=Cube%20root") - shown(plate, CUBE_ROOT)).max() <= 1
    display.select_by_visible_text("Dim")
    assert [o.text for o in view.options] == ["Half"]
    assert np.abs(page_bytes("view=ocio&display=Dim&ocioView=Half") - shown(plate, HALF)).max() <= 1
    browser.find_element(By.ID, "raw").click()
    np.testing.assert_array_equal(page_bytes("view=raw"), shown(plate, RAW))


def test_a_config_that_does_not_read_leaves_srgb_with_a_warning(ocio_root):
    (ocio_root / "broken.ocio").write_text("ocio_profile_version: 2\ncolorspaces: [\n")
    viewer = Viewer(ocio_root, env={"OCIO": str(ocio_root / "broken.ocio")})
    try:
        start = json.loads(viewer.request("/api/start")[1])
        assert start["ocio"] is None and "broken.ocio" in start["ocioError"]
        status, body = picture(viewer, "view=ocio")
        assert status == 400 and "broken.ocio" in json.loads(body)["error"]
        status, body = picture(viewer, "")  # sRGB without a config
        assert status == 200 and body == picture(viewer, "view=srgb")[1]
    finally:
        viewer.stop()
    warning = viewer.proc.stderr.read()
    assert warning.startswith("qrvx: warning: OpenColorIO config ") and "float pictures are shown through sRGB" in warning
