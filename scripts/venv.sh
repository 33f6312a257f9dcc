# Sourced by the other scripts: picks the interpreter, makes its virtual environment
# .venv-$pyver in the checkout and activates it. Sets $root (the checkout) and $pyver: X.Y for
# an interpreter of this machine, X.Y-debian for one of the Debian unstable chroot (chroot.sh),
# which also names the script's build folders.
#
# PYTHON names the interpreter:
#   PYTHON=3.14             this machine's 3.14 (pyenv's newest 3.14.x, else python3.14 on
#                           PATH), else the chroot's (made first if missing)
#   PYTHON=3.13-debian      the chroot's 3.13, beside pyenv's 3.13.0
#   PYTHON=/usr/bin/python3.13   a path or command of this machine
# Without PYTHON, the calling script runs once for each supported version found on this
# machine (3.12, 3.13, ...), then once for each of the chroot's (3.13, 3.14, 3.15) if the chroot
# exists, each with its own environment and build folders, and fails if any run fails.
# A chroot interpreter runs the calling script inside the chroot, with the checkout mounted at
# its own path there.
set -euo pipefail
supported=(3.12 3.13 3.14 3.15)
caller=$(cd "$(dirname "${BASH_SOURCE[1]}")" && pwd)/$(basename "${BASH_SOURCE[1]}")
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
. "$root/scripts/chroot.sh"

# The interpreter of version $1 (X.Y) of this machine as a real executable, not a pyenv shim;
# nothing if there is none.
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

# Runs the calling script in the chroot with its interpreter X.Y ($1).
run_in_chroot() {
    local want=$1
    shift
    if chroot_ready; then
        chroot_copy_host_files
    else
        chroot_make
    fi
    if [ -z "$(chroot_python "$want")" ]; then
        echo "$(basename "$caller"): the chroot has no CPython $want" >&2
        exit 1
    fi
    chroot_run env PYTHON="$(chroot_python "$want")" QUOR_PYVER="$want-debian" \
        SKBUILD_BUILD_DIR="build/{wheel_tag}-debian" bash "$caller" "$@"
}

if [ -z "${PYTHON:-}" ]; then
    found=()
    for want in "${supported[@]}"; do
        p=$(find_python "$want")
        [ -z "$p" ] || found+=("$p")
    done
    if chroot_ready; then
        for want in "${chroot_versions[@]}"; do
            [ -z "$(chroot_python "$want")" ] || found+=("$want-debian")
        done
    else
        echo "$(basename "$caller"): no chroot at $chroot_dir; scripts/chroot.sh makes it (CPython 3.14, 3.15, newest 3.13)" >&2
    fi
    if [ ${#found[@]} -eq 0 ]; then
        echo "$(basename "$caller"): no CPython ${supported[*]} found; name one with PYTHON=..." >&2
        exit 1
    fi
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
elif [[ $PYTHON =~ ^([0-9]+\.[0-9]+)-debian$ ]]; then
    run_in_chroot "${BASH_REMATCH[1]}" "$@"
    exit
elif [[ $PYTHON =~ ^[0-9]+\.[0-9]+$ ]]; then
    p=$(find_python "$PYTHON")
    if [ -z "$p" ]; then
        run_in_chroot "$PYTHON" "$@"
        exit
    fi
    PYTHON=$p
fi

version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
if [ "$(printf '%s\n' 3.12 "$version" | sort -V | head -n 1)" != 3.12 ]; then
    echo "$(basename "$caller"): $PYTHON is Python $version; the module needs 3.12 or newer" >&2
    exit 1
fi
pyver=${QUOR_PYVER:-$version}
venv=.venv-$pyver
if [ ! -x "$venv/bin/python" ]; then
    "$PYTHON" -m venv "$venv"
fi
. "$venv/bin/activate"
python -m pip install --quiet --upgrade pip
