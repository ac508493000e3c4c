#!/usr/bin/env bash
# The sources as MSVC's and clang-cl's Windows builds see them: every .cpp
# of src/ through clang's front end for the MSVC target
# (--target=x86_64-pc-windows-msvc: _MSC_VER 19.29, the oldest MSVC the
# build accepts, and no __GNUC__), -fsyntax-only, -Wall -Wextra -Wpedantic,
# against each interpreter's Windows headers.  No MSVC headers can be had
# here: the C runtime and the C++ library are MinGW-w64's (Debian's
# mingw-w64 headers and its GCC 12 libstdc++), made to parse under that
# target by msvc-prelude.h beside this script.  (Zig's libc++ wants clang 20.)
# A syntax check only: nothing is generated or linked.
#
#   tools/windows/msvc-syntax.sh [MINOR...]     (default: all seven)
#
# The headers are those tools/wheel-windows.sh fetched into its cache
# (QUELLMAR_WINDOWS_CACHE, default /opt/quellmar-cache/windows).  Any
# diagnostic fails the check.
set -euo pipefail
cd "$(dirname "$0")/../.."
CACHE=${QUELLMAR_WINDOWS_CACHE:-/opt/quellmar-cache/windows}
CLANG=${QUELLMAR_CLANG:-clang-16}
minors=("$@")
[ ${#minors[@]} -gt 0 ] || minors=(3.11 3.12 3.13 3.14 3.14t 3.15 3.15t)
gcc_inc=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++ | sort -V | tail -n1)
resource=$("$CLANG" -print-resource-dir)
mapfile -t sources < <(find src -name '*.cpp' | sort)
rc=0
for minor in "${minors[@]}"; do
    inc=$CACHE/include-${minor%t}
    [ -s "$inc/Python.h" ] || { echo "msvc-syntax: no headers in $inc (tools/wheel-windows.sh build $minor)" >&2; exit 1; }
    defs=(-DNDEBUG -DMS_WIN64)
    case $minor in *t) defs+=(-DPy_GIL_DISABLED=1) ;; esac
    log=$(mktemp)
    for f in "${sources[@]}"; do
        "$CLANG" --target=x86_64-pc-windows-msvc -fms-compatibility-version=19.29 -fsyntax-only \
            -std=c++20 -D__STRICT_ANSI__ "${defs[@]}" -Wall -Wextra -Wpedantic \
            -nostdinc -isystem "$gcc_inc" -isystem "$gcc_inc/x86_64-w64-mingw32" \
            -isystem "$resource/include" -isystem /usr/share/mingw-w64/include \
            -include tools/windows/msvc-prelude.h -isystem "$inc" -I src "$f" >>"$log" 2>&1 || true
    done
    if [ -s "$log" ]; then
        echo "msvc-syntax: CPython $minor headers: diagnostics" >&2
        cat "$log" >&2
        rc=1
    else
        echo "msvc-syntax: CPython $minor ($(head -n1 "$inc/SOURCE") headers): ${#sources[@]} sources, no diagnostic"
    fi
    rm -f "$log"
done
exit $rc
