#!/usr/bin/env bash
# GPU tier in one command, for a machine with an NVIDIA GPU and no network:
#
#   tools/gpu-check.sh [WHEELS_DIR]      run it
#   tools/gpu-check.sh --plan            print the stages, their limits and commands, run nothing
#
# Stages run in the order of what they decide, each under its own limit, and each writes its log
# (NAME.log) and one JSON line (stages.jsonl) to $OUT as soon as it ends, so that a run cut short
# still tells what it reached:
#   build      the package built in place (no network, no build isolation)
#   smoke      tools/gpu_smoke.py: every public function once on the real CuPy (compiling each
#              kernel once, which a cold machine pays here and the later stages reuse), TensorRT
#              engines built in fp32 and fp16 and run where tensorrt imports, quorvex upscale
#              through an ONNX model and without one
#   memcheck   compute-sanitizer memcheck over the kernel tests, CuPy's memory pool off so that
#              every array is its own allocation and an overrun is caught at its edge
#   bench      benchmarks/run.py, its limit sized from the benchmarks' own iteration counts
#   suite      the whole test suite, in the time left
# The whole run stays under 9 minutes (QV_TOTAL_S, default 530 s). It ends with a table (stage,
# result, seconds, limit); the exit code is 0 only when every stage passed, 2 without a GPU.
#
# The machine brings Python, CuPy, PyTorch, numpy, onnx, onnxruntime, OpenCV, nanobind,
# scikit-build-core, CMake, ninja and pytest. Anything else the suite needs travels as wheels in
# WHEELS_DIR (default .whl, filled by tools/fetch-gpu-wheels.sh), installed with no index.
set -uo pipefail
cd "$(dirname "$0")/.."
plan=0
[[ ${1:-} == --plan ]] && { plan=1; shift; }
wheels=${1:-.whl}
site=/tmp/quorvex-site
logs=${OUT:-/tmp/quorvex-gpu-check}
mkdir -p "$logs"
: >"$logs/stages.jsonl"
export PYTHONUNBUFFERED=1
export PYTHONPATH="$site/pkg:$site/deps${PYTHONPATH:+:$PYTHONPATH}"
total=${QV_TOTAL_S:-530}
begin=$SECONDS

# Benchmarks: a minute for set-up and warm-up plus a quarter second per timed iteration they ask for
# and 15 s per image of the whole upscale command (4K x4: model load, PNG read and a 15360x8640 PNG written),
# and 20 s for the live run (300 frames at 60 fps, then the command's 5 s wait for a quiet source).
iterations=$(($(grep -ho 'repeat=[0-9]\+' benchmarks/*.py | cut -d= -f2 | paste -sd+ -) + 0))
command_images=$(($(grep -ho 'images=[0-9]\+' benchmarks/*.py | cut -d= -f2 | paste -sd+ -) + 0))
declare -A limit=([build]=${QV_BUILD_S:-120} [smoke]=${QV_SMOKE_S:-100} [memcheck]=${QV_MEMCHECK_S:-90}
                  [bench]=${QV_BENCH_S:-$((80 + iterations / 4 + 15 * command_images))} [suite]=0)
stages=() results=() seconds=() limits=()

left() { echo $((total - (SECONDS - begin))); }

stage() {  # stage NAME COMMAND...: runs the command under the stage's limit (or the time left), logging to NAME.log
  local name=$1; shift
  local start=$SECONDS rc lim=${limit[$name]} remaining result
  remaining=$(($(left) - 5))
  if ((lim == 0 || lim > remaining)); then lim=$remaining; fi
  if ((plan)); then
    printf '%-9s %5s s  %s\n' "$name" "$lim" "$*"
    begin=$((begin - lim))  # the plan's clock: each stage taking all of its limit
    return
  fi
  if ((lim < 10)); then
    result="not run (no time left)"; rc=0
  else
    echo "== $name (limit ${lim} s): $*"
    timeout --kill-after=5 "$lim" "$@" >"$logs/$name.log" 2>&1
    rc=$?
    tail -n 12 "$logs/$name.log"
    case $rc in
      0) result=passed ;;
      124 | 137) result="timed out" ;;
      *) result="failed ($rc)" ;;
    esac
  fi
  stages+=("$name") results+=("$result") seconds+=($((SECONDS - start))) limits+=("$lim")
  printf '{"stage": "%s", "result": "%s", "seconds": %d, "limit": %d, "log": "%s.log", "device": "%s"}\n' \
    "$name" "$result" $((SECONDS - start)) "$lim" "$name" "$device" >>"$logs/stages.jsonl"
}

summary() {
  local i all=0
  printf '\n%-9s %-22s %7s %6s\n' stage result seconds limit
  for i in "${!stages[@]}"; do
    printf '%-9s %-22s %7s %6s\n' "${stages[$i]}" "${results[$i]}" "${seconds[$i]}" "${limits[$i]}"
    [[ ${results[$i]} == passed ]] || all=1
  done
  echo "total $((SECONDS - begin)) s; logs and stages.jsonl in $logs"
  return $all
}

device=$(python3 -c 'import cupy as cp
n = cp.cuda.runtime.getDeviceCount()
print(cp.cuda.runtime.getDeviceProperties(0)["name"].decode() if n else "")' 2>"$logs/device.log")
if ((plan)); then
  echo "plan for ${device:-a machine without a GPU} (${total} s in all; ${iterations} benchmark iterations, ${command_images} command images):"
elif [[ -z $device ]]; then
  echo "no CUDA device: the GPU check needs a machine with an NVIDIA GPU and CuPy ($(tail -n 1 "$logs/device.log"))"
  echo '{"stage": "device", "result": "no CUDA device", "seconds": 0, "limit": 0}' >>"$logs/stages.jsonl"
  exit 2
else
  echo "device: $device"
  if compgen -G "$wheels/*.whl" >/dev/null; then
    python3 -m pip install -q --no-index --no-deps --no-compile --upgrade --target "$site/deps" "$wheels"/*.whl
  fi
fi

stage build python3 -m pip install -q --no-index --no-deps --no-build-isolation --upgrade \
  --target "$site/pkg" -Cbuild-dir=build/gpu .
stage smoke python3 tools/gpu_smoke.py --json "$logs/smoke.json"
sanitizer=$(command -v compute-sanitizer || echo /usr/local/cuda/bin/compute-sanitizer)
QUORVEX_NO_POOL=1 stage memcheck "$sanitizer" --tool memcheck --error-exitcode 1 --target-processes all \
  python3 -m pytest -q -p no:cacheprovider tests/color tests/transform tests/filter tests/utils \
  tests/upscale/test_tile.py tests/face/test_paste.py
stage bench python3 benchmarks/run.py
stage suite python3 -m pytest -q -p no:cacheprovider -rfE --durations=10
((plan)) && exit 0
summary
