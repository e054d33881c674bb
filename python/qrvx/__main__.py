"""``python3 -m qrvx``: the installed module's version and the tools it loads."""
from __future__ import annotations

import argparse
from typing import Optional, Sequence

from . import __version__, tools


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = argparse.ArgumentParser(
        prog="python3 -m qrvx",
        description="The qrvx image tools' Python module: see help(qrvx). "
                    "python3 -m qrvx.farm renders sequences on a Dask cluster.")
    parser.add_argument("--version", action="version", version=f"qrvx {__version__}")
    parser.add_argument("command", choices=["tools"],
                        help="tools: every loaded tool and the plug-in file it came from")
    parser.parse_args(argv)
    for t in tools():
        print(f"{t['name']}  {t['file']}")


if __name__ == "__main__":
    main()
