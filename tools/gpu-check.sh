#!/usr/bin/env bash
# GPU tier in one command, for a machine with an NVIDIA GPU and no network:
#
#   tools/gpu-check.sh [WHEELS_DIR]
#
# Every stage runs, whatever an earlier one gave, each under its own time limit:
#   build      the package built in place (no network, no build isolation)
#   suite      the whole test suite on real CuPy
#   stream     the suite again, every test inside a non-blocking CuPy stream
#   memcheck   compute-sanitizer memcheck over the kernel tests, CuPy's memory pool off so that
#              every array is its own allocation and an overrun is caught at its edge
#   bench      benchmarks/run.py
# It ends with a summary table (stage, result, seconds); with $OUT set, the full log of each stage
# and a JSON report are written there. The exit code is 0 only when every stage passed.
#
# The machine brings Python, CuPy, PyTorch, numpy, onnx, onnxruntime, OpenCV, nanobind,
# scikit-build-core, CMake, ninja and pytest. Anything else the suite needs travels as wheels in
# WHEELS_DIR (default .whl, filled by tools/fetch-gpu-wheels.sh), installed with no index.
set -uo pipefail
cd "$(dirname "$0")/.."
wheels=${1:-.whl}
site=/tmp/quorvex-site
logs=${OUT:-/tmp/quorvex-gpu-check}
mkdir -p "$logs"
export PYTHONUNBUFFERED=1
export PYTHONPATH="$site/pkg:$site/deps${PYTHONPATH:+:$PYTHONPATH}"

# Seconds per stage; the defaults keep the whole run under 8 minutes.
declare -A limit=([build]=${QV_BUILD_S:-120} [suite]=${QV_SUITE_S:-120} [stream]=${QV_STREAM_S:-90}
                  [memcheck]=${QV_MEMCHECK_S:-90} [bench]=${QV_BENCH_S:-60})
stages=() results=() seconds=()

stage() {  # stage NAME COMMAND...: runs the command under the stage's limit, logging to NAME.log
  local name=$1; shift
  local start=$SECONDS rc
  echo "== $name: $*"
  timeout --kill-after=10 "${limit[$name]}" "$@" >"$logs/$name.log" 2>&1
  rc=$?
  tail -n 15 "$logs/$name.log"
  stages+=("$name") seconds+=($((SECONDS - start)))
  case $rc in
    0) results+=(passed) ;;
    124 | 137) results+=("timed out") ;;
    *) results+=("failed ($rc)") ;;
  esac
}

summary() {
  local i json="" all=0
  printf '\n%-10s %-14s %s\n' stage result seconds
  for i in "${!stages[@]}"; do
    printf '%-10s %-14s %s\n' "${stages[$i]}" "${results[$i]}" "${seconds[$i]}"
    json+="${json:+, }{\"stage\": \"${stages[$i]}\", \"result\": \"${results[$i]}\", \"seconds\": ${seconds[$i]}}"
    [[ ${results[$i]} == passed ]] || all=1
  done
  echo "{\"device\": \"$device\", \"stages\": [$json]}" >"$logs/report.json"
  echo "logs and report.json in $logs"
  return $all
}

device=$(python3 -c 'import cupy as cp
n = cp.cuda.runtime.getDeviceCount()
print(cp.cuda.runtime.getDeviceProperties(0)["name"].decode() if n else "")' 2>/dev/null)
if [[ -z $device ]]; then
  echo "no CUDA device: the GPU check needs a machine with an NVIDIA GPU and CuPy"
  exit 2
fi
echo "device: $device"

if compgen -G "$wheels/*.whl" >/dev/null; then
  python3 -m pip install -q --no-index --no-deps --no-compile --upgrade --target "$site/deps" "$wheels"/*.whl
fi

stage build python3 -m pip install -q --no-index --no-deps --no-build-isolation --upgrade \
  --target "$site/pkg" -Cbuild-dir=build/gpu .
stage suite python3 -m pytest -q -p no:cacheprovider
QUORVEX_TEST_STREAM=nonblocking stage stream python3 -m pytest -q -p no:cacheprovider
sanitizer=$(command -v compute-sanitizer || echo /usr/local/cuda/bin/compute-sanitizer)
QUORVEX_NO_POOL=1 stage memcheck "$sanitizer" --tool memcheck --error-exitcode 1 --target-processes all \
  python3 -m pytest -q -p no:cacheprovider tests/color tests/transform tests/filter tests/utils \
  tests/upscale/test_tile.py tests/face/test_paste.py
stage bench python3 benchmarks/run.py
summary
