"""The page in a real headless Chromium against virtual supplies (Selenium, nothing downloaded)."""

import contextlib
import http.server
import re
import threading
import time

import pytest

pytest.importorskip("nicegui", reason="the panel extra is not installed")

from .conftest import CHROMEDRIVER
from .helpers import changes_sent

pytestmark = pytest.mark.browser

VALUE = re.compile(r"^\d+\.\d{3} [VAW]$")


@pytest.fixture(scope="module")
def driver(chromium_path):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    opts = webdriver.ChromeOptions()
    opts.binary_location = chromium_path
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000"):
        opts.add_argument(arg)
    drv = webdriver.Chrome(service=Service(CHROMEDRIVER), options=opts)
    drv.set_page_load_timeout(20)
    yield drv
    drv.quit()


def wait(drv, predicate, timeout=10.0, what="the page"):
    from selenium.webdriver.support.ui import WebDriverWait
    return WebDriverWait(drv, timeout, poll_frequency=0.05).until(lambda d: predicate(d), message=what)


def card_part(drv, sid, testid):
    from selenium.webdriver.common.by import By
    return drv.find_element(By.CSS_SELECTOR, f'[data-testid="supply-card"][data-supply-id="{sid}"] '
                                             f'[data-testid="{testid}"]')


def text_of(drv, sid, testid):
    try:
        return card_part(drv, sid, testid).text
    except Exception:   # (re)rendering
        return None


def open_panel(drv, panel, token=True):
    drv.get(panel.first_line if token else f"http://{panel.host}:{panel.port}/")
    wait(drv, lambda d: text_of(d, "s1", "connection-state") == "ok", what="the first reading")


def type_into(drv, sid, testid, text, clear=True):
    field = card_part(drv, sid, testid)
    if clear:
        field.clear()
    field.send_keys(text)


def test_readings_appear_and_the_token_leaves_the_address_bar(driver, bench):
    panel, supplies = bench
    open_panel(driver, panel)
    assert "token" not in driver.current_url
    assert panel.token not in driver.execute_script("return document.cookie")      # HttpOnly
    for sid in ("s1", "s2"):               # each supply's first reading comes in its own time
        for testid in ("reading-voltage", "reading-current", "reading-power", "setpoint-voltage",
                       "setpoint-current", "setpoint-ceiling"):
            wait(driver, lambda d: VALUE.match(text_of(d, sid, testid) or ""), what=f"{sid} {testid}")
    assert text_of(driver, "s1", "output-switch") in ("on", "off")
    marks = [len(s.exchanges) for s in supplies]
    driver.refresh()                                        # a reload (or a closed tab) changes nothing
    wait(driver, lambda d: text_of(d, "s2", "connection-state") == "ok", what="the reloaded page")
    assert [changes_sent(s, m) for s, m in zip(supplies, marks)] == [[], []]
    # nothing came from anywhere but the panel: it works on a lab network without internet
    loaded = driver.execute_script("return performance.getEntriesByType('resource').map(e => e.name)")
    assert loaded and all(url.startswith(f"http://{panel.host}:{panel.port}/") for url in loaded), loaded


def test_setpoint_typed_in_reaches_the_supply_and_comes_back(driver, bench):
    panel, (sup, _) = bench
    open_panel(driver, panel)
    type_into(driver, "s1", "setpoint-voltage", "2.5\n")
    wait(driver, lambda d: text_of(d, "s1", "setpoint-voltage") == "2.500 V", what="the read-back")
    assert sup.state.voltage_set_mv == 2500
    type_into(driver, "s1", "setpoint-ceiling", "4.5\n", clear=False)     # typed after the shown value
    wait(driver, lambda d: text_of(d, "s1", "setpoint-ceiling") == "4.500 V", what="the ceiling")
    assert sup.state.voltage_max_mv == 4500


def test_output_switch_asks_then_switches(driver, bench):
    panel, (sup, other) = bench
    open_panel(driver, panel)
    type_into(driver, "s1", "setpoint-current", "0.1\n")   # the standing 1 A is over the 0.5 A limit
    wait(driver, lambda d: text_of(d, "s1", "setpoint-current") == "0.100 A", what="the current limit")
    wait(driver, lambda d: text_of(d, "s1", "output-switch") == "off", what="output off")
    mark = len(sup.exchanges)
    card_part(driver, "s1", "output-switch").click()
    wait(driver, lambda d: d.switch_to.alert, what="a confirmation").dismiss()
    assert changes_sent(sup, mark) == []
    card_part(driver, "s1", "output-switch").click()
    alert = wait(driver, lambda d: d.switch_to.alert, what="a confirmation")
    assert "s1" in alert.text
    alert.accept()
    wait(driver, lambda d: text_of(d, "s1", "output-switch") == "on", what="output on")
    assert sup.state.output_on and changes_sent(sup, mark)[-1] == 0x21
    card_part(driver, "s1", "output-switch").click()          # off needs no confirmation
    wait(driver, lambda d: text_of(d, "s1", "output-switch") == "off", what="output off again")
    assert not sup.state.output_on


def test_value_over_the_limit_is_refused_on_the_page(driver, bench):
    panel, supplies = bench
    open_panel(driver, panel)
    marks = [len(s.exchanges) for s in supplies]
    type_into(driver, "s2", "setpoint-voltage", "9\n")
    wait(driver, lambda d: "over the limit 5.000 V" in (text_of(d, "s2", "card-message") or ""),
         what="the refusal")
    assert text_of(driver, "s2", "setpoint-voltage") == "5.000 V"     # the field shows the supply again
    assert [changes_sent(s, m) for s, m in zip(supplies, marks)] == [[], []]


def test_unplugged_supply_shows_lost_and_recovers(driver, bench):
    panel, (_, sup) = bench
    open_panel(driver, panel)
    sup.unplug()
    try:
        wait(driver, lambda d: text_of(d, "s2", "connection-state") == "port lost", what="the lost state")
        assert text_of(driver, "s1", "connection-state") == "ok"      # the rest of the bench goes on
        wait(driver, lambda d: card_stale(d, "s2"), what="the lost card to grey out")
        assert not card_stale(driver, "s1")
    finally:
        sup.replug()
    wait(driver, lambda d: text_of(d, "s2", "connection-state") == "ok", timeout=15, what="the recovery")
    wait(driver, lambda d: VALUE.match(text_of(d, "s2", "reading-voltage") or ""), what="readings again")
    wait(driver, lambda d: card_stale(d, "s2") is False, what="the card in colour again")


def card_stale(drv, sid):
    from selenium.webdriver.common.by import By
    try:
        card = drv.find_element(By.CSS_SELECTOR, f'[data-testid="supply-card"][data-supply-id="{sid}"]')
        return "zq-stale" in card.get_attribute("class").split()
    except Exception:   # (re)rendering
        return None


FOREIGN_PAGE = """<!doctype html><title>busy</title><script>
const panel = "PANEL";
async function attack() {
  const results = [];
  for (const path of ["/api/off", "/api/supplies/s1/settings"]) {
    try {
      await fetch(panel + path, {method: "POST", credentials: "include", mode: "no-cors",
                                 headers: {"Content-Type": "text/plain"}, body: '{"output": "off"}'});
      results.push("sent");
    } catch (e) { results.push("blocked"); }
  }
  await new Promise((done) => {
    const ws = new WebSocket(panel.replace("http", "ws") + "/_nicegui_ws/socket.io/?EIO=4&transport=websocket");
    ws.onopen = () => { results.push("ws open"); ws.close(); done(); };
    ws.onerror = () => { results.push("ws refused"); done(); };
  });
  document.title = "done " + results.join(",");
}
attack();
</script>"""


@contextlib.contextmanager
def foreign_server(html: str):
    """Another web server on this machine serving one page: yields its port."""
    page = html.encode()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.end_headers()
            self.wfile.write(page)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield server.server_address[1]
    finally:
        server.shutdown()
        server.server_close()


def test_page_from_a_foreign_origin_cannot_change_anything(driver, bench):
    panel, (sup, _) = bench
    open_panel(driver, panel)                               # the browser now holds the session cookie
    assert panel.post("/api/supplies/s1/settings", {"voltage": 1.0, "output": "on"})[0] == 200
    try:
        with foreign_server(FOREIGN_PAGE.replace("PANEL", f"http://{panel.host}:{panel.port}")) as port:
            mark = len(sup.exchanges)
            # same site as the panel (cookies ignore ports), other origin; then another site
            for host in ("127.0.0.1", "localhost"):
                driver.get(f"http://{host}:{port}/")
                wait(driver, lambda d: d.title.startswith("done"), what="the foreign page's attempts")
                assert "ws refused" in driver.title
            assert sup.state.output_on and changes_sent(sup, mark) == []
            assert "Origin 'http://127.0.0.1:" in panel.stderr()
    finally:
        panel.post("/api/off")


FRAMING_PAGE = """<!doctype html><title>framing</title>
<iframe src="PANEL/" width="1300" height="900" onload="document.title = 'loaded'"></iframe>"""


def test_panel_cannot_be_framed(driver, bench):
    from selenium.webdriver.common.by import By
    panel, (sup, _) = bench
    open_panel(driver, panel)                               # the cookie rides along into a same-site frame
    assert panel.post("/api/supplies/s1/settings", {"voltage": 1.0, "current": 0.1, "output": "on"})[0] == 200
    try:
        with foreign_server(FRAMING_PAGE.replace("PANEL", f"http://{panel.host}:{panel.port}")) as port:
            mark = len(sup.exchanges)
            driver.get(f"http://127.0.0.1:{port}/")
            wait(driver, lambda d: d.title == "loaded", what="the frame's load event")
            time.sleep(1.0)                                 # room for a page that did load to render
            driver.switch_to.frame(driver.find_element(By.TAG_NAME, "iframe"))
            buttons = driver.find_elements(By.CSS_SELECTOR, '[data-testid="all-off"]')
            for button in buttons:
                button.click()                              # the click a framing page would lure out
            driver.switch_to.default_content()
            time.sleep(0.5)
            assert buttons == [] and sup.state.output_on and changes_sent(sup, mark) == []
    finally:
        driver.switch_to.default_content()
        panel.post("/api/off")


FIELD_UNITS = [
    # (field, typed, what the card says; nothing is sent)
    ("setpoint-current", "0.7V", "is in V, not A"),
    ("setpoint-voltage", "3A", "is in A, not V"),
    ("setpoint-voltage", "1_1", "is not a number of V"),
    ("setpoint-ceiling", "1e308", "too large"),
    ("setpoint-current", "70A", "read-out"),
]


@pytest.mark.parametrize("testid, typed, reason", FIELD_UNITS)
def test_fields_refuse_another_unit_on_the_card(driver, bench, testid, typed, reason):
    panel, supplies = bench
    open_panel(driver, panel)
    marks = [len(s.exchanges) for s in supplies]
    type_into(driver, "s1", testid, typed + "\n")
    wait(driver, lambda d: reason in (text_of(d, "s1", "card-message") or ""), what=f"the refusal of {typed}")
    assert [changes_sent(s, m) for s, m in zip(supplies, marks)] == [[], []]


def test_milli_units_are_taken(driver, bench):
    panel, (sup, _) = bench
    open_panel(driver, panel)
    type_into(driver, "s1", "setpoint-current", "120mA\n")
    wait(driver, lambda d: text_of(d, "s1", "setpoint-current") == "0.120 A", what="the read-back")
    assert sup.state.current_limit_ma == 120


def test_without_the_token_the_page_is_a_static_note(driver, bench):
    from selenium.webdriver.common.by import By
    panel, _ = bench
    driver.delete_all_cookies()
    driver.get(f"http://{panel.host}:{panel.port}/")
    assert "open the address the panel printed" in driver.find_element(By.TAG_NAME, "body").text.lower()
    assert driver.find_elements(By.CSS_SELECTOR, '[data-testid="supply-card"]') == []


def test_switch_on_dialog_names_a_temperature_alarm(driver, make_supply, make_panel):
    sup = make_supply(over_temperature=True)
    panel = make_panel(sup.port, "--max-voltage", "5", "--max-current", "0.5")
    assert panel.post("/api/supplies/s1/settings", {"current": 0.1, "voltage": 1.0})[0] == 200
    open_panel(driver, panel)
    wait(driver, lambda d: text_of(d, "s1", "temperature-alarm") == "TEMP ALARM", what="the alarm chip")
    mark = len(sup.exchanges)
    card_part(driver, "s1", "output-switch").click()
    alert = wait(driver, lambda d: d.switch_to.alert, what="a confirmation")
    text = alert.text
    alert.dismiss()
    assert "temperature alarm" in text and "1.000 V" in text, text
    assert changes_sent(sup, mark) == []
