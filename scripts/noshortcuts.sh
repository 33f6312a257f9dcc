#!/usr/bin/env bash
# Builds the extension with every shortcut off (-DQUORCACHE_NO_SHORTCUTS: the ordinary paths
# an interpreter version that internals.hpp does not list takes) into build/noshortcuts-X.Y,
# with warnings as errors, and runs the test suite against that build (arguments go to
# pytest). Tests that assert a shortcut is taken skip themselves there. Also compiles the
# ordinary build with warnings as errors. Interpreters as in venv.sh.
. "$(dirname "$0")/venv.sh"
python -m pip install --quiet ".[test]"

out=$root/build/noshortcuts-$pyver
site=$out/site                      # a package tree whose only extension is the shortcut-free one
pkg=$site/quor_ui/fast/quorcache
rm -rf "$site"
mkdir -p "$site"
cp -r src/quor_ui "$site/"
find "$site" \( -name '*.so' -o -name '*.cpp' -o -name '*.hpp' -o -name CMakeLists.txt \) -delete
find "$site" -name __pycache__ -prune -exec rm -rf {} +

build() {  # build DIR EXTRA-CXXFLAGS CMAKE-ARGS...
    local dir=$1 flags=$2
    shift 2
    CXXFLAGS="${CXXFLAGS:-} $flags" cmake -S . -B "$dir" -DPython_EXECUTABLE="$(command -v python)" \
        -DQUORCACHE_WERROR=ON "$@" >"$dir.configure.log" || { cat "$dir.configure.log"; exit 1; }
    cmake --build "$dir" -j 2 >"$dir.build.log" || { cat "$dir.build.log"; exit 1; }
}
mkdir -p "$out"
build "$out/werror" "" -DQUORCACHE_OUTPUT_DIR="$out/werror-module"
build "$out/cmake" -DQUORCACHE_NO_SHORTCUTS -DQUORCACHE_OUTPUT_DIR="$pkg"

# $site comes before the installed package; the checkout's root has no quor_ui of its own.
PYTHONPATH=$site python -m pytest -p no:cacheprovider "$@"
