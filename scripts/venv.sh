# Sourced by the other scripts: picks the interpreter, makes its virtual environment
# .venv-X.Y in the checkout and activates it. Sets $root (the checkout) and $pyver (X.Y).
#
# PYTHON names the interpreter: a path or command (PYTHON=/usr/bin/python3.13), or a
# version (PYTHON=3.13: pyenv's newest 3.13.x if there is one, else python3.13 on PATH).
# Without PYTHON, the calling script runs once for each supported version found (3.12,
# then 3.13), each with its own environment and build folders, and fails if any run fails.
set -euo pipefail
supported=(3.12 3.13)
caller=$(cd "$(dirname "${BASH_SOURCE[1]}")" && pwd)/$(basename "${BASH_SOURCE[1]}")
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# The interpreter of version $1 (X.Y) as a real executable, not a pyenv shim; nothing if
# there is none.
find_python() {
    local want=$1 v p
    if command -v pyenv >/dev/null 2>&1; then
        v=$(pyenv versions --bare 2>/dev/null | grep -E "^${want//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
        p=${v:+$(pyenv prefix "$v")/bin/python$want}
        if [ -n "$p" ] && [ -x "$p" ]; then
            echo "$p"
            return
        fi
    fi
    if command -v "python$want" >/dev/null 2>&1; then
        "python$want" -c 'import sys; print(sys.executable)' 2>/dev/null || true
    fi
}

if [ -z "${PYTHON:-}" ]; then
    found=()
    for want in "${supported[@]}"; do
        p=$(find_python "$want")
        [ -z "$p" ] || found+=("$p")
    done
    if [ ${#found[@]} -eq 0 ]; then
        echo "$(basename "$caller"): no CPython ${supported[*]} found; name one with PYTHON=..." >&2
        exit 1
    fi
    if [ ${#found[@]} -gt 1 ]; then
        status=0
        summary=()
        for p in "${found[@]}"; do
            echo "=== $(basename "$caller") with $p" >&2
            if PYTHON=$p bash "$caller" "$@"; then
                summary+=("$(basename "$caller") with $p: passed")
            else
                summary+=("$(basename "$caller") with $p: FAILED")
                status=1
            fi
        done
        printf '=== %s\n' "${summary[@]}" >&2
        exit "$status"
    fi
    PYTHON=${found[0]}
elif [[ $PYTHON =~ ^[0-9]+\.[0-9]+$ ]]; then
    p=$(find_python "$PYTHON")
    if [ -z "$p" ]; then
        echo "$(basename "$caller"): no CPython $PYTHON found" >&2
        exit 1
    fi
    PYTHON=$p
fi

pyver=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
if [[ " ${supported[*]} " != *" $pyver "* ]]; then
    echo "$(basename "$caller"): $PYTHON is Python $pyver; supported: ${supported[*]}" >&2
    exit 1
fi
venv=.venv-$pyver
if [ ! -x "$venv/bin/python" ]; then
    "$PYTHON" -m venv "$venv"
fi
. "$venv/bin/activate"
python -m pip install --quiet --upgrade pip
