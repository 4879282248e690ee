"""``python -m velmora_scan`` and the ``velmora-scan`` script."""

from __future__ import annotations

import sys


def main(argv: list[str] | None = None) -> int:
    from .cli import main as cli_main

    return cli_main(argv)


if __name__ == "__main__":
    sys.exit(main())
