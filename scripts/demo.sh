#!/usr/bin/env bash
# Builds and installs quor_ui into .venv-X.Y, then runs the demonstration
# (interpreters as in venv.sh).
. "$(dirname "$0")/venv.sh"
python -m pip install --quiet .
python examples/demo.py
