#!/usr/bin/env bash
# ThreadSanitizer run: the module built with clang and -fsanitize=thread for
# a free-threaded CPython that was itself built with --with-thread-sanitizer
# (tools/provision-python.sh 3.14t-tsan), then the thread tests and the thread
# stress, with more rounds, run without the GIL.  Any report that the
# interpreter's own suppression file does not cover fails the run, reports
# from the fresh processes of the first-use tests included.
#
#   tools/tsan.sh PYTHON WORKDIR
#
# PYTHON is the ThreadSanitizer interpreter (its prefix holds
# share/tsan/suppressions_free_threading.txt), WORKDIR a scratch directory
# for the venv, the build tree and the reports.  The venv gets pytest and
# numpy only: the thread tests need nothing else, and the run says so to the
# suite with QUELLMAR_TESTS_WITHOUT.
#
# QUELLMAR_TSAN_ROUNDS (default 1000) and QUELLMAR_TSAN_PROCESSES (default 4)
# set the rounds per thread and the fresh processes per first-use case.
set -euo pipefail

py=${1:?usage: tools/tsan.sh PYTHON WORKDIR}
work=${2:?usage: tools/tsan.sh PYTHON WORKDIR}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$work"
work=$(cd "$work" && pwd)
prefix=$(cd "$(dirname "$py")/.." && pwd)
suppressions="$prefix/share/tsan/suppressions_free_threading.txt"
cxx=$(command -v clang++-16 || command -v clang++ || true)

if ! "$py" -c 'import sys, sysconfig; sys.exit(not ("--with-thread-sanitizer" in sysconfig.get_config_var("CONFIG_ARGS") and sysconfig.get_config_var("Py_GIL_DISABLED")))' 2>/dev/null; then
    echo "tsan: $py is not a free-threaded interpreter built with --with-thread-sanitizer" >&2
    exit 1
fi
[ -s "$suppressions" ] || { echo "tsan: no suppression file at $suppressions" >&2; exit 1; }
[ -n "$cxx" ] || { echo "tsan: clang++ is needed (the interpreter's sanitizer runtime is clang's)" >&2; exit 1; }

# Installing runs pip under the sanitizer: its reports are not ours.
export TSAN_OPTIONS="suppressions=$suppressions report_bugs=0 exitcode=0"
"$py" -m venv "$work/venv"
# shellcheck disable=SC1091
source "$work/venv/bin/activate"
python -m pip install --quiet pytest numpy
python -m pip install --quiet "$root" \
    -Ccmake.define.QUELLMAR_SANITIZE=thread \
    -Ccmake.define.CMAKE_CXX_COMPILER="$cxx" \
    -Ccmake.build-type=RelWithDebInfo \
    -Cbuild-dir="$work/build"

module=$(cd "$work" && python -c 'import importlib.util; print(importlib.util.find_spec("quellmar").origin)')
if ! grep -q __tsan_read "$module"; then
    echo "tsan: $module is not instrumented" >&2
    exit 1
fi

# Every process writes its reports to its own file under reports/; a report
# does not stop the run (all of them are collected), the scan below fails it.
rm -rf "$work/reports"
mkdir -p "$work/reports"
export TSAN_OPTIONS="suppressions=$suppressions log_path=$work/reports/tsan second_deadlock_stack=1 halt_on_error=0 exitcode=66"
export PYTHON_GIL=0
export QUELLMAR_TESTS_WITHOUT="hypothesis scipy pandas dask distributed mypy matplotlib"
export QUELLMAR_THREAD_ROUNDS=${QUELLMAR_TSAN_ROUNDS:-1000}
export QUELLMAR_STRESS_PROCESSES=${QUELLMAR_TSAN_PROCESSES:-4}

cd "$root"
status=0
echo "tsan: thread tests and thread stress, GIL off, $QUELLMAR_THREAD_ROUNDS rounds per thread"
python -m pytest tests/test_threads.py -p no:cacheprovider -ra 2>&1 \
    | tee "$work/pytest.log" || status=1

reports=$(grep -l "WARNING: ThreadSanitizer" "$work"/reports/tsan* 2>/dev/null || true)
if [ -n "$reports" ]; then
    echo "tsan: ThreadSanitizer reports outside the interpreter's suppressions:" >&2
    for f in $reports; do
        cat "$f" >&2
    done
    status=1
else
    echo "tsan: no ThreadSanitizer report"
fi
exit $status
