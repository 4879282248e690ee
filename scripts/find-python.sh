#!/usr/bin/env bash
# Prints the path of a CPython 3.12+ interpreter: first on PATH, then the
# pyenv versions, then Debian's python3.13. With --all, prints every
# distinct one found (one per line). Exits 1, saying so, when there is none.
set -u

is_ok() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) and sys.implementation.name == "cpython" else 1)' \
        >/dev/null 2>&1
}

candidates() {
    for name in python3 python3.14 python3.13 python3.12 python; do
        p=$(command -v "$name" 2>/dev/null) && echo "$p"
    done
    local root
    root=$( (pyenv root) 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    for d in "$root"/versions/3.1[2-9]* "$root"/versions/3.[2-9][0-9]*; do
        [ -x "$d/bin/python3" ] && echo "$d/bin/python3"
    done
    for p in /usr/bin/python3.13 /usr/bin/python3.12 /usr/local/bin/python3.13 /usr/local/bin/python3.12; do
        [ -x "$p" ] && echo "$p"
    done
}

all=0
[ "${1:-}" = "--all" ] && all=1
seen=""
found=0
while read -r p; do
    is_ok "$p" || continue
    # pyenv shims and symlinks can name one interpreter several ways.
    real=$("$p" -c 'import sys; print(sys.base_prefix, sys.version_info[:2])' 2>/dev/null)
    case "$seen" in *"|$real|"*) continue ;; esac
    seen="$seen|$real|"
    found=1
    # Resolve a shim to the interpreter it runs.
    "$p" -c 'import sys; print(sys.executable)'
    [ $all -eq 1 ] || exit 0
done < <(candidates)

if [ $found -eq 0 ]; then
    echo "error: no CPython 3.12 or newer found (looked on PATH, in the pyenv versions and for Debian's python3.13)." >&2
    echo "Install one (for example: apt-get install python3.13 python3.13-venv) and try again." >&2
    exit 1
fi
