"""Runs mypy --strict and pyright on a file and checks that their errors fall exactly on the
lines marked `# error`: each marked line has one or more, no other line has any.

Usage: python tests/typing/expect_errors.py FILE   (with mypy and pyright installed)
Prints each tool's output; exits 1 when a tool's error lines differ from the marked ones.
"""
import json
import os
import re
import subprocess
import sys


def mypy_errors(path, cache_dir):
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                           "--cache-dir", cache_dir, path], capture_output=True, text=True)
    print(done.stdout + done.stderr, end="")
    return {int(m[1]) for m in re.finditer(rf"^{re.escape(path)}:(\d+): error:", done.stdout,
                                           re.M)}


def pyright_errors(path):
    # Run from the file's folder, whose pyrightconfig.json roots the project there: rooted at
    # the checkout, pyright would add src/ to its search paths and read the stub there
    # instead of the installed one, which mypy reads.
    cmd = [sys.executable, "-m", "pyright", "--pythonpath", sys.executable]
    where = dict(capture_output=True, text=True, cwd=os.path.dirname(os.path.abspath(path)))
    path = os.path.abspath(path)
    print(subprocess.run([*cmd, path], **where).stdout, end="")
    done = subprocess.run([*cmd, "--outputjson", path], **where)
    found = json.loads(done.stdout)["generalDiagnostics"]
    return {d["range"]["start"]["line"] + 1 for d in found if d["severity"] == "error"}


def main(argv):
    path = os.path.relpath(argv[1])
    with open(path, encoding="utf-8") as f:
        marked = {i for i, line in enumerate(f, 1) if line.rstrip().endswith("# error")}
    cache_dir = os.path.join("build", "mypy-%d.%d" % sys.version_info[:2])
    status = 0
    for tool, lines in [("mypy", mypy_errors(path, cache_dir)), ("pyright", pyright_errors(path))]:
        if lines == marked:
            print(f"expect_errors: {tool}: errors on exactly the marked lines {sorted(marked)}")
        else:
            status = 1
            print(f"expect_errors: {tool}: errors on lines {sorted(lines)}, "
                  f"marked {sorted(marked)}")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
