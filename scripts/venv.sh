# Sourced by the other scripts: makes .venv with a CPython 3.12 and activates it.
# PYTHON may name the interpreter; otherwise python3.12 (a pyenv 3.12.x if there is one).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
if [ -z "${PYTHON:-}" ]; then
    if command -v pyenv >/dev/null 2>&1; then
        v=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.12\.[0-9]+$' | sort -V | tail -n 1 || true)
        [ -n "$v" ] && PYTHON="$(pyenv prefix "$v")/bin/python3.12"
    fi
    PYTHON=${PYTHON:-python3.12}
fi
if [ ! -x .venv/bin/python ]; then
    "$PYTHON" -m venv .venv
fi
. .venv/bin/activate
python -m pip install --quiet --upgrade pip
