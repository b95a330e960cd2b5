#!/usr/bin/env bash
# Build the three extension modules with AddressSanitizer and UndefinedBehaviorSanitizer
# (RelWithDebInfo, in their own virtual environment build/venv-asan) and run the
# hostile-input tests under them: container and zip fuzz, the serve-loop fuzz,
# colour tables, kernels on misaligned and strided arrays, the opener and the noise
# sources, cycle collection. Any sanitizer report fails the run. Extra arguments go
# to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source tools/find_python.sh

py=$(find_python 3.11) || { echo "CPython 3.11 not found" >&2; exit 1; }
asan=$(gcc -print-file-name=libasan.so)
stdcxx=$(g++ -print-file-name=libstdc++.so.6)
for lib in "$asan" "$stdcxx"; do
  [ -e "$lib" ] || { echo "sanitizer run: $lib not found" >&2; exit 1; }
done

venv="$root/build/venv-asan"
logs="$root/build/sanitizer-logs"
rm -rf "$logs"
mkdir -p "$logs"

# The interpreter is not instrumented: the ASan runtime must still come first
# (preloaded), and libstdc++ with it, or the first C++ throw trips an ASan check.
# Python's own allocator would hide heap errors from ASan. Tests expect
# MemoryError for impossible sizes, so the allocator returns null instead of
# aborting; leaks of the interpreter itself are not ours to report.
export LD_PRELOAD="$asan $stdcxx"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:log_path=$logs/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"

[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
flags="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=undefined,float-cast-overflow -fno-omit-frame-pointer"
# The build also runs the interpreter on the built modules (type stubs): it needs
# the same environment.
"$venv/bin/python" -m pip install -q --disable-pip-version-check '.[test]' \
  -C build-dir='build/asan-{wheel_tag}' \
  -C cmake.build-type=RelWithDebInfo \
  -C "cmake.define.CMAKE_CXX_FLAGS=$flags" \
  -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined,float-cast-overflow"

# Built as asked: every module links the sanitizer runtimes.
for so in $("$venv/bin/python" -c "
import orvane._lumeth2._chain_host as a, orvane._f2u.host as b, orvane._open as c
print(a.__file__, b.__file__, c.__file__)"); do
  # (grep reads all of ldd's output: with -q it could end ldd early, and the
  # pipe's failure would read as a missing runtime)
  ldd "$so" | grep libubsan >/dev/null || { echo "sanitizer run: $so is not instrumented" >&2; exit 1; }
done

tests=(
  tests/lumeth2/test_bundle.py tests/lumeth2/test_bundle_load.py tests/lumeth2/test_serve.py
  tests/lumeth2/test_stdio.py tests/lumeth2/test_color.py tests/lumeth2/test_wsola.py
  tests/lumeth2/test_pixels.py tests/lumeth2/test_dec_inputs.py tests/lumeth2/test_pcm_buffer.py
  tests/lumeth2/test_renderer.py tests/lumeth2/test_q8gd.py
  tests/f2u/test_array_input.py tests/f2u/test_numeric.py tests/f2u/test_opener.py
  tests/f2u/test_noise.py tests/f2u/test_identity.py
  tests/open/test_cache.py tests/open/test_unpack.py tests/open/test_intake.py
  tests/test_cycles.py
)
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" "${tests[@]}" 2>&1 | tee "$logs/pytest.out" ||
  status=${PIPESTATUS[0]}
if [ "$status" = 5 ]; then
  echo "sanitizer run: no tests were collected" >&2
  status=1
fi
# A report in a child process (the host program, a test's helper) may not fail
# the test that started it: every report counts.
if grep -l "ERROR" "$logs"/asan.* 2>/dev/null || grep -l "runtime error:" "$logs"/* 2>/dev/null; then
  echo "sanitizer run: reports above (in $logs)" >&2
  status=1
fi
exit "$status"
