#!/usr/bin/env bash
# Builds and installs quor_ui with its test extra into .venv-X.Y, then runs the tests (arguments
# go to pytest): for each supported interpreter found, or for the one PYTHON names (see venv.sh).
. "$(dirname "$0")/venv.sh"
python -m pip install --quiet ".[test]"
python -m pytest "$@"
