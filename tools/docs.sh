#!/usr/bin/env bash
# The documentation site, built and checked in a browser:
#
#   tools/docs.sh PYTHON WORKDIR
#
# In a fresh virtual environment in WORKDIR (PYTHON: CPython 3.11 or newer)
# it installs the module with the `docs` extra (the module's own build tree
# in WORKDIR, apart from other builds of this checkout), builds the site from
# scratch as README.md's "Documentation" says, with warnings as errors and
# every cross-reference checked (sphinx -W -n --keep-going; the gallery runs
# examples/*.py and draws their figures), then checks it in headless
# Chromium: tools/check_docs.py serves docs/_build/html on 127.0.0.1 and
# checks the landing page, a guide page, an API page and a gallery page,
# the search and the API inventory; screenshots go to
# docs/_build/screenshots/.  Chromium and its driver are Debian's `chromium`
# and `chromium-driver`, installed here when missing (nothing downloads a
# browser).  The guide's code blocks and the API entries against __all__
# are checked by the test suite (tests/test_examples_in_guide.py).
set -euo pipefail

py=${1:?usage: tools/docs.sh PYTHON WORKDIR}
work=${2:?usage: tools/docs.sh PYTHON WORKDIR}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$work"
work=$(cd "$work" && pwd)
start=$SECONDS

missing=()
for p in chromium chromium-driver; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "docs: installing ${missing[*]}"
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

"$py" -m venv "$work/venv"
# shellcheck disable=SC1091
source "$work/venv/bin/activate"
export PIP_DISABLE_PIP_VERSION_CHECK=1
python -m pip install -q -C build-dir="$work/build" "$root[docs]"
installed=$SECONDS
echo "docs: module and docs extra installed ($((installed - start)) s)"

cd "$root"
rm -rf docs/_build docs/auto_examples docs/sg_execution_times.rst
python -m sphinx -W -n --keep-going -q -b html docs docs/_build/html
built=$SECONDS
echo "docs: site built, no warning ($((built - installed)) s)"

python tools/check_docs.py docs/_build/html --screenshots docs/_build/screenshots
echo "docs: browser check passed ($((SECONDS - built)) s); build and check $((SECONDS - installed)) s"
