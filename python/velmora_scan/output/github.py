"""GitHub Actions workflow commands: one ``::error`` line per finding, which
the runner turns into an annotation on the file and line of the pull
request (``::error file=src/a.py,line=12,title=...::message``).

Values are escaped as the runner unescapes them: ``%``, carriage return and
line feed everywhere, and ``:`` and ``,`` in the properties.
"""

from __future__ import annotations

import os
from typing import TextIO

from ..model import ScanResult
from ..settings import Settings
from .rules import message, rule_of


def escape_data(text: str) -> str:
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def escape_property(text: str) -> str:
    return escape_data(text).replace(":", "%3A").replace(",", "%2C")


def lines(result: ScanResult) -> list[str]:
    out = []
    for f in result.findings:
        props = []
        if f.path:
            props.append("file=" + escape_property(os.path.normpath(f.path).replace(os.sep, "/")))
            if f.line:
                props.append(f"line={f.line}")
        props.append("title=" + escape_property(f"velmora-scan: {rule_of(f).title}"))
        out.append(f"::error {','.join(props)}::{escape_data(message(f))}")
    return out


def render(result: ScanResult, settings: Settings, stream: TextIO) -> None:
    for line in lines(result):
        stream.write(line + "\n")
