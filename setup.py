"""The build step of ``pip install .``: the project's CMake builds the native module, the
host library and the tool plug-ins, and installs them into the package (the
"python-package" component: qrvx/_qrvx*.so, qrvx/lib/libqrvxhost.so, qrvx/plugins/), so
the installed package needs nothing from the checkout. The rest is in pyproject.toml.

QRVX_BUILD_DIR names an existing build tree to build in and take the files from (such as
make build's build/, whose objects are then reused); without it the package is built in
build-pip/ beside this file. setuptools' own scratch files go into that build tree too.
"""
import os
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
BUILD = Path(os.environ.get("QRVX_BUILD_DIR") or ROOT / "build-pip").resolve()


def run(args):
    args = [str(a) for a in args]
    try:
        subprocess.run(args, check=True)
    except FileNotFoundError:
        sys.exit(f"qrvx: {args[0]} is needed to build the package (scripts/setup installs it)")
    except subprocess.CalledProcessError as e:
        sys.exit(f"qrvx: {' '.join(args)} failed with exit code {e.returncode}")


class CMakeBuild(build_ext):
    """Builds the one extension, qrvx._qrvx, and what it loads, with CMake."""

    def build_extension(self, ext):
        if not (BUILD / "CMakeCache.txt").exists():
            run(["cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                 f"-DPython3_EXECUTABLE={sys.executable}"])
        run(["cmake", "--build", BUILD, "--target", "_qrvx"])
        target = Path(self.get_ext_fullpath(ext.name))
        # The package's parent folder is the prefix: the component installs into qrvx/.
        run(["cmake", "--install", BUILD, "--component", "python-package",
             "--prefix", target.parent.parent])
        if not target.exists():
            built = sorted(p.name for p in (target.parent).glob("_qrvx*"))
            sys.exit(f"qrvx: the build tree {BUILD} holds a module for another Python "
                     f"({', '.join(built) or 'none'}, not {target.name}); build with this "
                     f"interpreter, or unset QRVX_BUILD_DIR")


scratch = BUILD / "setuptools"
setup(
    ext_modules=[Extension("qrvx._qrvx", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": str(scratch)},
             "egg_info": {"egg_base": str(BUILD)}},
)
