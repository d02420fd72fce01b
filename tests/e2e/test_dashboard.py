"""The control API's page in a real browser (Debian's chromium through chromedriver, headless):
it shows the unit, a request from the PC side reaches its live journal, a rule added from the
page fires and is listed, a refused rule shows the API's message. Exits 77 (skipped) without
chromium, chromedriver or python3-selenium."""

import json
import os
import shutil
import sys
import time
import unittest
import urllib.request

from varnel_peer import START_TIMEOUT, EmulatorTestCase, build_frame, pane_message

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None

GET_TIME = 0x02
CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
# Generous: only guards against a page that never shows what it should.
PAGE_TIMEOUT = 20.0
# A request reaches the journal on the page within this.
LIVE_BOUND = 1.0


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1400,1000", "--user-data-dir=" + profile):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


class DashboardTest(EmulatorTestCase):

    def setUp(self):
        super().setUp()
        emu, endpoint = self.start_network_emulator("--control", "127.0.0.1:0")
        index = emu.wait_for(lambda m: m.startswith("CONTROL "), timeout=START_TIMEOUT)
        self.url = pane_message(emu.lines()[index])[len("CONTROL "):]
        self.endpoint = endpoint
        profile = os.path.join(self.dir, "chromium-profile")
        os.mkdir(profile)
        self.driver = browser(profile)
        self.addCleanup(self.driver.quit)

    def wait(self, what, condition, timeout=PAGE_TIMEOUT):
        return WebDriverWait(self.driver, timeout, poll_frequency=0.02).until(
            lambda d: condition(), "the page never showed " + what)

    def text(self, css):
        # In one go: the page replaces its tables as they change.
        return self.driver.execute_script(
            "return Array.from(document.querySelectorAll(arguments[0])).map((e) => e.innerText.replace(/\s+/g, ' ').trim()).join(' ')",
            css)

    def api(self, method, path, body):
        request = urllib.request.Request(self.url + path, data=json.dumps(body).encode("utf-8"), method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=5) as answer:
                return answer.status, json.loads(answer.read())
        except urllib.error.HTTPError as error:
            return error.code, json.loads(error.read())

    def test_the_page_follows_and_drives_its_unit(self):
        driver = self.driver
        driver.get(self.url + "/")
        self.wait("unit 1 with its endpoint", lambda: self.endpoint in self.text("#units tbody tr"))
        self.wait("unit 1 chosen", lambda: self.text("#unit-title").startswith("Unit 1"))
        self.wait("the event stream live", lambda: self.text("#stream-state") == "live")

        self.open_network_peer(self.endpoint)
        self.wait("the client connected", lambda: "connected" in self.text("#units tbody tr"))
        self.assertEqual(len(self.peer.request(GET_TIME).content), 7)
        sent = time.monotonic()
        self.wait("the request in the journal", lambda: "get-time" in self.text("#journal tr.request"))
        shown = time.monotonic() - sent
        print("request on the page %.0f ms after its reply" % (shown * 1000))
        self.assertLess(shown, LIVE_BOUND)
        self.assertIn("PC → unit", self.text("#journal tr.request"))
        driver.find_element(By.CSS_SELECTOR, "#journal tr.request").click()
        self.wait("the frame's bytes", lambda: self.text("#event-hex").startswith("5A A5 12 34 02 00 00"))

        # A rule added from the page is listed, fires and is counted.
        driver.find_element(By.ID, "fault-rule").send_keys("get-time:drop@1")
        driver.find_element(By.CSS_SELECTOR, "#fault-form button").click()
        self.wait("the rule added", lambda: "rule 1 added" in self.text("#message"))
        self.wait("the rule listed", lambda: "get-time:drop@1 active 0" in self.text("#faults tbody tr"))
        self.peer.write(build_frame(GET_TIME))
        self.peer.assert_silent(0.3)
        self.wait("the rule fired", lambda: "get-time:drop@1 active 1" in self.text("#faults tbody tr"))
        self.wait("the fault in the journal", lambda: "action=drop" in self.text("#journal tr.fault"))

        # A refused rule shows the API's own message.
        status, refusal = self.api("POST", "/units/1/faults", {"rule": "get-time:bogus"})
        self.assertEqual(status, 400)
        rule = driver.find_element(By.ID, "fault-rule")
        rule.clear()
        rule.send_keys("get-time:bogus")
        driver.find_element(By.CSS_SELECTOR, "#fault-form button").click()
        self.wait("the refusal", lambda: self.text("#message") == refusal["error"])
        self.assertEqual(driver.find_element(By.ID, "message").get_attribute("class"), "error")

        self.wait("the latency chart", lambda: driver.find_element(By.ID, "latency").get_attribute(
            "data-commands") == "get-time")

        # The record count set from the page paces an upload the list shows, which the page stops;
        # long enough (30 s) that a slow screenshot on a loaded machine does not outlast it.
        count = driver.find_element(By.ID, "records-count")
        count.clear()
        count.send_keys("3000")
        driver.find_element(By.CSS_SELECTOR, "#records-form button").click()
        self.wait("the count set", lambda: self.text("#message") == "records per upload: 3000")
        self.peer.write(build_frame(0x0C))
        self.wait("the upload's progress", lambda: driver.execute_script(
            "const bar = document.querySelector('#units progress'); return bar && bar.value > 0 && bar.max == 3000"))
        stats = driver.execute_script("return window.varnelStats")
        print("page updates: %d, longest %.1f ms" % (stats["updates"], stats["maxMs"]))
        folder = os.environ.get("VARNEL_ARTIFACTS_DIR")
        if folder:
            os.makedirs(folder, exist_ok=True)
            self.assertTrue(driver.save_screenshot(os.path.join(folder, "dashboard.png")))
        driver.find_element(By.ID, "stop-upload").click()
        self.wait("the upload stopped", lambda: self.text("#message") == "upload stopped")
        self.wait("the end of the upload", lambda: "how=stopped" in self.text("#journal tr.upload-end"))


if __name__ == "__main__":
    missing = [name for name, found in (("chromium", CHROMIUM), ("chromedriver", CHROMEDRIVER),
                                        ("python3-selenium", webdriver)) if not found]
    if missing:
        print("skipped: %s not installed" % ", ".join(missing))
        sys.exit(77)
    unittest.main()
