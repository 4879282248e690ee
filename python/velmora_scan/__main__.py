"""``python -m velmora_scan`` and the ``velmora-scan`` script."""

from __future__ import annotations

import gc
import sys


def main(argv: list[str] | None = None) -> int:
    # A run's records hold no cycles and die with it: collecting would only
    # walk them (scan() says the same for its part; this covers reading the
    # configuration and writing the report).
    collecting = gc.isenabled()
    gc.disable()
    try:
        from .cli import main as cli_main

        return cli_main(argv)
    finally:
        if collecting:
            gc.enable()


if __name__ == "__main__":
    sys.exit(main())
