#!/usr/bin/env bash
# Prepares a machine to build and test voriviv: the Debian packages it needs
# (installed only when missing), a virtual environment in .venv and the
# package itself, built from this checkout.
set -euo pipefail
cd "$(dirname "$0")/.."

# python3-gdal: GDAL's own Python bindings, the independent reader of the tests.
PKGS=(libgdal-dev libpq-dev gdal-bin python3-gdal postgresql postgresql-15-postgis-3 postgis g++ make tmux)
if ! python3 -c 'import venv, ensurepip' >/dev/null 2>&1; then
  PKGS+=(python3-venv python3-dev)
fi
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

PY=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$PY" -m venv .venv
fi
if [ ! -f .venv/.tools-ok ]; then
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.0" cmake ninja "pytest>=7"
  touch .venv/.tools-ok
fi
# Without build isolation the CMake build directory under build/ is reused,
# so a rebuild compiles only what changed. The docs extra is what `make docs`
# and the test suite's build of the documentation need.
.venv/bin/python -m pip install -q --no-build-isolation ".[test,docs]"
