#!/usr/bin/env bash
# GPU tier: builds the package in place on a machine with an NVIDIA GPU and no network, runs the
# whole suite against real CuPy, then the benchmarks.
#
#   tools/gpu-check.sh [WHEELS_DIR]
#
# The machine brings Python, CuPy, PyTorch, numpy, onnx, onnxruntime, OpenCV, nanobind,
# scikit-build-core, CMake, ninja and pytest. Anything else the suite needs travels as wheels in
# WHEELS_DIR (default .whl, filled by tools/fetch-gpu-wheels.sh), installed with no index.
set -euo pipefail
cd "$(dirname "$0")/.."
wheels=${1:-.whl}
site=/tmp/quorvex-site
export PYTHONUNBUFFERED=1

python3 -c 'import cupy; n = cupy.cuda.runtime.getDeviceCount(); assert n > 0, "no CUDA device"; print(f"{n} CUDA device(s)")'

if compgen -G "$wheels/*.whl" >/dev/null; then
  python3 -m pip install -q --no-index --no-deps --no-compile --upgrade --target "$site/deps" "$wheels"/*.whl
  export PYTHONPATH="$site/deps${PYTHONPATH:+:$PYTHONPATH}"
fi

python3 -m pip install -q --no-index --no-deps --no-build-isolation --upgrade --target "$site/pkg" \
  -Cbuild-dir=build/gpu .
export PYTHONPATH="$site/pkg:$PYTHONPATH"

python3 -m pytest -q -p no:cacheprovider
python3 benchmarks/run.py
