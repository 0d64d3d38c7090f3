#!/usr/bin/env bash
# Builds and installs the package with its test tools, then runs the suite.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install -q --disable-pip-version-check ".[test]"
python3 -m pytest -q tests
