#!/usr/bin/env bash
# Installs everything, then runs every test: the C++ tests through ctest (and
# once more with sanitizers) and the Python tests through pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install.sh

build_dir=$(ls -d build/cp3*/ 2>/dev/null | head -n 1)
if [ -z "$build_dir" ]; then
  echo "tools/test.sh: no build directory from pip install" >&2
  exit 1
fi
ctest --test-dir "$build_dir" --output-on-failure -j2
# Every C++ test again under AddressSanitizer and UndefinedBehaviorSanitizer
# (the saved-scan fuzz test among them).
bash tests/sanitize.sh --gtest_filter='*'
python3 -m pytest -q tests/py
