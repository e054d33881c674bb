"""pip install --no-build-isolation of the checkout into a fresh virtual environment
(system site-packages only for numpy), offline, reusing a build tree's objects; then the
example renders, reads and writes through the installed package alone, mypy --strict
checks it against the installed package, and the versions agree.

    check_install.py SOURCE_DIR BUILD_DIR QRVX_BIN
"""
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# Where the installed module, its plug-ins and the host library it loaded are.
WHERE = """
import json, os, qrvx
print(json.dumps({
    "package": os.path.dirname(qrvx.__file__),
    "plugins": [t["file"] for t in qrvx.tools()],
    "host": sorted({l.split()[-1] for l in open("/proc/self/maps") if "libqrvxhost" in l})}))
"""


def run(args, **kwargs):
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True, **kwargs)
    if done.returncode != 0:
        sys.exit(f"{' '.join(map(str, args))} exited with {done.returncode}:\n"
                 f"{done.stdout}{done.stderr}")
    return done.stdout


def main(source, build, command):
    start = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="qrvx-install-") as tmp:
        tmp = Path(tmp)
        venv, work = tmp / "venv", tmp / "work"
        work.mkdir()
        run([sys.executable, "-m", "venv", "--system-site-packages", venv])
        python = venv / "bin" / "python"
        # Nothing of the checkout or the build tree on the path, no plug-in folders named.
        env = {k: v for k, v in os.environ.items()
               if k not in ("PYTHONPATH", "QRVX_PLUGIN_PATH", "QRVX_BIN")}
        run([python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-index",
             "--disable-pip-version-check", source],
            env={**env, "QRVX_BUILD_DIR": build}, cwd=tmp)
        print(f"venv and pip install: {time.monotonic() - start:.1f} s")

        def installed_python(*args):
            return run([python, *args], env=env, cwd=work)

        # The package, the host library and every plug-in come from the environment.
        where = json.loads(installed_python("-c", WHERE))
        package = Path(where["package"])
        assert package.is_relative_to(venv), package
        assert len(where["plugins"]) == 12, where["plugins"]
        assert all(Path(f).is_relative_to(package / "plugins") for f in where["plugins"]), where
        assert where["host"] == [str(package / "lib" / "libqrvxhost.so")], where["host"]
        example = Path(source) / "python" / "tests" / "example.py"
        print(installed_python(example, work), end="")
        version = run([command, "--version"])
        assert installed_python("-m", "qrvx", "--version") == version, version
        assert version == f"qrvx {(Path(source) / 'VERSION').read_text().strip()}\n", version
        # The cache (of numpy's stubs, mostly) is kept in the build tree between runs.
        cache = Path(build) / "mypy-cache-install"
        run(["mypy", "--strict", "--no-error-summary", "--cache-dir", cache,
             "--python-executable", python, example], cwd=work)
        print("mypy --strict: example.py passes against the installed package")
    print(f"installed, ran and checked in {time.monotonic() - start:.1f} s")


if __name__ == "__main__":
    main(*sys.argv[1:])
