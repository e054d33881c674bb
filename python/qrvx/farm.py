"""qrvx.farm: renders frame sequences on a Dask cluster, frame for frame as ``qrvx render``.

From the shell, with the arguments of ``qrvx render`` plus where to run::

    python3 -m qrvx.farm render ChannelShift -i plate.#.exr -s "Center Red=0.52,0.5" \\
        -o shifted.#.exr --frames 1001-1240 --scheduler tcp://farm-head:8786
    python3 -m qrvx.farm render ChannelShift ... --local 4     # 4 worker processes here

From Python, with a ``distributed.Client``::

    qrvx.farm.render_sequence(client, "ChannelShift", "plate.#.exr", "shifted.#.exr",
                              frames="1001-1240", settings={"Center Red": (0.52, 0.5)})

The render is planned and checked on the submitting machine by the command's own rules
(tool, inputs, settings, frames, every input frame on disk, the output writable) before
any task is sent. The look (settings file, then -s values) is resolved there too and sent
with the tasks, so every worker renders the same look and needs only the frames. Workers
must see the input and output paths (shared storage) and import this package.

Frames go out as tasks of ``chunk`` frames. A task renders its frames one at a time
through the command's render and writes each through a temporary file renamed into place,
so a worker that dies leaves no partial frame; the scheduler then hands its task to
another worker. A frame the command refuses (an unreadable input, a file it cannot write)
fails the run with the frame number and the message; frames already written stay. Every
path is made absolute before it is sent, so workers in other folders find the files.

Each output holds in its metadata (``qrvx:fingerprint``) a fingerprint of the render that
made it: the tool and its version, the look, the depth and compression, and the path,
size and modification time of every file the frame reads. A rerun skips the frames whose
fingerprint is that of the render asked for, unless ``force``; frames of a format whose
files keep no such metadata are always rendered again.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import shutil
import signal
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Optional, Sequence, Union

from . import _qrvx
from . import PathLike, Tool, Value, _value_text

if TYPE_CHECKING:
    import distributed

#: Where inputs come from: one "[ID=]PATH", a list of them, or {ID: path}.
Inputs = Union[PathLike, Iterable[PathLike], Mapping[str, PathLike]]
#: The look's values: "ID=VALUE" strings or {ID: value}.
Settings = Union[Iterable[str], Mapping[str, Union[Value, str]]]
#: A frame list's text ("1-100x2") or the frame numbers.
Frames = Union[str, Iterable[int]]
#: (frame, message, exit code) of a frame the command refused.
_Failure = tuple[int, str, int]

__all__ = ["render_sequence", "FrameError", "Summary", "main"]


class FrameError(Exception):
    """A frame the command refused to render: .frame, .message, and .exit_code (2 for a
    usage error such as a control value, 1 for a failure such as an unreadable file)."""

    def __init__(self, frame: int, message: str, exit_code: int = 1) -> None:
        super().__init__(f"frame {frame}: {message}")
        self.frame, self.message, self.exit_code = frame, message, exit_code


@dataclass
class Summary:
    """What a run did: the frames rendered and skipped (up to date), the run's wall-clock
    seconds, and the seconds the tasks spent rendering (reading, rendering, writing)."""
    rendered: list[int] = field(default_factory=list)
    skipped: list[int] = field(default_factory=list)
    seconds: float = 0.0
    task_seconds: float = 0.0


# ---- On the workers -----------------------------------------------------------------------

# The name of the output metadata that holds the fingerprint of the render that made it.
FINGERPRINT = "qrvx:fingerprint"


def _render_frames(options: dict[str, Any], settings_text: str, frames: list[tuple[int, str]]
                   ) -> tuple[list[int], float, Optional[_Failure]]:
    """One task: renders the frames, each a (frame, fingerprint) pair, in order, writing
    the fingerprint into each output. Returns (frames done, seconds, failure), the failure
    being None or (frame, message, exit code) for a frame the command refused; retrying
    such a frame would fail again, so it is reported rather than raised. The look travels
    as text: no settings file is written on the worker."""
    start = time.perf_counter()
    options = dict(options, settings=[], settings_file=None, settings_text=settings_text)
    done: list[int] = []
    try:
        for frame, fingerprint in frames:
            try:
                _qrvx.render_command(dict(options, frames=[frame],
                                          metadata=[(FINGERPRINT, fingerprint)]))
            except ValueError as e:
                return done, time.perf_counter() - start, (frame, str(e), 2)
            except (OSError, RuntimeError) as e:
                return done, time.perf_counter() - start, (frame, str(e), 1)
            done.append(frame)
    finally:
        # A worker lives on between tasks: its pool of pixel memory is handed back.
        _qrvx.trim_memory()
    return done, time.perf_counter() - start, None


# ---- On the submitting machine ------------------------------------------------------------

def _remove_quietly(path: str) -> None:
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def _absolute(path: Union[str, os.PathLike[str]]) -> str:
    """A path made absolute here, so that a worker in another folder finds it."""
    return os.path.abspath(os.fspath(path))


def _input_args(inputs: Optional[Inputs]) -> list[str]:
    """The -i arguments, every path absolute. "ID=PATH" splits at the first "=" unless the
    whole is a file, as the command reads it."""
    if inputs is None:
        return []
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    if isinstance(inputs, dict):
        return [f"{id}={_absolute(path)}" for id, path in inputs.items()]
    args = []
    for i in inputs:
        i = os.fspath(i)
        id, eq, path = i.partition("=")
        args.append(f"{id}={_absolute(path)}" if eq and path and not os.path.exists(i)
                    else _absolute(i))
    return args


def _setting_args(settings: Optional[Settings]) -> list[str]:
    if isinstance(settings, dict):
        return [f"{id}={_value_text(value)}" for id, value in settings.items()]
    return list(settings or [])


def _file_state(path: str) -> list[object]:
    """What a file's fingerprint holds of it: its absolute path, size and modification time."""
    try:
        st = os.stat(path)
        return [os.path.abspath(path), st.st_size, st.st_mtime_ns]
    except OSError:
        return [os.path.abspath(path), None, None]


def _fingerprint(job_key: list[object], reads: list[str]) -> str:
    """The fingerprint of one frame's render: the tool and its version, the look, the
    options that shape the output and the state of every file the frame reads."""
    text = json.dumps([job_key, [_file_state(p) for p in reads]], sort_keys=True)
    return hashlib.sha256(text.encode()).hexdigest()


def _up_to_date(output: str, fingerprint: str) -> bool:
    """The output exists and was made by a render with this fingerprint."""
    try:
        return bool(_qrvx.read_metadata(output, FINGERPRINT) == fingerprint)
    except (OSError, ValueError):
        return False


def _remove_leftovers(outputs: list[str]) -> None:
    """Removes the temporary files that writers killed mid-frame left beside the outputs
    (the command writes ".<stem>.qrvx-tmp<host>-<pid><extension>" and renames it)."""
    wanted: dict[str, set[tuple[str, str]]] = {}
    for output in outputs:
        folder, name = os.path.split(output)
        wanted.setdefault(folder or ".", set()).add(os.path.splitext(name))
    for folder, names in wanted.items():
        try:
            found = os.listdir(folder)
        except OSError:
            continue
        for name in found:
            mark = name.find(".qrvx-tmp")
            ours = (name[1:mark], os.path.splitext(name)[1]) in names
            if name.startswith(".") and mark > 0 and ours:
                _remove_quietly(os.path.join(folder, name))


class _Progress:
    """The progress line on stderr: rewritten in place on a terminal, else one line per
    finished task."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total, self.enabled, self.done = total, enabled and total > 0, 0
        self.tty = sys.stderr.isatty()
        self.start = time.perf_counter()

    def add(self, frames: int) -> None:
        self.done += frames
        if not self.enabled:
            return
        seconds = time.perf_counter() - self.start
        rate = self.done / seconds if seconds > 0 else 0.0
        line = f"qrvx.farm: {self.done}/{self.total} frames, {rate:.2f} frames/s"
        sys.stderr.write(f"\r{line}\x1b[K" if self.tty else line + "\n")
        sys.stderr.flush()

    def end(self) -> None:
        """Ends the line on a terminal, so what follows starts on a line of its own."""
        if self.enabled and self.tty and self.done:
            sys.stderr.write("\n")
            sys.stderr.flush()


@dataclass
class _Job:
    """A checked render, ready to send: the command's options, the look as settings JSON,
    the frames to render, the frames that are up to date and every frame's output."""
    options: dict[str, Any]
    settings_text: str
    todo: list[tuple[int, str]]  # (frame, fingerprint)
    skipped: list[int]
    chunk: int
    outputs: list[str]


def _prepare(tool: Union[str, Tool], inputs: Optional[Inputs], output: Optional[PathLike],
             frames: Optional[Frames], settings: Optional[Settings],
             settings_file: Optional[PathLike], depth: Optional[str], compression: Optional[str],
             threads: int, chunk: int, force: bool) -> _Job:
    if isinstance(chunk, bool) or not isinstance(chunk, int) or chunk < 1:
        raise ValueError(f"--chunk must be 1 or more frames, not {chunk!r}")
    if output is None:
        raise ValueError("render needs -o PATH")
    if frames is not None and not isinstance(frames, str):
        frames = [int(f) for f in frames]
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 0:
        raise ValueError(f"--threads must be 0 (every core) or more, not {threads!r}")
    options = {"tool": tool.name if isinstance(tool, Tool) else str(tool),
               "inputs": _input_args(inputs), "settings": _setting_args(settings),
               "output": _absolute(output), "frames": frames or None, "depth": depth,
               "compression": compression, "threads": threads}
    if isinstance(tool, Tool) and settings_file is not None:
        raise ValueError("give the look as a qrvx.Tool or as a settings file, not both")
    if isinstance(tool, Tool):
        options["settings_text"] = tool._tool.settings_text()
    if settings_file is not None:
        options["settings_file"] = _absolute(settings_file)
    # Planned again with the frames listed, as each task gives them: an output that is
    # no sequence pattern is refused here.
    plan = _qrvx.plan_render(options)
    plan = _qrvx.plan_render(dict(options, frames=plan["frames"]))
    # The look as one settings text: the file, then the -s values, as the command applies them.
    settings_text = _qrvx.look_of(dict(options, frames=None))
    # Every frame at the depth of the first, as the command renders a sequence, also when a
    # task's first frame is stored at another depth.
    if options["depth"] in (None, "auto"):
        options["depth"] = "float" if plan["float"] else "int16"

    # What every frame's fingerprint shares: the tool by ID and version, the look and the
    # options that shape the output.
    entry: dict[str, Any] = next(
        (t for t in _qrvx_tools() if _names_tool(t, str(options["tool"]))), {})
    job_key = [entry.get("id"), entry.get("version"), entry.get("pluginVersion"), settings_text,
               options["depth"], compression or ""]
    # Each frame once, in order; frames made by this very render already are skipped.
    todo, skipped, seen = [], [], set()
    for frame, out, reads in zip(plan["frames"], plan["outputs"], plan["inputs"]):
        if frame in seen:
            continue
        seen.add(frame)
        fingerprint = _fingerprint(job_key, reads)
        if not force and _up_to_date(out, fingerprint):
            skipped.append(frame)
        else:
            todo.append((frame, fingerprint))
    return _Job(dict(options, frames=None, settings=[], settings_file=None, settings_text=None),
                settings_text, todo, skipped, chunk, plan["outputs"])


def _qrvx_tools() -> list[dict[str, Any]]:
    tools: list[dict[str, Any]] = json.loads(_qrvx.tools_json())
    return tools


def _names_tool(entry: dict[str, Any], name: str) -> bool:
    """Whether a tool's listing answers to name as the command finds tools (any case)."""
    names = [entry.get(k) for k in ("name", "shortName", "scriptName", "id")]
    return any(isinstance(n, str) and n.lower() == name.lower() for n in names)


def _run(client: distributed.Client, job: _Job, progress: bool) -> Summary:
    """Sends the job's frames as tasks and waits for them; returns the Summary."""
    from distributed import as_completed

    summary = Summary(skipped=job.skipped)
    start = time.perf_counter()
    shown = _Progress(len(job.todo), progress)
    chunks = [job.todo[i:i + job.chunk] for i in range(0, len(job.todo), job.chunk)]
    # distributed's calls carry no annotations.
    futures = {
        client.submit(  # type: ignore[no-untyped-call]
            _render_frames, job.options, job.settings_text, chunk, pure=False, retries=2):
        [frame for frame, _ in chunk] for chunk in chunks}
    try:
        for future in as_completed(futures):  # type: ignore[no-untyped-call]
            try:
                done, seconds, failure = future.result()
            except Exception as e:  # still failing after the retries, or its workers died
                frames = futures[future]
                where = "" if len(frames) == 1 else f" (a task of frames {frames[0]}-{frames[-1]})"
                raise FrameError(frames[0], f"{type(e).__name__}: {e}{where}") from e
            summary.rendered += done
            summary.task_seconds += seconds
            shown.add(len(done))
            if failure:
                raise FrameError(*failure)
    finally:
        shown.end()
        pending = [f for f in futures if not f.done()]
        if pending:
            client.cancel(pending)  # type: ignore[no-untyped-call]
    summary.rendered.sort()
    summary.seconds = time.perf_counter() - start
    _remove_leftovers(job.outputs)
    return summary


class _CtrlC:
    """Ctrl-C for this process alone, not for the worker processes it starts (--local).

    The terminal sends Ctrl-C to its whole process group, and local workers are in it:
    each would print its own traceback and its nanny would start it again. Instead SIGINT
    is blocked in the main thread and so in every thread and process started from it from
    now on (workers inherit the mask), and a thread of this process waits for it and
    interrupts the main thread, which stops the run; closing the cluster then ends the
    workers, whose frames in progress leave no file behind. Made in the main thread before
    the cluster starts."""

    def __init__(self) -> None:
        # multiprocessing unblocks SIGINT in the thread that first starts a process, once it
        # has started its resource tracker: start that here, before SIGINT is blocked.
        from multiprocessing import resource_tracker
        resource_tracker.ensure_running()
        self._stop = threading.Event()
        self._old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        self._thread = threading.Thread(target=self._wait, name="qrvx.farm Ctrl-C", daemon=True)
        self._thread.start()

    def _wait(self) -> None:
        import _thread
        while not self._stop.is_set():
            if signal.sigtimedwait({signal.SIGINT}, 0.1) is not None:
                _thread.interrupt_main()
                return

    def close(self) -> None:
        """Stops waiting and unblocks SIGINT here: one that came meanwhile is raised now."""
        self._stop.set()
        self._thread.join()
        signal.pthread_sigmask(signal.SIG_SETMASK, self._old)


def _run_local(job: _Job, workers: int, progress: bool) -> Summary:
    """Runs the job on a cluster of this many worker processes started on this machine."""
    import logging
    from distributed import Client, LocalCluster
    from multiprocessing.util import Finalize
    # The workers' folders in one of the run's own, removed after it: workers killed on the
    # way leave nothing behind whose stale locks a later run would report. Removed at exit,
    # once every worker process has ended (workers that a Ctrl-C caught starting end only
    # then, and would report their folders missing).
    scratch = tempfile.mkdtemp(prefix="qrvx-farm-")
    Finalize(None, shutil.rmtree, args=(scratch,), kwargs={"ignore_errors": True},
             exitpriority=-1)
    ctrl_c = _CtrlC() if threading.current_thread() is threading.main_thread() else None
    try:
        with LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=workers, threads_per_worker=1, processes=True,
                dashboard_address=None, silence_logs=logging.ERROR,
                local_directory=scratch) as cluster, \
                Client(cluster) as client:  # type: ignore[no-untyped-call]
            return _run(client, job, progress)
    finally:
        try:
            if ctrl_c:
                ctrl_c.close()
        finally:
            # Every worker is gone: what a frame cut short left beside its output goes too.
            _remove_leftovers(job.outputs)


def render_sequence(client: distributed.Client, tool: Union[str, Tool],
                    inputs: Optional[Inputs] = None, output: Optional[PathLike] = None,
                    frames: Optional[Frames] = None, *, settings: Optional[Settings] = (),
                    settings_file: Optional[PathLike] = None, depth: str = "auto",
                    compression: Optional[str] = None, threads: int = 0, chunk: int = 1,
                    force: bool = False, progress: bool = True) -> Summary:
    """Renders a tool over frames on the Dask cluster of ``client``; returns a Summary.

    The arguments are those of ``qrvx render``: tool, a name or a ``qrvx.Tool`` whose
    current values are the look; inputs, "[ID=]PATH" strings (one or a list) or {ID: path};
    output, a pattern such as "out.#.exr"; frames, a frame list ("1-100", "1-100x2",
    "1,5,9") or a list of numbers (None: the frames of the input sequence); settings,
    "ID=VALUE" strings or {ID: value}, applied after settings_file; depth, compression
    and threads (threads per render, 0: every core of the worker's machine). chunk: frames
    per task; force: render up-to-date frames too; progress: the progress line on stderr.

    Raises ValueError (bad arguments, exit code 2 in the command) or OSError (a missing
    file, exit code 1) before anything is sent, and FrameError when a frame fails.
    """
    job = _prepare(tool, inputs, output, frames, settings, settings_file, depth, compression,
                   threads, chunk, force)
    return _run(client, job, progress)


# ---- The command --------------------------------------------------------------------------

def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python3 -m qrvx.farm",
        description="Render frame sequences on a Dask cluster, frame for frame as qrvx render.",
        epilog="Exit codes: 0 done, 1 a failure, 2 a usage error.")
    commands = parser.add_subparsers(dest="command", required=True)
    r = commands.add_parser("render", help="Render a tool over frame sequences on the cluster")
    r.add_argument("tool", help="Display name, short name, script name or registry ID")
    r.add_argument("-i", "--input", action="append", default=[], metavar="[ID=]PATH",
                   help='an image or sequence for "Input" or input ID')
    r.add_argument("-s", "--set", action="append", default=[], metavar="ID=VALUE",
                   help="a number, x,y for a point, or a combo entry")
    r.add_argument("--settings", metavar="FILE", help="Apply a settings file (before any -s)")
    r.add_argument("-o", "--output", required=True, help="Output sequence pattern (out.#.exr)")
    r.add_argument("--frames", help="Frames to render: A-B, A-BxN, A,B,C")
    r.add_argument("--depth", default="auto", choices=["auto", "int16", "float", "half"])
    r.add_argument("--compression", help="Output compression: none, rle, zip, piz, dwaa:45, ...")
    r.add_argument("--threads", type=int, default=None,
                   help="Threads per render (default: every core; with --local N, cores / N)")
    r.add_argument("--chunk", type=int, default=1, help="Frames per task (default 1)")
    where = r.add_mutually_exclusive_group(required=True)
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="The Dask scheduler, e.g. tcp://head:8786")
    where.add_argument("--local", type=int, metavar="WORKERS",
                       help="Start a cluster of this many worker processes on this machine")
    r.add_argument("--force", action="store_true",
                   help="Render frames whose output is up to date too")
    r.add_argument("-q", "--quiet", action="store_true", help="Print errors only")
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The command line; returns the exit code. Ctrl-C stops the run with one line and exit
    code 130; frames are whole or not there."""
    try:
        return _command(argv)
    except KeyboardInterrupt:
        print("qrvx.farm: error: interrupted", file=sys.stderr)
        return 130


def _command(argv: Optional[Sequence[str]]) -> int:
    parser = _parser()
    a = parser.parse_args(argv)

    def error(message: str, code: int) -> int:
        print(f"qrvx.farm: error: {message}", file=sys.stderr)
        return code

    if a.local is not None and a.local < 1:
        return error("--local needs 1 or more workers", 2)
    threads = a.threads
    if threads is None:
        threads = max(1, (os.cpu_count() or 1) // a.local) if a.local else 0
    try:
        # Everything the command would refuse is refused here, before a cluster starts.
        job = _prepare(a.tool, a.input, a.output, a.frames, a.set, a.settings, a.depth,
                       a.compression, threads, a.chunk, a.force)
        if not job.todo:
            summary = Summary(skipped=job.skipped)
        elif a.local:
            summary = _run_local(job, a.local, not a.quiet)
        else:
            from distributed import Client
            with Client(a.scheduler) as client:  # type: ignore[no-untyped-call]
                summary = _run(client, job, not a.quiet)
    except FrameError as e:
        return error(str(e), e.exit_code)
    except ValueError as e:
        return error(str(e), 2)
    except (OSError, RuntimeError) as e:
        return error(str(e), 1)
    if not a.quiet:
        skipped = f", {len(summary.skipped)} up to date" if summary.skipped else ""
        rate = len(summary.rendered) / summary.seconds if summary.seconds > 0 else 0.0
        print(f"qrvx.farm: {len(summary.rendered)} frames rendered in {summary.seconds:.2f} s "
              f"({rate:.2f} frames/s){skipped}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    # Through the package's module, so tasks name qrvx.farm's functions, which workers import.
    from qrvx.farm import main as _main

    sys.exit(_main())
