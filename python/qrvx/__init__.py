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

Files keep what they carry: ``read`` gives a ``qrvx.Image``, an ndarray subclass (so it
goes wherever an array goes) that also carries the file's data and display windows,
``metadata``, channel names and ``data_type`` ("uint8", "uint16", "half", "float"); ``write``
writes an ``Image`` back as the command writes a render of that file (same channel type,
windows, metadata and other channels), and ``write(path, array, like=image)`` takes them
from another image; ``dtype=`` chooses the type, as the command's ``-d``::

    plate = qrvx.read("plate.exr")                   # half, with a data window
    qrvx.write("shifted.exr", shift.render(plate), like=plate)   # half again

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

__all__ = ["Tool", "tools", "read", "write", "test_card", "__version__", "Image", "Array",
           "Value", "PathLike", "Window"]

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


#: A window of a file, counted as files count (y down): (x, y, width, height).
Window = Tuple[int, int, int, int]


class Image(_np.ndarray):  # type: ignore[type-arg]
    """An image read from a file: a numpy array of its pixels, as ``read`` has always given
    them ((height, width, 4) RGBA, uint16 or float32, row 0 at the top), that also carries
    the file's description, so that ``write`` gives the file back as it was::

        plate = qrvx.read("plate.exr")       # half, data window inside the display window
        plate.data_type, plate.display_window, plate.metadata["Artist"]
        qrvx.write("copy.exr", plate)        # half, the same display window and metadata
        out = tool.render(plate)             # a plain array
        qrvx.write("out.exr", out, like=plate)

    Being an array, an ``Image`` goes wherever an array goes (renders, numpy); arrays
    computed from it (``plate * 0.5``, slices) carry the same description, and ``.pixels``
    or ``numpy.asarray`` gives a plain array. The description is read-only except
    ``metadata``, a dict of the file's attributes (str, int, float, or tuples of them)
    whose changes ``write`` writes. A pickled ``Image`` keeps its pixels only.
    """

    _file: Optional[_qrvx.FileInfo]
    metadata: dict[str, Any]

    def __array_finalize__(self, obj: Any) -> None:
        self._file = getattr(obj, "_file", None)
        self.metadata = dict(getattr(obj, "metadata", {}))

    def __array_wrap__(self, out: Any, context: Any = None, *args: Any) -> Any:
        # Reductions to one value give that value, not an image of no pixels.
        if out.ndim == 0:
            return out[()]
        return super().__array_wrap__(out, context, *args)

    def _info(self) -> _qrvx.FileInfo:
        if self._file is None:
            raise ValueError("this qrvx.Image was not read from a file (use qrvx.read)")
        return self._file

    @property
    def pixels(self) -> Array:
        """The pixels as a plain numpy array (a view, no copy)."""
        return self.view(_np.ndarray)

    @property
    def path(self) -> str:
        """The file read."""
        return self._info().path

    @property
    def format(self) -> str:
        """The file's format, as OpenImageIO names it: "openexr", "png", "tiff", ..."""
        return self._info().format

    @property
    def data_type(self) -> str:
        """The file's channel type as ``write``'s dtype names it: "uint8", "uint16",
        "half" or "float" (or another, e.g. "uint32", written as the command would)."""
        return self._info().data_type

    @property
    def channels(self) -> list[str]:
        """The file's channel names in file order (e.g. R, G, B, A, Z); the array holds
        R, G, B, A and ``write`` puts the others back where the size is the file's."""
        return self._info().channels

    @property
    def data_window(self) -> Window:
        """The file's data window: (x, y, width, height), y counted down."""
        return self._info().data_window

    @property
    def display_window(self) -> Window:
        """The file's display window, the picture's frame: (x, y, width, height)."""
        return self._info().display_window

    @property
    def window(self) -> str:
        """Which window the array is: "display" (the default) or "data"
        (``read(path, data_window=True)``)."""
        return self._info().window


def read(path: PathLike, *, data_window: bool = False) -> Image:
    """Reads an image file as the command reads its main input: a ``qrvx.Image``, an array
    of uint16 for integer files and float32 for float files (half included) that carries
    the file's description (windows, metadata, channels, data type).

    The array is the display window, the data window's pixels in place and transparent
    black around them; data_window=True gives the data window alone (as
    ``--data-window``), and ``write`` then keeps both windows as they are.
    """
    pixels, info = _qrvx.read(_os.fspath(path), bool(data_window))
    image: Image = pixels.view(Image)
    image._file = info
    image.metadata = info.metadata()
    return image


_DTYPES = {"uint8": "uint8", "uint16": "uint16", "float16": "half", "float32": "float"}


def _dtype_name(dtype: Union[str, _npt.DTypeLike]) -> str:
    """dtype= as the command's -d names it."""
    if isinstance(dtype, str) and dtype in ("uint8", "uint16", "half", "float"):
        return dtype
    try:
        name = _np.dtype(dtype).name
    except TypeError:
        name = ""
    if name not in _DTYPES:
        raise ValueError(f"dtype {_short(dtype)} is not uint8, uint16, half or float")
    return _DTYPES[name]


def _metadata_value(value: Any) -> Any:
    """A metadata value with numpy's scalars and arrays as Python numbers and tuples."""
    if isinstance(value, _np.generic):
        return value.item()
    if isinstance(value, _np.ndarray):
        return tuple(value.ravel().tolist())
    return value


def write(path: PathLike, image: _npt.ArrayLike, compression: Optional[str] = None, *,
          dtype: Union[str, _npt.DTypeLike, None] = None, like: Optional[Image] = None) -> None:
    """Writes an image to a file as the command writes its output (the file is replaced
    only when complete).

    An ``Image`` from ``read`` is written as the command writes a render of that file: the
    file's channel type (an 8-bit PNG stays 8-bit, half OpenEXR half), windows, metadata
    (``image.metadata``, with its changes) and other channels, and alpha only where the
    file had it or the pixels' alpha is not full. like: an ``Image`` whose description
    goes with a plain array (e.g. a render of it). A plain array is written as 16-bit
    integers (uint8 and uint16 arrays) or 32-bit floats, with alpha. dtype: the channel
    type, as the command's ``-d``: "uint8", "uint16", "half" or "float" (or a numpy dtype
    of those). compression: none, rle, zip, zips, piz, dwaa:45, ... (default: the file's
    within its format, else the format's).
    """
    # An Image without a file (unpickled, or a view made by hand) is written as an array.
    source = like if like is not None else image if isinstance(image, Image) and \
        image._file is not None else None
    if source is not None and (not isinstance(source, Image) or source._file is None):
        raise TypeError("like is a qrvx.Image that qrvx.read gave, not "
                        f"{type(source).__name__}")
    metadata = None if source is None else {k: _metadata_value(v)
                                             for k, v in source.metadata.items()}
    _qrvx.write(_os.fspath(path), _image_array(image, "image"), compression or "",
                None if source is None else source._file,
                metadata,
                "" if dtype is None else _dtype_name(dtype))


def test_card(float: bool = False) -> Array:
    """The built-in 960 x 540 test card, uint16 or (float=True) float32."""
    return _qrvx.test_card(bool(float))
