#!/usr/bin/env bash
# Builds and installs quor_ui with its test and typecheck extras into .venv-X.Y, then checks the type
# stubs: mypy --strict on a usage file, and stubtest against the installed module. Interpreters
# as in venv.sh.
. "$(dirname "$0")/venv.sh"
python -m pip install --quiet ".[test,typecheck]"
python -m mypy --strict --cache-dir build/mypy-$pyver tests/typing/usage.py
python -m mypy.stubtest quor_ui.fast.quorcache.quorcache \
    --allowlist tests/typing/stubtest-allowlist.txt
