#!/usr/bin/env bash
# Builds and installs quor_ui into .venv, then runs the demonstration.
. "$(dirname "$0")/venv.sh"
python -m pip install --quiet .
python examples/demo.py
