#!/usr/bin/env bash
# Provides the CPython interpreters that CI tests and no distribution of this
# machine ships, each cached in a fixed prefix and built only when that prefix
# does not already hold a working one:
#
#   3.14        /opt/py314/bin/python3.14         (GIL build)
#   3.14t       /opt/py314t/bin/python3.14t       (free-threaded, --disable-gil)
#   3.14t-tsan  /opt/py314t-tsan/bin/python3.14t  (free-threaded, built by clang
#               with --with-thread-sanitizer; the interpreter's own suppression
#               files are installed beside it, in share/tsan/)
#   3.15        /opt/py315/bin/python3.15         (GIL build)
#   3.15t       /opt/py315t/bin/python3.15t       (free-threaded, --disable-gil)
#
#   tools/provision-python.sh [FLAVOUR...]      (default: 3.14 3.14t)
#
# Prints one line "FLAVOUR PATH" per interpreter on standard output; progress
# and build logs go to standard error and to the cache directory.  Exits
# non-zero when any of them cannot be had.
#
# The source is the upstream tarball that Debian's archive keeps beside its
# python3.14 or python3.15 package; the archive's address is read from this
# machine's own apt sources at run time.  3.14 is pinned.  For 3.15 the newest
# source the archive holds is taken: the final release
# (python3.15_3.15.0.orig.tar.xz) once it is there, else the newest release
# candidate; a cached 3.15 is rebuilt when a newer one appears, and used as it
# is when the archive cannot be reached.  Each build takes about 5 minutes on
# 2 cores (the ThreadSanitizer build about 8).
#
# Environment: QUELLMAR_CPYTHON_VERSION (3.14; default 3.14.7),
# QUELLMAR_CPYTHON315_VERSION (3.15, as the archive spells it, e.g. 3.15.0~rc2;
# default: the newest the archive holds),
# QUELLMAR_CPYTHON_CACHE (source and build trees; default /opt/quellmar-cpython),
# QUELLMAR_PY314_PREFIX, QUELLMAR_PY314T_PREFIX, QUELLMAR_PY314T_TSAN_PREFIX,
# QUELLMAR_PY315_PREFIX, QUELLMAR_PY315T_PREFIX,
# QUELLMAR_BUILD_JOBS (default 2).
set -euo pipefail

version314=${QUELLMAR_CPYTHON_VERSION:-3.14.7}
version315=${QUELLMAR_CPYTHON315_VERSION:-}   # resolved from the archive when empty
cache=${QUELLMAR_CPYTHON_CACHE:-/opt/quellmar-cpython}
jobs=${QUELLMAR_BUILD_JOBS:-2}
apt_sources=/etc/apt/sources.list.d/debian.sources

flavours=("$@")
[ ${#flavours[@]} -gt 0 ] || flavours=(3.14 3.14t)

log() { echo "provision: $*" >&2; }

prefix_of() {
    case $1 in
        3.14) echo "${QUELLMAR_PY314_PREFIX:-/opt/py314}" ;;
        3.14t) echo "${QUELLMAR_PY314T_PREFIX:-/opt/py314t}" ;;
        3.14t-tsan) echo "${QUELLMAR_PY314T_TSAN_PREFIX:-/opt/py314t-tsan}" ;;
        3.15) echo "${QUELLMAR_PY315_PREFIX:-/opt/py315}" ;;
        3.15t) echo "${QUELLMAR_PY315T_PREFIX:-/opt/py315t}" ;;
        *) log "unknown flavour $1 (3.14, 3.14t, 3.14t-tsan, 3.15 or 3.15t)"; return 1 ;;
    esac
}

minor_of() { echo "${1:0:4}"; }  # 3.14t-tsan -> 3.14

exe_of() {  # the interpreter a prefix holds
    local minor
    minor=$(minor_of "$1")
    case $1 in
        *t*) echo "$(prefix_of "$1")/bin/python${minor}t" ;;
        *) echo "$(prefix_of "$1")/bin/python$minor" ;;
    esac
}

archive_url() {  # the pool directory of the python3.X source package
    local archive
    archive=$(sed -n 's/^URIs:[[:space:]]*//p' "$apt_sources" 2>/dev/null | head -n1 | awk '{print $1}')
    if [ -z "$archive" ]; then
        log "no archive address in $apt_sources"
        return 1
    fi
    echo "${archive%/}/pool/main/p/python$1"
}

# The newest 3.15 source the archive holds, as the archive spells its version
# (3.15.0, 3.15.0~rc2): from the pool directory's listing where the mirror
# gives one, else by asking for the final release's name first and then for
# the release candidates, newest first.  Prints nothing when none answers.
newest_315() {
    local pool listing v
    pool=$(archive_url 3.15) || return 0
    if listing=$(curl -sS --fail -m 60 "$pool/" 2>/dev/null); then
        v=$(grep -o 'python3\.15_3\.15\.[0-9][^"<>/]*\.orig\.tar\.xz' <<<"$listing" \
            | sed 's/^python3\.15_//; s/\.orig\.tar\.xz$//; s/%7[Ee]/~/' | sort -uV | tail -n1)
        # sort -V ranks 3.15.0 before 3.15.0~rc2; a final release wins
        if [ -n "$v" ]; then
            local final
            final=$(grep -o 'python3\.15_3\.15\.[0-9]*\.orig\.tar\.xz' <<<"$listing" \
                | sed 's/^python3\.15_//; s/\.orig\.tar\.xz$//' | sort -uV | tail -n1)
            echo "${final:-$v}"
            return 0
        fi
    fi
    for v in 3.15.0 3.15.0~rc4 3.15.0~rc3 3.15.0~rc2 3.15.0~rc1; do
        if curl -sS --fail -m 60 -o /dev/null -I "$pool/python3.15_${v/\~/%7E}.orig.tar.xz" 2>/dev/null; then
            echo "$v"
            return 0
        fi
    done
}

# The source version a flavour is built from (the archive's spelling).
version_of() {
    case $1 in
        3.14*) echo "$version314" ;;
        3.15*) echo "$version315" ;;
    esac
}

# A prefix counts as cached when its interpreter runs, is the wanted version
# and kind, has its headers (the module is built against them), and has the
# standard modules that pip and venv need.
# An empty version accepts any (the archive could not be reached).
usable() {
    local flavour=$1 version=$2 exe
    exe=$(exe_of "$flavour")
    [ -x "$exe" ] || return 1
    version=${version/\~/}                # 3.15.0~rc2 is Python's 3.15.0rc2
    local want_ft=0 want_tsan=0
    case $flavour in *t*) want_ft=1 ;; esac
    case $flavour in *tsan) want_tsan=1 ;; esac
    QUELLMAR_WANT_FT=$want_ft QUELLMAR_WANT_TSAN=$want_tsan QUELLMAR_WANT_VERSION=$version QUELLMAR_WANT_MINOR=$(minor_of "$flavour") \
    TSAN_OPTIONS="${TSAN_OPTIONS:-} report_bugs=0" "$exe" - <<'EOF' >/dev/null 2>&1
import os, platform, sys, sysconfig
want = os.environ["QUELLMAR_WANT_VERSION"]
assert platform.python_version() == want if want else \
    "%d.%d" % sys.version_info[:2] == os.environ["QUELLMAR_WANT_MINOR"]
assert bool(sysconfig.get_config_var("Py_GIL_DISABLED")) == (os.environ["QUELLMAR_WANT_FT"] == "1")
tsan = "--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or "")
assert tsan == (os.environ["QUELLMAR_WANT_TSAN"] == "1")
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
import ssl, venv, ensurepip, zlib, bz2, lzma, sqlite3, ctypes  # noqa: F401
EOF
    if [ $want_tsan = 1 ]; then
        [ -s "$(prefix_of "$flavour")/share/tsan/suppressions_free_threading.txt" ] || return 1
    fi
}

need_root_packages() {  # Debian build dependencies, installed when missing
    local wanted=(build-essential libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
                  libsqlite3-dev libreadline-dev xz-utils curl ca-certificates "$@")
    local missing=() p
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" != 0 ]; then
        log "missing build dependencies (${missing[*]}) and not root to install them"
        return 1
    fi
    log "installing ${missing[*]}"
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

source_tree() {  # unpacks a version's tarball once; prints the tree's path
    local version=$1 minor=${1%.*}
    local tarball="python${minor}_${version}.orig.tar.xz" tree="$cache/Python-$version"
    mkdir -p "$cache"
    if [ ! -x "$tree/configure" ]; then
        if [ ! -s "$cache/$tarball" ]; then
            local pool
            pool=$(archive_url "$minor") || return 1
            log "fetching $tarball"
            curl -sS --fail --retry 3 -m 900 -o "$cache/$tarball.part" \
                "$pool/${tarball/\~/%7E}" >&2
            mv "$cache/$tarball.part" "$cache/$tarball"
        fi
        rm -rf "$tree.part"
        mkdir -p "$tree.part"
        tar -xJf "$cache/$tarball" -C "$tree.part" --strip-components=1
        mv "$tree.part" "$tree"
    fi
    echo "$tree"
}

build() {
    local flavour=$1 version=$2 prefix tree dir
    prefix=$(prefix_of "$flavour")
    local configure_args=(--prefix="$prefix" --with-ensurepip=install)
    local env_args=()
    case $flavour in
        3.14t | 3.15t) configure_args+=(--disable-gil) ;;
        3.14t-tsan)
            # clang's runtime, linked into the interpreter; the module built
            # later with -fsanitize=thread resolves against it.
            # (without the interpreter's own test package: byte-compiling it
            # under the sanitizer would take longer than the build)
            configure_args+=(--disable-gil --with-thread-sanitizer --disable-test-modules)
            env_args=(CC="$(tsan_cc)" CXX="$(tsan_cxx)")
            ;;
    esac
    case $flavour in
        3.14t-tsan) need_root_packages clang-16 libclang-rt-16-dev ;;
        *) need_root_packages ;;
    esac
    tree=$(source_tree "$version")
    dir="$cache/build-$flavour"
    rm -rf "$dir"
    mkdir -p "$dir"
    log "building CPython $version ($flavour) into $prefix; logs in $dir"
    local start=$SECONDS
    (
        cd "$dir"
        if [ "$flavour" = 3.14t-tsan ]; then
            # ensurepip and the test of the build run under the sanitizer:
            # the interpreter's own suppressions, reports not fatal here.
            export TSAN_OPTIONS="suppressions=$tree/Tools/tsan/suppressions_free_threading.txt exitcode=0 report_bugs=0"
        fi
        env "${env_args[@]}" "$tree/configure" "${configure_args[@]}" >configure.log 2>&1
        make -j"$jobs" >make.log 2>&1
        # compileall's process pool hangs under the sanitizer: one process
        make install COMPILEALL_OPTS=-j1 >install.log 2>&1
    ) || { log "build of $flavour failed; see $dir"; tail -n 30 "$dir"/*.log >&2 || true; return 1; }
    if [ "$flavour" = 3.14t-tsan ]; then
        mkdir -p "$prefix/share/tsan"
        cp "$tree"/Tools/tsan/suppressions*.txt "$prefix/share/tsan/"
    fi
    log "built $flavour in $((SECONDS - start)) s"
}

tsan_cc() { command -v clang-16 || command -v clang; }
tsan_cxx() { command -v clang++-16 || command -v clang++; }

if [ -z "$version315" ] && [[ " ${flavours[*]}" == *" 3.15"* ]]; then
    version315=$(newest_315)
    [ -n "$version315" ] && log "newest CPython 3.15 source in the archive: $version315"
fi

status=0
for flavour in "${flavours[@]}"; do
    prefix_of "$flavour" >/dev/null || { status=1; continue; }
    version=$(version_of "$flavour")
    if usable "$flavour" "$version"; then
        log "$flavour cached: $(exe_of "$flavour")"
    elif [ -z "$version" ]; then
        log "no CPython $(minor_of "$flavour") source in the archive and none cached ($flavour)"
        status=1
        continue
    elif ! build "$flavour" "$version" || ! usable "$flavour" "$version"; then
        log "CPython $version ($flavour) cannot be had"
        status=1
        continue
    fi
    echo "$flavour $(exe_of "$flavour")"
done
exit $status
