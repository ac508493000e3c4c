#!/usr/bin/env bash
# Builds quellmar with AddressSanitizer and UndefinedBehaviorSanitizer into a
# fresh virtual environment and runs the whole test suite against it, then a
# longer fixed-seed fuzz run.  Any sanitizer report ends the run with a
# non-zero status.
#
#   tools/sanitize.sh PYTHON WORKDIR [FUZZ_EXAMPLES]
#
# PYTHON is the interpreter to build for (not itself built with a sanitizer:
# the runtime is preloaded; CI runs it with 3.11 and the free-threaded 3.14t,
# whose Py_GIL_DISABLED branches are the module's other half), WORKDIR a scratch directory for the venv, the
# build tree and the logs.  FUZZ_EXAMPLES (default 300) is the Hypothesis
# budget per fuzz test of the second step (300 take about a minute under the
# sanitizers); 0 skips that step.
set -euo pipefail

py=${1:?usage: tools/sanitize.sh PYTHON WORKDIR [FUZZ_EXAMPLES]}
work=${2:?usage: tools/sanitize.sh PYTHON WORKDIR [FUZZ_EXAMPLES]}
examples=${3:-300}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$work"
work=$(cd "$work" && pwd)

# float-cast-overflow is not part of "undefined" in GCC; it guards every
# double-to-integer conversion.
sanitizers=address,undefined,float-cast-overflow

"$py" -m venv "$work/venv"
# shellcheck disable=SC1091
source "$work/venv/bin/activate"
python -m pip install --quiet --upgrade pip >/dev/null 2>&1 || true
# The test extra, as README.md installs it, with the instrumented module.
# _GLIBCXX_ASSERTIONS adds the standard library's own bounds checks
# (operator[], front() on an empty vector), and _GLIBCXX_SANITIZE_VECTOR lets
# ASan see reads between a vector's size and its capacity.
python -m pip install --quiet "$root[test]" \
    -Ccmake.define.QUELLMAR_SANITIZE="$sanitizers" \
    -Ccmake.define.CMAKE_CXX_FLAGS="-D_GLIBCXX_ASSERTIONS -D_GLIBCXX_SANITIZE_VECTOR=1" \
    -Ccmake.build-type=RelWithDebInfo \
    -Cbuild-dir="$work/build"

module=$(cd "$work" && python -c 'import importlib.util; print(importlib.util.find_spec("quellmar").origin)')
if ! grep -q __asan_init "$module" || ! grep -q __ubsan_handle "$module"; then
    echo "sanitize: $module is not instrumented" >&2
    exit 1
fi

# Python itself is not built with ASan: preload the runtime, and the C++
# runtime with it (else the first C++ exception aborts).  Python leaks at
# exit by design, so leak detection is off; every other report aborts.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
export QUELLMAR_FUZZ_REPORT="$work/figures.txt"
: > "$QUELLMAR_FUZZ_REPORT"

scan() {  # a report that did not abort (it should have) still fails the run
    if grep -E "runtime error:|ERROR: AddressSanitizer|SUMMARY: (Address|UndefinedBehavior)Sanitizer|Fatal Python error" \
            "$1" >/dev/null; then
        echo "sanitize: sanitizer report in $1" >&2
        return 1
    fi
}

# The reports go to file descriptor 2, so pytest must not capture it (a
# capture file is lost when the process aborts): --capture=sys.
cd "$root"
status=0
# Development mode (-X dev) adds the debug hooks of Python's allocators: they
# stop the process when an allocator is called without the interpreter lock
# (a routine that released it and still touched Python memory) or when a
# Python buffer is written past its end.
echo "sanitize: whole suite against the instrumented module, in development mode"
echo "whole suite (default budgets):" >> "$QUELLMAR_FUZZ_REPORT"
python -X dev -m pytest tests -p no:cacheprovider --capture=sys 2>&1 | tee "$work/suite.log" || status=1
scan "$work/suite.log" || status=1

if [ "$examples" != 0 ]; then
    echo "sanitize: fuzzing, $examples examples per test, fixed seed"
    echo "fuzz step ($examples examples per test):" >> "$QUELLMAR_FUZZ_REPORT"
    QUELLMAR_FUZZ_EXAMPLES=$examples python -m pytest tests/test_fuzz_surface.py -p no:cacheprovider --capture=sys -q \
        2>&1 | tee "$work/fuzz.log" || status=1
    scan "$work/fuzz.log" || status=1
fi

echo "sanitize: figures"
cat "$QUELLMAR_FUZZ_REPORT"
exit $status
