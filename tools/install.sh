#!/usr/bin/env bash
# Installs what building and testing tallmap needs on a fresh Debian machine,
# then builds and installs the module and the `tallmap` console script.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(g++ cmake ninja-build pkg-config libcli11-dev libfmt-dev libutf8proc-dev
              libgtest-dev zlib1g-dev)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi

python3 -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "nanobind>=2.0" pytest pyarrow polars duckdb nanoarrow pyte

# The build directory is kept so that a second install only rebuilds what changed.
python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
