#!/usr/bin/env bash
# Downloads the wheels that the GPU test machine lacks (it has no network) into .whl, for
# tools/gpu-check.sh: pure-Python or cp312 manylinux x86-64 builds.
set -euo pipefail
cd "$(dirname "$0")/.."
dest=${1:-.whl}
mkdir -p "$dest"
grep -qxF "/$dest/" .git/info/exclude 2>/dev/null || echo "/$dest/" >> .git/info/exclude
python3 -m pip download -q --no-deps --only-binary=:all: --python-version 3.12 --implementation cp \
  --platform manylinux_2_28_x86_64 --platform manylinux_2_17_x86_64 --platform manylinux2014_x86_64 \
  -d "$dest" pydantic pydantic-core annotated-types typing-inspection typing-extensions \
  spandrel spandrel-extra-arches einops safetensors openexr
ls "$dest"
