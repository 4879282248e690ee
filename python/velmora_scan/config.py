"""Settings from ``pyproject.toml``: discovery, validation and precedence.

The table is ``[tool.velmora-scan]``. Its keys are the fields of
``Settings`` spelled with dashes (``max-cognitive``); the few options that
only make sense for one run (``--config``, ``--update-baseline``, ...) are
not accepted there. Every value is checked against the field's type, so a
typo or a string where a number belongs is a usage error that names the key
and the file instead of a setting silently ignored.

Precedence: the command line, then the file, then the defaults; the
exclusion patterns of both are added together. Each setting remembers where
its value came from, for ``--show-config``.
"""

from __future__ import annotations

import dataclasses
import os
import types
import typing
from typing import Any, Literal

TABLE = "velmora-scan"

# Options that belong to one invocation, never to a project's file.
CLI_ONLY = frozenset({
    "paths", "config", "show_config", "update_baseline", "diff", "stdlib", "version",
})

DEFAULT = "default"
COMMAND_LINE = "command line"


class ConfigError(Exception):
    """A configuration the tool cannot use; the command exits with status 2."""


def read_toml(path: str) -> dict[str, Any]:
    import tomllib  # here: most runs find no configuration to read

    try:
        with open(path, "rb") as fh:
            return tomllib.load(fh)
    except tomllib.TOMLDecodeError as exc:
        raise ConfigError(f"{path}: malformed TOML: {exc}") from None
    except OSError as exc:
        raise ConfigError(f"{path}: cannot read: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise ConfigError(f"{path}: not UTF-8 text: {exc.reason}") from None


def _table_of(doc: dict[str, Any], path: str) -> dict[str, Any] | None:
    tool = doc.get("tool")
    if not isinstance(tool, dict) or TABLE not in tool:
        return None
    table = tool[TABLE]
    if not isinstance(table, dict):
        raise ConfigError(f"{path}: tool.{TABLE} must be a table")
    return table


def find_config(start: str) -> tuple[str, dict[str, Any]] | None:
    """The nearest ``pyproject.toml`` with a ``[tool.velmora-scan]`` table,
    walking up from ``start`` (a file's directory, or the directory itself).

    A ``pyproject.toml`` without the table is passed over, as a project may
    nest packaging files; one that is not valid TOML stops the search with an
    error, since it may be the project's own file with a typo in our table.
    """
    d = os.path.abspath(start)
    if not os.path.isdir(d):
        d = os.path.dirname(d)
    while True:
        candidate = os.path.join(d, "pyproject.toml")
        if os.path.isfile(candidate):
            table = _table_of(read_toml(candidate), candidate)
            if table is not None:
                return candidate, table
        parent = os.path.dirname(d)
        if parent == d:
            return None
        d = parent


def load_explicit(path: str) -> dict[str, Any]:
    """The table of a file named with ``--config``; it must have one."""
    table = _table_of(read_toml(path), path)
    if table is None:
        raise ConfigError(f"{path}: no [tool.{TABLE}] table")
    return table


# -- types -------------------------------------------------------------------


def _describe(tp: Any) -> str:
    origin = typing.get_origin(tp)
    if origin in (typing.Union, types.UnionType):
        return " or ".join(_describe(a) for a in typing.get_args(tp) if a is not type(None))
    if origin is Literal:
        return "one of " + ", ".join(repr(a) for a in typing.get_args(tp))
    if origin is list:
        item = typing.get_args(tp)[0]
        return "a list of " + {int: "integers", float: "numbers", bool: "booleans", str: "strings"}.get(item, str(item))
    return {int: "an integer", float: "a number", bool: "true or false", str: "a string"}.get(tp, str(tp))


def _convert(value: Any, tp: Any) -> tuple[bool, Any]:
    """(accepted, value converted to the field's type)."""
    origin = typing.get_origin(tp)
    if origin in (typing.Union, types.UnionType):
        for arg in typing.get_args(tp):
            if arg is not type(None):
                ok, v = _convert(value, arg)
                if ok:
                    return True, v
        return False, None
    if origin is Literal:
        return value in typing.get_args(tp) and isinstance(value, str), value
    if origin is list:
        if not isinstance(value, list):
            return False, None
        out = []
        for item in value:
            ok, v = _convert(item, typing.get_args(tp)[0])
            if not ok:
                return False, None
            out.append(v)
        return True, out
    if tp is bool:
        return isinstance(value, bool), value
    if tp is int:
        return isinstance(value, int) and not isinstance(value, bool), value
    if tp is float:
        ok = isinstance(value, (int, float)) and not isinstance(value, bool)
        return ok, float(value) if ok else None
    if tp is str:
        return isinstance(value, str), value
    return False, None


def _shown(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def field_types(settings_cls: type) -> dict[str, Any]:
    hints = typing.get_type_hints(settings_cls)
    out = {}
    for f in dataclasses.fields(settings_cls):
        choices = f.metadata.get("argparse", {}).get("choices")
        out[f.name] = Literal[tuple(choices)] if choices else hints[f.name]
    return out


def check_value(key: str, value: Any, tp: Any, where: str) -> Any:
    ok, converted = _convert(value, tp)
    if not ok:
        raise ConfigError(f"{where}: {key}: expected {_describe(tp)}, got {_shown(value)}")
    if isinstance(converted, float) and converted != converted or converted == float("inf"):
        raise ConfigError(f"{where}: {key}: expected a finite number, got {_shown(value)}")
    for item in converted if isinstance(converted, list) else [converted]:
        if isinstance(item, (int, float)) and not isinstance(item, bool) and item < 0:
            raise ConfigError(f"{where}: {key}: must not be negative, got {_shown(value)}")
    return converted


def validate(table: dict[str, Any], path: str, settings_cls: type,
             *, allowed: typing.Callable[[str], bool] | None = None,
             where: str | None = None) -> dict[str, Any]:
    """Field name -> checked value for every key of ``table``.

    ``allowed`` narrows the accepted fields (the overrides take thresholds
    only); keys may be written with dashes or underscores, but not both ways
    for the same field.
    """
    kinds = field_types(settings_cls)
    where = where or f"{path} [tool.{TABLE}]"
    out: dict[str, Any] = {}
    for key, value in table.items():
        name = key.replace("-", "_")
        if name not in kinds or name in CLI_ONLY or (allowed is not None and not allowed(name)):
            raise ConfigError(f"{where}: unknown key {key!r}")
        if name in out:
            raise ConfigError(f"{where}: {key!r} is given twice")
        if name == "overrides":
            out[name] = _overrides(value, path, settings_cls)
        else:
            out[name] = check_value(key, value, kinds[name], where)
    return out


def is_threshold(name: str) -> bool:
    return name.startswith("max_")


@dataclasses.dataclass(frozen=True)
class Override:
    """Thresholds for the files that match any of ``paths`` (glob patterns
    relative to the configuration file's directory)."""

    paths: tuple[str, ...]
    limits: tuple[tuple[str, float | int], ...]


def _overrides(value: Any, path: str, settings_cls: type) -> list[Override]:
    if not isinstance(value, list) or not all(isinstance(t, dict) for t in value):
        raise ConfigError(f"{path}: overrides: expected [[tool.{TABLE}.overrides]] tables")
    out = []
    for n, table in enumerate(value, 1):
        where = f"{path} [[tool.{TABLE}.overrides]] #{n}"
        table = dict(table)
        paths = table.pop("paths", None)
        if not isinstance(paths, list) or not paths or not all(isinstance(p, str) and p for p in paths):
            raise ConfigError(f"{where}: paths: expected a non-empty list of glob patterns")
        limits = validate(table, path, settings_cls, allowed=is_threshold, where=where)
        if not limits:
            raise ConfigError(f"{where}: sets no threshold")
        out.append(Override(tuple(paths), tuple(limits.items())))
    return out


# -- precedence ----------------------------------------------------------------


@dataclasses.dataclass
class Layer:
    """Values from one place, and the name of that place."""

    source: str
    values: dict[str, Any]


# Options whose values from every layer are added together rather than
# replaced: the command line's patterns extend the configured ones.
ADDITIVE = frozenset({"exclude"})


def merge(settings_cls: type, layers: list[Layer]) -> tuple[Any, dict[str, str]]:
    """Settings built from the layers in order of rising precedence, and the
    source of each field (``default`` when no layer set it)."""
    base = settings_cls()
    values = {f.name: getattr(base, f.name) for f in dataclasses.fields(settings_cls) if f.init}
    sources = dict.fromkeys(values, DEFAULT)
    for layer in layers:
        for name, value in layer.values.items():
            if name in ADDITIVE and sources[name] != DEFAULT:
                values[name] = list(values[name]) + list(value)
                sources[name] = f"{sources[name]} + {layer.source}"
            else:
                values[name] = value
                sources[name] = layer.source
    return settings_cls(**values), sources


def project_base(settings: Any) -> str:
    """The folder that relative patterns and override paths start from: the
    configuration file's, or the working directory without one."""
    config = getattr(settings, "config", None)
    return os.path.dirname(os.path.abspath(config)) if config else os.getcwd()


def resolve(settings_cls: type, cli: Any, given: set[str]) -> tuple[Any, dict[str, str]]:
    """Settings from the command line (``cli``, of which ``given`` names the
    fields it set) over the configuration file over the defaults, and the
    source of each. The file is ``--config``, or the nearest
    ``pyproject.toml`` with our table above the first path (the working
    directory when no path is named)."""
    layers = []
    if "config" in given:
        path = cli.config
        table = load_explicit(path)
    else:
        start = cli.paths[0] if cli.paths else os.getcwd()
        found = find_config(start)
        path, table = found if found else (None, None)
    if path is not None:
        values = validate(table, path, settings_cls)
        # A file named in the file is relative to the file's folder.
        for name in ("baseline",):
            if isinstance(values.get(name), str):
                values[name] = os.path.join(os.path.dirname(path), values[name])
        layers.append(Layer(path, values))
    layers.append(Layer(COMMAND_LINE, {k: getattr(cli, k) for k in given}))
    settings, sources = merge(settings_cls, layers)
    if path is not None:
        settings.config = path
        if "config" not in given:
            sources["config"] = "found above " + (cli.paths[0] if cli.paths else "the working directory")
    return settings, sources


def render(settings: Any, sources: dict[str, str]) -> str:
    """``--show-config``: every setting, its value in TOML spelling, and
    where it came from."""
    rows = []
    for f in dataclasses.fields(settings):
        if not f.init or f.name in ("show_config",):
            continue
        rows.append((f.name.replace("_", "-"), _toml(getattr(settings, f.name)), sources.get(f.name, DEFAULT)))
    width = max((len(k) + len(v) for k, v, _ in rows if len(k) + len(v) < 60), default=0) + 3
    lines = []
    for key, value, source in rows:
        left = f"{key} = {value}"
        lines.append(f"{left.ljust(width)}  # {source}")
    return "\n".join(lines) + "\n"


def _toml(value: Any) -> str:
    if value is None:
        return "(not set)"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(_toml(v) for v in value) + "]"
    if isinstance(value, Override):
        items = [("paths", list(value.paths)), *value.limits]
        return "{" + ", ".join(f"{k.replace('_', '-')} = {_toml(v)}" for k, v in items) + "}"
    return repr(value)
