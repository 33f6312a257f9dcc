#!/usr/bin/env bash
# Builds and installs quor_ui with its test extra into .venv, then runs the tests.
. "$(dirname "$0")/venv.sh"
python -m pip install --quiet ".[test]"
python -m pytest "$@"
