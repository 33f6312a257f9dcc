#!/usr/bin/env bash
# Runs the tests that exercise memory safety under valgrind's memcheck against the module
# installed in .venv-X.Y, and fails on any invalid read or write, use of uninitialised memory
# or bad free, wherever it happens: a block the module releases too early is read by the
# interpreter, so the frame that reads it is often not ours. Arguments replace the default
# selection of tests. Processes that the tests start run without valgrind. Interpreters as
# in venv.sh.
. "$(dirname "$0")/venv.sh"
python -m pip install --quiet ".[test]"
log=$root/build/valgrind-$pyver.log
mkdir -p "$(dirname "$log")"
tests=("$@")
[ ${#tests[@]} -gt 0 ] || tests=(tests/test_slots.py tests/test_clear.py tests/test_copy_pickle.py
                                 tests/test_lifecycle.py tests/test_torture.py tests/test_leaks.py
                                 tests/test_attributes.py tests/test_fast_paths.py
                                 tests/test_nomemory.py)
cd "$root/build"  # import the installed package, not the sources
status=0
# Block counts mean nothing under PYTHONMALLOC=malloc: the leak loops only need to run.
# PYTHONMALLOC=malloc also turns the reuse of dead caches off, so a cache used after its
# release is a block read after its free here.
PYTHONMALLOC=malloc QUORCACHE_LEAK_RUNS=20 QUORCACHE_NOMEMORY_ROUNDS=0 valgrind --tool=memcheck --leak-check=no --suppressions="$root/scripts/valgrind.supp" \
    --track-origins=no --log-file="$log" \
    python -m pytest -q -p no:cacheprovider --rootdir "$root" "${tests[@]/#/$root/}" || status=$?
grep -E "ERROR SUMMARY" "$log" | tail -n 1
invalid=$(grep -cE "Invalid (read|write|free)|uninitialised|Mismatched free" "$log" || true)
ours=$(grep -cE "^==[0-9]+== +(at|by) .*quorcache" "$log" || true)
echo "valgrind.sh: $invalid invalid accesses, $ours stack frames in the module among the errors (log: $log)"
[ "$invalid" -eq 0 ] || exit 1
exit "$status"
