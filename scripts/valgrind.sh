#!/usr/bin/env bash
# Runs a representative part of the test suite under valgrind's memcheck against the module
# installed in .venv-X.Y, and fails on any invalid read or write, use of uninitialised memory
# or bad free. Arguments replace the default selection of tests. Interpreters as in venv.sh.
. "$(dirname "$0")/venv.sh"
python -m pip install --quiet ".[test]"
log=$root/build/valgrind-$pyver.log
mkdir -p "$(dirname "$log")"
tests=("$@")
[ ${#tests[@]} -gt 0 ] || tests=(tests/test_slots.py tests/test_clear.py tests/test_copy_pickle.py
                                 tests/test_lifecycle.py tests/test_torture.py tests/test_leaks.py
                                 tests/test_attributes.py tests/test_key_shortcuts.py)
cd "$root/build"  # import the installed package, not the sources
status=0
PYTHONMALLOC=malloc QUORCACHE_LEAK_RUNS=20 valgrind --tool=memcheck --leak-check=no --suppressions="$root/scripts/valgrind.supp" \
    --track-origins=no --log-file="$log" \
    python -m pytest -q -p no:cacheprovider --rootdir "$root" "${tests[@]/#/$root/}" || status=$?
grep -E "ERROR SUMMARY" "$log" | tail -n 1
invalid=$(grep -cE "Invalid (read|write|free)|uninitialised|Mismatched free" "$log" || true)
echo "valgrind.sh: $invalid invalid accesses (log: $log)"
[ "$invalid" -eq 0 ] || exit 1
exit "$status"
