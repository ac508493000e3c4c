#!/usr/bin/env bash
# Coverage-guided fuzzing of the Python surface with atheris and libFuzzer:
# the module built by clang with libFuzzer's coverage instrumentation plus
# AddressSanitizer and UndefinedBehaviorSanitizer, and tools/fuzz/surface.py
# run for a fixed number of executions, starting from the corpus in the
# repository.  A crash, an undocumented exception or a sanitizer report fails
# the run; the input that caused it is left in WORKDIR/artifacts/ (copy it
# into tools/fuzz/regressions/, and the ordinary suite replays it for ever).
#
#   tools/fuzz.sh PYTHON WORKDIR [RUNS]
#
# PYTHON: a CPython for which atheris builds (3.11 to 3.13); RUNS: executions
# (default 200000, or QUELLMAR_FUZZ_RUNS).  Needs clang with libFuzzer
# (Debian: clang-16 libclang-rt-16-dev) for the instrumented build and the
# sanitizer runtime; atheris comes from the `fuzz` extra.  New interesting inputs go to WORKDIR/corpus; to grow the
# repository's corpus, merge them by hand:
#   python tools/fuzz/surface.py -merge=1 tools/fuzz/corpus/surface WORKDIR/corpus
set -euo pipefail

py=${1:?usage: tools/fuzz.sh PYTHON WORKDIR [RUNS]}
work=${2:?usage: tools/fuzz.sh PYTHON WORKDIR [RUNS]}
runs=${3:-${QUELLMAR_FUZZ_RUNS:-200000}}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$work"
work=$(cd "$work" && pwd)
clang=$(command -v clang-16 || command -v clang || true)
clangxx=$(command -v clang++-16 || command -v clang++ || true)
[ -n "$clang" ] && [ -n "$clangxx" ] || { echo "fuzz: clang is needed (Debian: clang-16 libclang-rt-16-dev)" >&2; exit 1; }

"$py" -m venv "$work/venv"
# shellcheck disable=SC1091
source "$work/venv/bin/activate"
python -m pip install --quiet --upgrade pip >/dev/null 2>&1 || true
# The module with libFuzzer's coverage counters and the sanitizers, and
# atheris (the `fuzz` extra).
python -m pip install --quiet "$root[fuzz]" \
    -Ccmake.define.CMAKE_CXX_COMPILER="$clangxx" \
    -Ccmake.define.QUELLMAR_SANITIZE=fuzzer-no-link,address,undefined,float-cast-overflow \
    -Ccmake.define.CMAKE_CXX_FLAGS="-D_GLIBCXX_ASSERTIONS" \
    -Ccmake.build-type=RelWithDebInfo \
    -Cbuild-dir="$work/build"

# Python is not built with ASan, so the runtime is preloaded, merged with
# this clang's libFuzzer: the module's coverage callbacks then reach the
# fuzzer, and atheris runs on that libFuzzer instead of its own copy.
rt_dir=$("$clang" -print-resource-dir)/lib/linux
runtime="$work/asan_with_fuzzer.so"
cp "$rt_dir/libclang_rt.asan-x86_64.a" "$work/asan.a"
ar d "$work/asan.a" asan_preinit.cpp.o asan_preinit.cc.o 2>/dev/null || true
"$clangxx" -shared -o "$runtime" -Wl,--whole-archive "$rt_dir/libclang_rt.fuzzer_no_main-x86_64.a" "$work/asan.a" \
    "$rt_dir/libclang_rt.asan_cxx-x86_64.a" \
    -Wl,--no-whole-archive -lpthread -ldl
module=$(cd "$work" && python -c 'import importlib.util; print(importlib.util.find_spec("quellmar").origin)')
if ! grep -q __sanitizer_cov_8bit_counters_init "$module" || ! grep -q __asan_init "$module"; then
    echo "fuzz: $module lacks coverage or sanitizer instrumentation" >&2
    exit 1
fi

mkdir -p "$work/corpus" "$work/artifacts" "$root/tools/fuzz/regressions"
cd "$root"
export LD_PRELOAD="$runtime $("$clangxx" -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=0:handle_abort=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
echo "fuzz: $runs executions of tools/fuzz/surface.py from $(ls tools/fuzz/corpus/surface | wc -l) corpus inputs"
status=0
python tools/fuzz/surface.py -runs="$runs" -max_len=512 -timeout=30 -rss_limit_mb=6000 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
    "$work/corpus" tools/fuzz/corpus/surface tools/fuzz/regressions 2>&1 | tee "$work/fuzz.log" || status=1

done_runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 \2/p' "$work/fuzz.log" | tail -n1)
if grep -qE "ERROR: AddressSanitizer|runtime error:|Uncaught Python exception|ERROR: libFuzzer" "$work/fuzz.log"; then
    status=1
fi
if [ -z "$done_runs" ] || [ "${done_runs% *}" -lt "$runs" ]; then
    echo "fuzz: the run did not complete its $runs executions" >&2
    status=1
else
    echo "fuzz: ${done_runs% *} executions in ${done_runs#* } s, $(ls "$work/corpus" | wc -l) new corpus inputs"
    grep -E "^stat::(number_of_executed_units|new_units_added|peak_rss_mb)" "$work/fuzz.log" || true
fi
[ $status -eq 0 ] || echo "fuzz: FAILED; inputs in $work/artifacts: $(ls "$work/artifacts")" >&2
exit $status
