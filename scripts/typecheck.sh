#!/usr/bin/env bash
# Builds and installs quor_ui with its test and typecheck extras into .venv-X.Y, then checks the type
# stubs: mypy --strict on a usage file, stubtest against the installed module, an exact
# comparison of every stub signature with the module's own (names, kinds, defaults), which
# also covers what stubtest leaves out (dunder methods' parameter names and kinds), and
# mypy --strict and pyright on a file of typos, whose errors must fall on its marked lines.
# pyright's wheel carries its own code and runs it with the machine's node, offline.
# Interpreters as in venv.sh.
. "$(dirname "$0")/venv.sh"
python -m pip install --quiet ".[test,typecheck]"
python -m mypy --strict --cache-dir build/mypy-$pyver tests/typing/usage.py
python -m mypy.stubtest quor_ui.fast.quorcache.quorcache \
    --allowlist tests/typing/stubtest-allowlist.txt
python tests/typing/stub_signatures.py
python tests/typing/expect_errors.py tests/typing/typos.py
