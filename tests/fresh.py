"""Runs code in a fresh interpreter."""
import os
import subprocess
import sys
import textwrap

import quor_ui

HERE = os.path.dirname(os.path.abspath(__file__))
# The folder the package was imported from, for another interpreter.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(quor_ui.__file__)))


def run_fresh(code, *argv, python=None, env=None, check=True, timeout=600):
    """Runs ``code`` (dedented) with ``argv`` before ``-c``; returns the finished process.

    Without ``python``, the interpreter running the tests, finding what they find (this
    folder's modules included); another one finds this folder and the package only.
    ``check``: the process must exit 0 (its stderr is the assertion's message).
    """
    if python is None:
        python, path = sys.executable, [HERE, *(p for p in sys.path if p)]
    else:
        path = [HERE, PACKAGE_ROOT]
    done = subprocess.run([python, *argv, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(path), **(env or {})})
    assert done.returncode == 0 or not check, done.stderr
    return done
