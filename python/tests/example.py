"""A pipeline script written against the installed qrvx package: the install test runs
it in a fresh virtual environment and checks it with mypy --strict.

    python3 example.py FOLDER
"""
import sys
from pathlib import Path

import numpy as np

import qrvx


def shift_plate(folder: Path) -> None:
    plate = folder / "plate.exr"
    qrvx.write(plate, qrvx.test_card(float=True), compression="zip")
    shift = qrvx.Tool("ChannelShift")
    shift["Center Red"] = (0.52, 0.5)
    red: float | tuple[float, float] = shift["Center Red"]
    assert red == (0.52, 0.5), red
    image: qrvx.Image = qrvx.read(plate)
    out = shift.render(image, threads=2)
    qrvx.write(folder / "shifted.exr", out)
    back = qrvx.read(folder / "shifted.exr")
    assert back.dtype == np.float32 and np.array_equal(back, out)
    # With the plate's description: its type, windows and metadata; half on request.
    image.metadata["Artist"] = "Ada"
    qrvx.write(folder / "shifted-half.exr", out, like=image, dtype="half")
    half = qrvx.read(folder / "shifted-half.exr")
    window: qrvx.Window = half.display_window
    assert half.data_type == "half" and window == image.display_window
    assert half.metadata["Artist"] == "Ada" and half.channels == ["R", "G", "B", "A"]


def list_tools() -> list[str]:
    names = [t["name"] for t in qrvx.tools()]
    for name in names:
        tool = qrvx.Tool(name)
        assert tool.name == name and all(isinstance(c["id"], str) for c in tool.controls())
    return names


if __name__ == "__main__":
    shift_plate(Path(sys.argv[1]))
    print(f"qrvx {qrvx.__version__}: {len(list_tools())} tools")
