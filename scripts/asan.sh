#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer into build/asan-X.Y
# and runs the test suite against that build (arguments go to pytest). Fails on a test
# failure and on any sanitizer report, leaks at exit included. Interpreters as in venv.sh.
. "$(dirname "$0")/venv.sh"
python -m pip install --quiet ".[test]"

out=$root/build/asan-$pyver
site=$out/site                      # a package tree whose only extension is the sanitized one
pkg=$site/quor_ui/fast/quorcache
logs=$out/reports
rm -rf "$site" "$logs" "$out/unnamed" "$out/pytest-status"
mkdir -p "$site" "$logs"
cp -r src/quor_ui "$site/"
find "$site" \( -name '*.so' -o -name '*.cpp' -o -name '*.hpp' -o -name CMakeLists.txt \) -delete
find "$site" -name __pycache__ -prune -exec rm -rf {} +

cmake -S . -B "$out/cmake" -DPython_EXECUTABLE="$(command -v python)" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOR_SANITIZE=address,undefined \
    -DQUORCACHE_OUTPUT_DIR="$pkg" >"$out/configure.log" || { cat "$out/configure.log"; exit 1; }
cmake --build "$out/cmake" -j 2 >"$out/build.log" || { cat "$out/build.log"; exit 1; }

runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# verify_asan_link_order=0: a test loads the module into another interpreter (python3.13)
# that nothing preloads; the runtime then comes in with the module, late but working.
# Reports go to files: pytest's capturing would swallow what a dying process writes to stderr.
asan_options="detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:verify_asan_link_order=0:log_path=$logs/asan"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
export PYTHONMALLOC=malloc          # every object a malloc block the sanitizer can see
export PYTHONPATH=$site

# Only Python processes run with the runtime preloaded: this one and those the tests start
# through sys.executable, which becomes a wrapper that preloads it. cmake, the compiler of
# the native consumer test and other tools run without it; their leaks are not ours.
wrapper=$out/python
printf '#!/bin/sh\nLD_PRELOAD=%q exec %q "$@"\n' "$runtime" "$(command -v python)" >"$wrapper"
chmod +x "$wrapper"

# The allocation-failure sweep runs with full stacks (fast_unwind_on_malloc=0, about three
# times slower): the interpreter has no frame pointers, and a leak's stack must reach our
# frames for the suppressions to tell the interpreter's losses under failed allocations
# from ours. The rest of the suite runs with the fast unwinder.
status=0
run() {  # run OPTIONS PYTEST-ARGS...
    ASAN_OPTIONS="$asan_options$1" LD_PRELOAD=$runtime python - "$pkg" "$wrapper" "${@:2}" <<'PY' || status=$?
import os, sys
del os.environ["LD_PRELOAD"]
sys.executable = sys.argv[2]
from quor_ui.fast.quorcache import quorcache
where = os.path.dirname(os.path.abspath(quorcache.__file__))
assert where == os.path.abspath(sys.argv[1]), f"imported the unsanitized module from {where}"
import pytest
code = pytest.main(["-p", "no:cacheprovider", *sys.argv[3:]])
with open(os.path.join(os.path.dirname(sys.argv[2]), "pytest-status"), "a") as f:
    print(int(code), file=f)
sys.exit(code)
PY
}
if [ $# -gt 0 ]; then
    run ":fast_unwind_on_malloc=0" "$@"
else
    run "" --ignore=tests/test_nomemory.py
    run ":fast_unwind_on_malloc=0" tests/test_nomemory.py
fi

# An interpreter without symbols (Debian's are stripped) names none of its own frames, so
# the suppressions, which name interpreter frames, cannot match there: a leak report counts
# only when a frame of the module is in it. Objects of the interpreter's that the module
# would keep alive are what the block and reference counts of tests/test_leaks.py and
# tests/test_nomemory.py catch, on every version.
if ! nm "$(python -c 'import os, sys; print(os.path.realpath(sys.executable))')" 2>/dev/null | grep -q .; then
    for f in "$logs"/asan.*; do
        if [ -e "$f" ] && [ "$(grep -c 'ERROR:' "$f")" = "$(grep -c 'ERROR: LeakSanitizer' "$f")" ] &&
            ! grep -q quorcache "$f"; then
            mkdir -p "$out/unnamed"
            mv "$f" "$out/unnamed/"
            echo "asan.sh: leaks with no frame of the module, in an interpreter without symbols: $out/unnamed/$(basename "$f")" >&2
        fi
    done
    # Such a leak found at the exit of a run still made it exit 1; pytest's own status counts.
    if [ "$status" -ne 0 ] && ! compgen -G "$logs/*" >/dev/null && [ -s "$out/pytest-status" ] &&
        ! grep -qv '^0$' "$out/pytest-status"; then
        status=0
    fi
fi
if compgen -G "$logs/*" >/dev/null; then
    cat "$logs"/*
    echo "asan.sh: sanitizer reports above (kept in $logs)" >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "asan.sh: failed with status $status" >&2
fi
exit "$status"
