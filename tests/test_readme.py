"""The README's Python examples run as they stand."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S) if README.exists() else []


@pytest.mark.skipif(not BLOCKS, reason="README not beside the tests")
@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example(code, capsys):
    exec(compile(code, "README.md", "exec"), {})
