"""Check the built documentation site in a real browser.

    python tools/check_docs.py [SITE] [--screenshots DIR]

SITE is the built HTML (default docs/_build/html).  The site is served by
`python -m http.server` on 127.0.0.1 and opened in headless Chromium from
Debian's packages (`chromium` and `chromium-driver`, driven by selenium; no
browser or driver is downloaded).  On the landing page, a guide page, an API
page and a gallery page it checks that:

- the page loads without a JavaScript console error;
- every image is loaded (naturalWidth > 0);
- every internal link resolves, and its anchor, if any, names an element of
  the target page;

and that the site's search for `run_level_pool_routing` finds its API entry.
It also checks that every public class, function and attribute of the
module's submodules has an entry in the site's object inventory.  One
screenshot per page (and one of the search) goes to DIR (default
docs/_build/screenshots).  Exits non-zero on any failure.
"""

import argparse
import contextlib
import html.parser
import os
import pathlib
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
import zlib

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = {
    "landing": "index.html",
    "guide": "guide/reservoir.html",
    "api": "api/reservoir.html",
    "gallery": "auto_examples/calibration.html",
}
SEARCH_TERM = "run_level_pool_routing"
SEARCH_TARGET = "api/reservoir.html#quellmar.reservoir.run_level_pool_routing"
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


class Ids(html.parser.HTMLParser):
    """The id and name attributes of an HTML page: what an anchor can name."""

    def __init__(self):
        super().__init__()
        self.ids = set()

    def handle_starttag(self, tag, attrs):
        for key, value in attrs:
            if key == "id" or (key == "name" and tag == "a"):
                self.ids.add(value)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def serve(site):
    port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1",
                               "--directory", str(site)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    base = f"http://127.0.0.1:{port}/"
    try:
        for _ in range(100):
            try:
                urllib.request.urlopen(base, timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)
        else:
            raise SystemExit("check_docs: the HTTP server did not start")
        yield base
    finally:
        server.terminate()
        server.wait(10)


def browser():
    os.environ.setdefault("SE_OFFLINE", "true")  # selenium must not fetch a driver
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.path.exists(path):
            raise SystemExit(f"check_docs: {path} is missing: apt-get install chromium chromium-driver")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 "--window-size=1366,900", "--no-first-run", "--disable-extensions"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


def fetch(url, cache):
    """(status, ids) of a page of the site, fetched once."""
    if url not in cache:
        try:
            with urllib.request.urlopen(url, timeout=10) as response:
                body = response.read()
                status = response.status
        except urllib.error.HTTPError as error:
            body, status = b"", error.code
        parser = Ids()
        if url.endswith(".html") or url.endswith("/"):
            parser.feed(body.decode("utf-8", "replace"))
        cache[url] = (status, parser.ids)
    return cache[url]


def wait_loaded(driver, timeout=20):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if driver.execute_script("return document.readyState") == "complete":
            return
        time.sleep(0.1)
    raise TimeoutError("page did not finish loading")


def check_page(driver, base, page, cache):
    problems = []
    driver.get(base + page)
    wait_loaded(driver)
    # Lazy images load once scrolled into view: scroll through, then wait.
    driver.execute_script("document.querySelectorAll('img').forEach(i => { i.loading = 'eager'; });"
                          "window.scrollTo(0, document.body.scrollHeight);")
    end = time.monotonic() + 15
    while time.monotonic() < end and not driver.execute_script(
            "return Array.from(document.images).every(i => i.complete);"):
        time.sleep(0.1)
    driver.execute_script("window.scrollTo(0, 0);")
    images = driver.execute_script(
        "return Array.from(document.images).map(i => [i.currentSrc || i.src, i.naturalWidth]);")
    for src, width in images:
        if not width:
            problems.append(f"image not loaded: {src}")
    links = driver.execute_script(
        "return Array.from(document.querySelectorAll('a[href]')).map(a => a.href);")
    internal = 0
    for href in sorted(set(links)):
        url, _, anchor = href.partition("#")
        if not url.startswith(base):
            continue  # another site, or mailto:
        internal += 1
        status, ids = fetch(url, cache)
        if status != 200:
            problems.append(f"link {href}: HTTP {status}")
        elif anchor and urllib.parse.unquote(anchor) not in ids:
            problems.append(f"link {href}: no element with id {anchor!r}")
    for entry in driver.get_log("browser"):
        if entry["level"] == "SEVERE":
            problems.append(f"console: {entry['message']}")
    return problems, len(images), internal


def check_search(driver, base, timeout=30):
    driver.get(base + "search.html?q=" + urllib.parse.quote(SEARCH_TERM))
    wait_loaded(driver)
    end = time.monotonic() + timeout
    hrefs = []
    while time.monotonic() < end:
        hrefs = driver.execute_script(
            "return Array.from(document.querySelectorAll('#search-results a')).map(a => a.href);")
        if any(h.endswith(SEARCH_TARGET) for h in hrefs):
            break
        time.sleep(0.2)
    problems = [] if any(h.endswith(SEARCH_TARGET) for h in hrefs) else [
        f"search for {SEARCH_TERM!r} did not find {SEARCH_TARGET} (found {hrefs[:5]})"]
    problems += [f"console: {e['message']}" for e in driver.get_log("browser") if e["level"] == "SEVERE"]
    return problems, len(hrefs)


def inventory_names(site):
    """The Python objects of the site's objects.inv, by role."""
    data = (site / "objects.inv").read_bytes()
    lines = data.split(b"\n", 4)
    names = {}
    for line in zlib.decompress(lines[4]).decode().splitlines():
        name, role = line.split(" ", 2)[:2]
        names.setdefault(role, set()).add(name)
    return names


def check_inventory(site):
    """Every public name of the submodules' __all__, and every public method
    and attribute of their classes, has an entry."""
    import inspect

    import quellmar

    names = inventory_names(site)
    every = set().union(*names.values())
    problems, count = [], 0

    def walk(module, dotted):
        nonlocal count
        for name in module.__all__:
            obj, full = getattr(module, name), f"{dotted}.{name}"
            count += 1
            if full not in every:
                problems.append(f"no API entry for {full}")
            if inspect.ismodule(obj):
                walk(obj, full)
            elif isinstance(obj, type):
                for member in vars(obj):
                    if not member.startswith("_"):
                        count += 1
                        if f"{full}.{member}" not in every:
                            problems.append(f"no API entry for {full}.{member}")

    walk(quellmar, "quellmar")
    return problems, count


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("site", nargs="?", default=str(ROOT / "docs" / "_build" / "html"))
    parser.add_argument("--screenshots", default=str(ROOT / "docs" / "_build" / "screenshots"))
    args = parser.parse_args(argv)
    site, shots = pathlib.Path(args.site), pathlib.Path(args.screenshots)
    shots.mkdir(parents=True, exist_ok=True)
    failed = False

    problems, count = check_inventory(site)
    print(f"API inventory: {count} public names and members, {len(problems)} without an entry")
    for p in problems:
        print(f"  FAIL {p}")
    failed |= bool(problems)

    cache = {}
    with serve(site) as base:
        driver = browser()
        try:
            for label, page in PAGES.items():
                problems, images, links = check_page(driver, base, page, cache)
                driver.save_screenshot(str(shots / f"{label}.png"))
                verdict = "ok" if not problems else "FAILED"
                print(f"{label:8} {page:34} {images:3} images, {links:3} internal links: {verdict}")
                for p in problems:
                    print(f"  FAIL {p}")
                failed |= bool(problems)
            problems, found = check_search(driver, base)
            driver.save_screenshot(str(shots / "search.png"))
            print(f"search   {SEARCH_TERM!r}: {found} results, "
                  f"{'finds ' + SEARCH_TARGET if not problems else 'FAILED'}")
            for p in problems:
                print(f"  FAIL {p}")
            failed |= bool(problems)
        finally:
            driver.quit()
    print(f"screenshots in {shots}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
