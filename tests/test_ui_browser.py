"""vesk ui in a real browser (headless Chromium): the list, a call tree, a call's values, search,
the timeline, where the time goes, and a recorded string that holds markup."""

import os
import shutil
import sys

import pytest

from ui_trace import INJECTION, LEAD, RAISED, Served, record, record_tests

webdriver = pytest.importorskip("selenium.webdriver")
Keys = pytest.importorskip("selenium.webdriver.common.keys").Keys

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(not (CHROMIUM and DRIVER), reason="needs Debian's chromium and chromium-driver")


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    from selenium.webdriver.chrome.service import Service

    folder = tmp_path_factory.mktemp("browser")
    record(folder)
    served = Served(record_tests(folder))
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,900"):
        options.add_argument(argument)
    options.binary_location = CHROMIUM
    # The browser is not what is tested: it runs without the sanitizer runtime that a
    # sanitizer run preloads into every process.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    browser = webdriver.Chrome(options=options, service=Service(DRIVER, env=env))
    browser.get(served.url)
    browser.vesk_folder, browser.vesk_url = folder, served.url
    yield browser
    browser.quit()
    served.stop()


def wait(browser, condition):
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
    from selenium.webdriver.support.ui import WebDriverWait

    # The page replaces rows as it loads them: a row found a moment ago may be gone.
    return WebDriverWait(browser, 10, poll_frequency=0.05, ignored_exceptions=(NoSuchElementException, StaleElementReferenceException)).until(
        lambda _: condition())


def row_named(browser, name, thread=0):
    rows = browser.find_elements("css selector", f'.thread-tree[data-thread="{thread}"] .row')
    return next((row for row in rows if row.find_elements(
        "css selector", ".name") and row.find_element("css selector", ".name").text == name), None)


def test_viewer(page):
    by = "css selector"
    # The list: the recorded run, filtered by text.
    page.get(page.current_url.split("#")[0] + "#/")
    rows = wait(page, lambda: page.find_elements(by, "#traces tbody tr"))
    assert len(rows) == 5 and "vesk run prog.py" in rows[-1].text
    page.find_element(by, "#filter").send_keys("no such trace")
    assert not page.find_elements(by, "#traces tbody tr")
    page.find_element(by, "#filter").send_keys(Keys.CONTROL + "a", Keys.DELETE)
    page.find_element(by, "#filter").send_keys("prog")
    wait(page, lambda: len(page.find_elements(by, "#traces tbody tr")) == 1)
    page.find_element(by, "#traces tbody a").click()

    # The trees: a thread each, the outermost call open.
    wait(page, lambda: len(page.find_elements(by, ".thread-tree")) == 2)
    assert [h.find_element(by, ".thread-name").text for h in page.find_elements(by, ".thread-tree h2")] == ["MainThread", "helper"]
    main = wait(page, lambda: row_named(page, "__main__.main"))
    main.find_element(by, ".toggle").click()
    work = wait(page, lambda: row_named(page, "__main__.work"))
    assert "(n=4)" in work.text and "-> 4" in work.text
    work.click()
    details = page.find_element(by, "#details")
    # Until the click's answer comes, the pane still shows the call shown before.
    wait(page, lambda: details.find_element(by, ".call-title").text == "__main__.work"
         and "Arguments" in details.text.title() and "Reading" not in details.text)
    assert "from __main__.main at line 31" in details.text
    arguments = dict((tr.find_element(by, "th").text, tr.find_element(by, "td").text)
                     for tr in details.find_elements(by, "table.vars tr"))
    assert arguments["n"] == "4"
    assert details.find_element(by, "pre.ret").text == "4"
    # The arrows: open the selected call, and go to its first call.
    webdriver.ActionChains(page).send_keys(Keys.ARROW_RIGHT).perform()
    wait(page, lambda: row_named(page, "__main__.fails"))
    webdriver.ActionChains(page).send_keys(Keys.ARROW_DOWN).perform()
    wait(page, lambda: page.find_element(by, ".row.selected .name").text == "__main__.fails")

    # Search: each match in turn, opened where it is.
    page.find_element(by, "#search-text").send_keys("fails\n")
    wait(page, lambda: page.find_element(by, "#search-status").text == "1 of 2")
    selected = wait(page, lambda: page.find_element(by, ".row.selected"))
    assert selected.find_element(by, ".name").text == "__main__.fails"
    assert "!! " + RAISED in selected.text
    page.find_element(by, "#search-next").click()
    wait(page, lambda: page.find_element(by, "#search-status").text == "2 of 2")
    wait(page, lambda: "(value=2)" in page.find_element(by, ".row.selected").text)

    # The timeline: a flame chart per thread; a click on a box shows that call in the tree.
    page.find_element(by, "#tab-timeline").click()
    canvases = wait(page, lambda: page.find_elements(by, "canvas.flame"))
    assert len(canvases) == 2
    wait(page, lambda: canvases[0].size["height"] > 40)
    webdriver.ActionChains(page).move_to_element_with_offset(canvases[0], -canvases[0].size["width"] // 2 + 5, -canvases[0].size["height"] // 2 + 8).click().perform()
    wait(page, lambda: page.find_elements(by, ".row.selected") and
         page.find_element(by, ".row.selected .name").text == "__main__.<module>")

    # A recorded string holding markup is shown as text, and runs nothing.
    shape = wait(page, lambda: row_named(page, "__main__.shape"))
    assert repr(INJECTION) in shape.text
    shape.click()
    wait(page, lambda: repr(INJECTION) in page.find_element(by, "#details").text)
    assert page.execute_script("return window.pwned") is None
    assert not page.find_elements(by, "#main script, #main img")


def go(page, hash_):
    page.get(page.current_url.split("#")[0] + hash_)


def all_loaded(texts):
    return texts if texts and not any("…" in text for text in texts) else None


def trace_ids(page):
    go(page, "#/")
    links = wait(page, lambda: page.find_elements("css selector", "#traces tbody a"))
    return {a.text: a.get_attribute("href").rpartition("/")[2] for a in links}


def test_list_groups_a_session_and_tells_durations(page):
    by = "css selector"
    ids = trace_ids(page)
    (heading,) = page.find_elements(by, "#traces tr.session")
    assert "pytest session · 3 tests · 1 failed · process " in heading.text
    tests = page.find_elements(by, "#traces tr.in-session a.test")
    assert sorted(a.text for a in tests) == [f"test_recorded.py::test_{n}" for n in ("fails", "ok", "slow")]
    # Durations come in one by one: wait for every cell, not the first.
    durations = wait(page, lambda: all_loaded([d.text for d in page.find_elements(by, "td.duration")]))
    assert len(durations) == 4 and "?" not in durations
    heading.click()  # folds the session away
    wait(page, lambda: not page.find_elements(by, "#traces tr.in-session"))
    assert len(page.find_elements(by, "#traces tbody tr")) == 2
    # A test's trace is called by its test, not by pytest.
    go(page, "#/trace/" + ids["test_recorded.py::test_fails"])
    wait(page, lambda: page.find_element(by, "#trace-title").text == "test_recorded.py::test_fails")
    assert page.find_element(by, "#crumbs .badge.failed").text == "failed"
    assert page.title == "vesk — test_recorded.py::test_fails"


def test_a_failed_call_shows_its_exception_however_long_its_arguments(page):
    by = "css selector"
    go(page, "#/trace/" + trace_ids(page)["test_recorded.py::test_fails"])
    wait(page, lambda: row_named(page, "test_recorded.test_fails")).find_element(by, ".toggle").click()
    check = wait(page, lambda: row_named(page, "test_recorded.check"))
    outcome = check.find_element(by, ".outcome.raised")
    assert outcome.text.startswith("!! AssertionError" if sys.version_info >= (3, 12) else "!! exception")
    pane = page.find_element(by, "#tree").rect
    seen = outcome.rect
    # Within the pane, and wide enough to read, however long what comes before.
    assert seen["x"] + seen["width"] <= pane["x"] + pane["width"] and seen["width"] > 80
    assert "y" * 100 in check.find_element(by, ".args").get_attribute("title")


def timeline(page):
    return page.execute_script("const t = vesk.current.timeline; return t && {low: t.low, high: t.high, "
                               "viewLow: t.viewLow, viewHigh: t.viewHigh, labels: t.labels, width: t.width()}")


def test_timeline_opens_where_the_calls_are(page):
    by = "css selector"
    go(page, "#/trace/" + trace_ids(page)["vesk run prog.py"] + "/timeline")
    wait(page, lambda: page.find_elements(by, "canvas.flame"))
    shown = wait(page, lambda: timeline(page))
    # Not the wait before the calls, which is most of the trace.
    assert shown["viewLow"] > shown["low"] + 0.9 * LEAD and shown["viewHigh"] - shown["viewLow"] < 0.5 * (shown["high"] - shown["low"])
    # The strip of the whole trace: a click takes the window there, as wide as it was.
    strip = page.find_element(by, "canvas.overview")
    webdriver.ActionChains(page).move_to_element_with_offset(strip, -strip.size["width"] // 4, 0).click().perform()
    whole, span = shown["high"] - shown["low"], shown["viewHigh"] - shown["viewLow"]
    moved = wait(page, lambda: (lambda t: t if t["viewLow"] != shown["viewLow"] else None)(timeline(page)))
    assert abs((moved["viewLow"] + moved["viewHigh"]) / 2 - (shown["low"] + whole / 4)) < 3 * whole / moved["width"]
    assert moved["viewHigh"] - moved["viewLow"] == pytest.approx(span)
    page.find_element(by, "#focus-calls").click()
    wait(page, lambda: timeline(page)["viewLow"] == shown["viewLow"])
    # The labels of the axis differ at every zoom, down to a few microseconds.
    for span in (whole, 1.0, 0.2, 3e-3, 2.5e-4, 4e-5, 3e-6):
        page.execute_script("const t = vesk.current.timeline; t.zoomTo(t.low + arguments[0], t.low + arguments[0] + arguments[1]);",
                            0.8 * LEAD if span < 1 else 0, span)
        labels = timeline(page)["labels"]
        assert len(labels) >= 3 and len(set(labels)) == len(labels), (span, labels)


def test_timeline_marks_say_what_they_mark(page):
    by = "css selector"
    go(page, "#/trace/" + trace_ids(page)["test_recorded.py::test_fails"] + "/timeline")
    canvas = wait(page, lambda: page.find_elements(by, "canvas.flame"))[0]
    wait(page, lambda: timeline(page))
    page.find_element(by, "#timeline .toolbar button").click()  # the whole trace: its test's start and end
    x = wait(page, lambda: page.execute_script(
        "const t = vesk.current.timeline; const m = t.lanes[0].marks.find((m) => m[2] === 'end_test');"
        "return m && t.viewLow === t.low && Math.min(Math.max(Math.round(t.x(m[1])), 1), t.width() - 2);"))
    webdriver.ActionChains(page).move_to_element_with_offset(canvas, x - canvas.size["width"] // 2, 0).perform()
    tip = page.find_element(by, "#timeline .tip")
    wait(page, lambda: tip.is_displayed())
    assert tip.text.startswith("end_test: nodeid=test_recorded.py::test_fails") and "outcome=failed" in tip.text


def profile(page):
    return page.execute_script(
        "const p = vesk.current.profile; return p && p.boxes && p.answer && {root: p.answer.root, width: p.width(),"
        "boxes: p.boxes.map((b) => ({label: p.label(b.path), x0: b.x0, x1: b.x1, depth: b.depth}))}")


def test_where_the_time_goes(page):
    by = "css selector"
    go(page, "#/trace/" + trace_ids(page)["vesk run prog.py"])
    page.find_element(by, "#tab-profile").click()
    shown = wait(page, lambda: profile(page))
    labels = {b["label"] for b in shown["boxes"]}
    assert {"all threads", "__main__.<module>", "__main__.main", "__main__.work", "__main__.shape"} <= labels
    # The table of functions, as `vesk stats` has it, sorted by a click on a heading.
    names = [r.get_attribute("data-function") for r in page.find_elements(by, "#functions tbody tr")]
    assert set(names) == {"__main__.<module>", "__main__.main", "__main__.work", "__main__.shape", "__main__.fails"}
    page.find_element(by, '#functions th[data-sort="calls"]').click()
    wait(page, lambda: "sorted" in page.find_element(by, '#functions th[data-sort="calls"]').get_attribute("class"))
    calls = [int(r.find_elements(by, "td")[1].text) for r in page.find_elements(by, "#functions tbody tr")]
    assert calls == sorted(calls, reverse=True) and calls[0] == 3  # shape: once in main, once in each work
    # A click on a path focuses on it: it fills the width (the wait before main is most of the
    # module's time).
    main = next(b for b in shown["boxes"] if b["label"] == "__main__.main")
    assert not any(b["label"] == "__main__.fails" for b in shown["boxes"])
    canvas = page.find_element(by, "#icicle")
    x = (main["x0"] + main["x1"]) / 2 * shown["width"] - canvas.size["width"] / 2
    y = main["depth"] * 20 + 10 - canvas.size["height"] / 2
    webdriver.ActionChains(page).move_to_element_with_offset(canvas, int(x), int(y)).click().perform()
    focused = wait(page, lambda: (lambda p: p if p and p["root"] != shown["root"] else None)(profile(page)))
    assert focused["boxes"][0]["label"] == "__main__.main" and focused["boxes"][0]["x1"] == 1
    # Nothing under main that was drawn before is lost. Which of its shorter calls come in depends
    # on how long starting and joining its thread took, which a busy machine stretches.
    inside = {b["label"] for b in shown["boxes"]
              if b["depth"] > main["depth"] and main["x0"] <= b["x0"] and b["x1"] <= main["x1"]}
    assert inside <= {b["label"] for b in focused["boxes"]}
    assert page.find_element(by, "#profile-chain").text.split("›")[-1].strip() == "__main__.main"
    # One call's time, from the call tree.
    go(page, "#/trace/" + trace_ids(page)["vesk run prog.py"])
    wait(page, lambda: row_named(page, "__main__.main")).click()
    wait(page, lambda: page.find_element(by, "#details a.profile-call")).click()
    wait(page, lambda: page.find_element(by, "#profile-scope").get_attribute("value") == "call")
    call = wait(page, lambda: profile(page))
    assert [b["label"] for b in call["boxes"][:2]] == ["the call", "__main__.main"]


def test_a_call_written_as_a_test(page):
    by = "css selector"
    go(page, "#/trace/" + trace_ids(page)["vesk run prog.py"])
    wait(page, lambda: row_named(page, "__main__.main")).find_element(by, ".toggle").click()
    wait(page, lambda: row_named(page, "__main__.work")).click()
    wait(page, lambda: page.find_element(by, "#details .call-title").text == "__main__.work")
    page.find_element(by, "#details button.as-test").click()
    source = wait(page, lambda: page.find_element(by, "#details pre.test-source").text or None)
    assert "def test_work(kwargs, expected):" in source and "from prog import work" in source, source


ATTACK = """<!doctype html><script>
const target = "VIEWER" + "api/trace/TRACE/test";
new Image().src = target + "?thread=0&frame=FRAME";
fetch(target, {method: "POST", mode: "no-cors", body: '{"thread": "0", "frame": "FRAME"}'}).catch(() => {});
fetch(target, {method: "POST", headers: {"X-Vesk-Token": "guessed", "Content-Type": "application/json"},
               body: '{"thread": "0", "frame": "FRAME"}'}).catch(() => {});
fetch("VIEWER" + "api/traces").then((r) => r.text()).then((t) => { window.read = t; }, () => { window.read = "refused"; });
</script>"""


def test_a_page_of_another_site_cannot_make_the_viewer_write_a_test(page, tmp_path):
    import http.server
    import json
    import threading
    import time
    import urllib.request

    viewer = page.vesk_url
    with urllib.request.urlopen(viewer + "api/traces") as answer:
        (listed,) = [t for t in json.loads(answer.read()) if t["source"] == "vesk run prog.py"]
    base = f"{viewer}api/trace/{listed['id']}/"
    with urllib.request.urlopen(base + "search?q=work") as answer:
        hit = json.loads(answer.read())["matches"][0]
    with urllib.request.urlopen(f"{base}node?thread={hit['thread']}&node={hit['id']}&full=1") as answer:
        frame = json.loads(answer.read())["details"]["frame_id"]
    (tmp_path / "index.html").write_text(ATTACK.replace("VIEWER", viewer).replace("TRACE", listed["id"])
                                         .replace("FRAME", frame))
    class Page(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args):
            super().__init__(*args, directory=str(tmp_path))

        def log_message(self, *args):
            pass

    other = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
    threading.Thread(target=other.serve_forever, daemon=True).start()
    marker = page.vesk_folder / "imported-by"
    before = marker.read_text()
    try:
        # another site: another host name than the viewer's, on another port
        page.get(f"http://localhost:{other.server_address[1]}/index.html")
        assert wait(page, lambda: page.execute_script("return window.read")) == "refused"
        time.sleep(1)  # the image's and the posts' answers, had they been served
    finally:
        other.shutdown()
        page.get(viewer)
    assert marker.read_text() == before
