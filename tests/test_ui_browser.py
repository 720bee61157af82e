"""vesk ui in a real browser (headless Chromium): the list, a call tree, a call's values, search,
the timeline, and a recorded string that holds markup."""

import os
import shutil

import pytest

from ui_trace import INJECTION, RAISED, Served, record

webdriver = pytest.importorskip("selenium.webdriver")

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(not (CHROMIUM and DRIVER), reason="needs Debian's chromium and chromium-driver")


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    from selenium.webdriver.chrome.service import Service

    served = Served(record(tmp_path_factory.mktemp("browser")))
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
    rows = wait(page, lambda: page.find_elements(by, "#traces tbody tr"))
    assert len(rows) == 1 and "vesk run prog.py" in rows[0].text
    page.find_element(by, "#filter").send_keys("no such trace")
    assert not page.find_elements(by, "#traces tbody tr")
    page.find_element(by, "#filter").clear()
    page.find_element(by, "#filter").send_keys("prog")
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
    wait(page, lambda: "Arguments" in details.text.title() and "Reading" not in details.text)
    assert "from __main__.main at line 26" in details.text
    arguments = dict((tr.find_element(by, "th").text, tr.find_element(by, "td").text)
                     for tr in details.find_elements(by, "table.vars tr"))
    assert arguments["n"] == "4"
    assert details.find_element(by, "pre.ret").text == "4"
    # The arrows: open the selected call, and go to its first call.
    keys = pytest.importorskip("selenium.webdriver.common.keys").Keys
    webdriver.ActionChains(page).send_keys(keys.ARROW_RIGHT).perform()
    wait(page, lambda: row_named(page, "__main__.fails"))
    webdriver.ActionChains(page).send_keys(keys.ARROW_DOWN).perform()
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
