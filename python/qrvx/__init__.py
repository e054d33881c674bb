"""qrvx: image tools for film and video compositing, on numpy arrays.

The tools of the ``qrvx`` command, without files in between::

    import qrvx
    shift = qrvx.Tool("ChannelShift")
    shift["Center Red"] = (0.52, 0.5)
    out = shift.render(qrvx.read("plate.exr"))      # (height, width, 4) float32
    qrvx.write("shifted.exr", out)

Images are numpy arrays of shape (height, width, 4), channels R, G, B, A: ``uint16`` for
integer images (0..65535) and ``float32`` for float images (0..1 nominal, other values
kept). Renders accept (H, W), (H, W, 1), (H, W, 3) and (H, W, 4) arrays of ``uint8``
(scaled by 257), ``uint16``, ``float16``, ``float32`` or ``float64``, in either byte
order; grey becomes R = G = B and a missing alpha is full alpha, as the command reads
files. Row 0 of an array is the top of the picture, as in OpenImageIO, imageio and every
image library; point controls count from the bottom-left corner (y up), as compositing
applications do. Arrays that renders and ``read`` return may be views whose rows step
backwards through memory (negative strides: no copy is made to turn the picture); call
``numpy.ascontiguousarray`` where a library needs C order. Input arrays are never modified. A render hands the pixel memory it used back to
the system when it ends.

Renders release the GIL: several Python threads, each with its own ``Tool``, render at
once on all cores. A ``Tool`` used from two threads at once serialises.

``qrvx.farm`` renders frame sequences on a Dask cluster (``python3 -m qrvx.farm --help``).

Plug-ins are loaded first from the package's own ``plugins`` folder (installed by pip),
or in a build tree or an installed prefix from the ``plugins`` folder beside the
package's parent folder: the plug-ins built with this module. Then from
``QRVX_PLUGIN_PATH`` (colon-separated), whose tools are added unless a tool of the same
registry ID or plug-in file name came first.
"""

from __future__ import annotations

import inspect as _inspect
import json as _json
import math as _math
import os as _os
from typing import Any, Mapping, Optional, Tuple, Union

import numpy as _np
import numpy.typing as _npt

from . import _qrvx

_HERE = _os.path.dirname(_os.path.abspath(__file__))
_OWN_PLUGINS = _os.path.join(_HERE, "plugins")
if not _os.path.isdir(_OWN_PLUGINS):
    _OWN_PLUGINS = _os.path.normpath(_os.path.join(_HERE, "..", "..", "plugins"))
_qrvx.add_plugin_folder(_OWN_PLUGINS)

__all__ = ["Tool", "tools", "read", "write", "test_card", "__version__", "Array", "Value",
           "PathLike"]

#: An image as the module gives it: (height, width, 4), uint16 or float32.
Array = _npt.NDArray[Any]
#: A control's value: a number, or (x, y) for a point.
Value = Union[float, Tuple[float, float]]
#: A file name.
PathLike = Union[str, "_os.PathLike[str]"]

#: The project's version, as ``qrvx --version`` and ``python3 -m qrvx --version`` print it.
__version__: str = _qrvx.__version__

_INTEGER = (_np.uint8, _np.uint16)
_FLOAT = (_np.float16, _np.float32, _np.float64)


# The largest width or height the host takes (its sizes are 32-bit).
_MAX_SIDE = 2**31 - 1


def _image_array(array: _npt.ArrayLike, what: str) -> Array:
    """The array as the native side takes it: 3 dimensions, native uint8, uint16 or float32."""
    a = _np.asarray(array)
    if a.ndim == 2:
        a = a[:, :, None]
    if a.ndim != 3 or a.shape[2] not in (1, 3, 4) or a.shape[0] < 1 or a.shape[1] < 1:
        raise ValueError(f"{what}: an image is an array of shape (H, W), (H, W, 1), (H, W, 3) "
                         f"or (H, W, 4), not {a.shape}")
    if max(a.shape[0], a.shape[1]) > _MAX_SIDE:
        raise ValueError(f"{what}: an image of {a.shape[1]} x {a.shape[0]} pixels is too large "
                         f"(at most {_MAX_SIDE} pixels a side)")
    if a.dtype.type not in _INTEGER + _FLOAT:
        raise TypeError(f"{what}: an image holds uint8, uint16, float16, float32 or float64 "
                        f"values, not {a.dtype}")
    if a.dtype.type in (_np.float16, _np.float64) or not a.dtype.isnative:
        # Other float widths, and values stored in the other byte order, as native values.
        a = a.astype(_np.float32 if a.dtype.kind == "f" else a.dtype.newbyteorder("="))
    return a


def _number(value: Any, what: str) -> float:
    """A finite float, or ValueError naming what it is for."""
    try:
        v = float(value)
    except OverflowError:
        raise ValueError(f"{what} {_short(value)} is too large") from None
    if not _math.isfinite(v):
        raise ValueError(f"{what} {v!r} is not a finite number")
    return v


def _short(value: object) -> str:
    text = repr(value)
    return text if len(text) <= 40 else f"{text[:20]}...({len(text)} characters)"


def _thread_count(threads: object) -> int:
    """threads= as the command takes --threads: None or 0 for every core, more than the
    cores as every core; negative counts are refused."""
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, (int, _np.integer)):
        raise TypeError(f"threads is a whole number, not {type(threads).__name__}")
    threads = int(threads)
    if threads < 0:
        raise ValueError(f"threads {_short(threads)} is not a thread count (0 for every core, "
                         "or more)")
    return min(threads, len(_os.sched_getaffinity(0)))


def _value_text(value: object) -> str:
    """A control value as the command takes it after -s ID=."""
    if isinstance(value, str):
        return value
    if isinstance(value, (tuple, list, _np.ndarray)):
        if len(value) != 2:
            raise ValueError(f"a point is (x, y), not {value!r}")
        return f"{_number(value[0], 'a point coordinate')!r},{_number(value[1], 'a point coordinate')!r}"
    if isinstance(value, (bool, int, float, _np.integer, _np.floating)):
        try:
            return repr(float(value))
        except OverflowError:
            raise ValueError(f"a control value of {_short(value)} is too large") from None
    raise TypeError(f"a control value is a number, an (x, y) pair or a combo entry's text, "
                    f"not {type(value).__name__}")


def tools() -> list[dict[str, Any]]:
    """The loaded tools, as ``qrvx tools --json`` lists them: a list of dicts."""
    listed: list[dict[str, Any]] = _json.loads(_qrvx.tools_json())
    return listed


class Tool:
    """One tool, found by display, short or script name or registry ID (any case).

    Controls are set and read by ID, as with ``qrvx render -s ID=VALUE``::

        tool = qrvx.Tool("Warble")
        tool["FormulaXR"] = "SIN"          # a combo entry by text, or by index: 1
        tool.set("amplitudeXR", 0.12)
        tool["Center Red"]                 # a number, or (x, y) for a point

    Every set runs the tool's change notification, so presets fill other controls as in
    the command. IDs are matched exactly, case included, as by the command (tool names
    and combo entries in any case). An unknown ID raises KeyError, a value the control
    does not take ValueError, both with the command's message.

    Each tool is an instance of a subclass named after it, whose help lists the tool's
    inputs and controls: ``help(qrvx.Tool("PanelSim"))``.
    """

    _tool: _qrvx.Tool

    def __new__(cls, name: str) -> Tool:
        native = _qrvx.Tool(name)
        self = super().__new__(_tool_class(native))
        self._tool = native
        return self

    def __init__(self, name: str) -> None:
        """Made by __new__."""

    @property
    def name(self) -> str:
        """The tool's display name."""
        return self._tool.name

    def __repr__(self) -> str:
        return f"qrvx.Tool({self.name!r})"

    def controls(self) -> list[dict[str, Any]]:
        """Every input and control in declaration order: the list of dicts that
        ``qrvx controls --json`` gives under "controls"."""
        listed: list[dict[str, Any]] = _json.loads(self._tool.controls_json())["controls"]
        return listed

    def keys(self) -> list[str]:
        """The control IDs in declaration order (image inputs left out)."""
        return list(self._tool.ids())

    def set(self, id: str, value: Union[Value, str, _npt.ArrayLike]) -> None:
        """Sets a control: a number, an (x, y) pair for a point, or a combo entry's text."""
        self._tool.set_text(id, _value_text(value))

    def get(self, id: str) -> Value:
        """A control's value: a float, or an (x, y) tuple for a point."""
        return self._tool.get(id)

    __setitem__ = set
    __getitem__ = get

    def save_settings(self, path: PathLike) -> None:
        """Writes every control's value as the command's settings JSON."""
        self._tool.save_settings(_os.fspath(path))

    def load_settings(self, path: PathLike) -> None:
        """Applies a settings file written by ``qrvx render --save-settings`` or save_settings."""
        self._tool.load_settings(_os.fspath(path))

    def render(self, image: Optional[_npt.ArrayLike] = None, *, time: float = 0.0,
               threads: Optional[int] = None,
               inputs: Optional[Mapping[str, _npt.ArrayLike]] = None) -> Array:
        """Renders the tool and returns its output as a new (height, width, 4) array.

        image: the main input ("Input"); None renders over the built-in test card (16-bit).
        inputs: the other image inputs by ID, e.g. {"Reference": array}; they are taken at
        the main image's depth, and every required one must be given (ValueError, as the
        command refuses the render). time: the render time, a finite number. threads: the
        most threads to use (None or 0: every core; more than the cores: every core;
        negative: ValueError). The result is uint16 for an integer image and float32 for a
        float image; the same render through ``qrvx render`` gives the same values.
        """
        main = None if image is None else _image_array(image, "image")
        others = [(id, _image_array(a, f"input {id!r}")) for id, a in (inputs or {}).items()]
        return self._tool.render(main, others, _number(time, "time"), _thread_count(threads))


def _control_line(c: dict[str, Any]) -> str:
    """One control for a tool's help: ID, kind, ranges, entries, default, and what it does."""
    def number(v: Any) -> str:
        return "-" if v is None else f"{v:g}" if isinstance(v, float) else str(v)

    parts = [c["kind"] or c["dataType"]]
    if c["dataType"] == "Image":
        parts.append("required" if c["required"] else "optional")
    if c["shownLow"] is not None or c["shownHigh"] is not None:
        parts.append(f"shown {number(c['shownLow'])} to {number(c['shownHigh'])}")
    if c["allowedLow"] is not None or c["allowedHigh"] is not None:
        parts.append(f"allowed {number(c['allowedLow'])} to {number(c['allowedHigh'])}")
    if c["comboEntries"]:
        parts.append(" | ".join(f"{i} {e}" for i, e in enumerate(c["comboEntries"])))
    if c["default"] is not None:
        parts.append(f"default {number(c['default'])}")
    line = f"{c['id']!r}: {', '.join(parts)}"
    if c.get("description"):
        line += f"\n        {c['description']}"
    return line


_TOOL_CLASSES: dict[str, type[Tool]] = {}


def _tool_class(native: _qrvx.Tool) -> type[Tool]:
    """The subclass of Tool for one tool, made once: its help lists the tool's inputs and
    controls in declaration order."""
    found = _TOOL_CLASSES.get(native.name)
    if found is None:
        controls = _json.loads(native.controls_json())["controls"]
        about = next((t["help"] for t in tools() if t["name"] == native.name), "")
        images = [_control_line(c) for c in controls if c["dataType"] == "Image"]
        values = [_control_line(c) for c in controls if c["dataType"] != "Image"]
        doc = (f"{native.name}: {about}\n\nImage inputs:\n    " + "\n    ".join(images) +
               "\n\nControls (tool[ID] = value):\n    " + "\n    ".join(values) +
               "\n\n" + _inspect.cleandoc(Tool.__doc__ or ""))
        identifier = "".join(ch if ch.isalnum() else "_" for ch in native.name)
        found = type(identifier, (Tool,), {"__doc__": doc, "__module__": __name__})
        _TOOL_CLASSES[native.name] = found
    return found


def read(path: PathLike) -> Array:
    """Reads an image file as the command does: uint16 for integer files, float32 for float."""
    return _qrvx.read(_os.fspath(path))


def write(path: PathLike, array: _npt.ArrayLike, compression: Optional[str] = None) -> None:
    """Writes an array to an image file as the command does (the file is replaced only
    when complete). compression: none, rle, zip, zips, piz, dwaa:45, ... (default: the
    format's)."""
    _qrvx.write(_os.fspath(path), _image_array(array, "array"), compression or "")


def test_card(float: bool = False) -> Array:
    """The built-in 960 x 540 test card, uint16 or (float=True) float32."""
    return _qrvx.test_card(bool(float))
