#!/usr/bin/env python3
"""The station's page in a real browser: Debian's headless Chromium driven by
chromium-driver and python3-selenium, with three simulated boards, one of whose
application answers with markup, quotes, control bytes and invalid UTF-8.

  console_browser_test.py K4471_CLI K4471_SIM IMAGE SCREENSHOT
"""
import os
import shutil
import sys
import tempfile
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

from console_station import Bench, request, wait_until

CLI, SIM, IMAGE, SCREENSHOT = sys.argv[1:5]
HOSTILE = b'sn <script>window.hacked=1</script> "q" \x01\x02 \xff\xfe end'
LIMIT = 60


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run",
                 "--user-data-dir=" + profile, "--window-size=1100,900"):
        options.add_argument(flag)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


class StationPage(unittest.TestCase):
    def setUp(self):
        self.bench = Bench(CLI, SIM, IMAGE)
        slow = ["--call-ms", "0", "--erase-block-ms", "60", "--baud", "19200",
                "--next-board-ms", "0", "--app-text"]
        self.ports = [self.bench.board("a", *slow, "app up"), self.bench.board("b", *slow, "app up"),
                      self.bench.board("c", *slow, HOSTILE)]
        self.profile = tempfile.mkdtemp(prefix="k4471-chromium-")
        self.driver = browser(self.profile)

    def tearDown(self):
        self.driver.quit()
        shutil.rmtree(self.profile, ignore_errors=True)
        self.bench.close()

    def tile(self, index):
        """The tile as shown, read at once (events replace tiles)."""
        return self.driver.execute_script("""
            var tile = document.getElementById("tile-" + arguments[0]);
            return {state: tile.dataset.state, word: tile.querySelector(".word").innerText,
                    colour: tile.classList[1], board: tile.querySelector(".board").innerText,
                    text: tile.innerText};""", index)

    def states_seen(self, index):
        log = self.driver.execute_script("return window.stationLog;")
        return [entry["state"] for entry in log if entry["index"] == index]

    def counter(self, name):
        return self.driver.execute_script(
            'return document.getElementById("c-" + arguments[0]).innerText;', name)

    def call(self, *indexes, line="set call-ms 50"):
        for index in indexes:
            self.bench.control(self.ports[index], line)

    def test_tiles_follow_the_boards_a_reload_agrees_and_a_stop_ends_the_station(self):
        url = self.bench.start_station(self.ports, "--console", "127.0.0.1:0", "--launch",
                                       "--expect", "app up", "--expect-timeout", "1",
                                       "--serial-at", "0x7FF0", "--serial-start", "1000")
        self.driver.get(url)
        for index in range(3):
            self.assertEqual(self.tile(index)["word"], "WAITING")
            self.assertEqual(self.tile(index)["colour"], "grey")
        self.call(0, 1, 2)
        wait_until("the first boards' ends", LIMIT, lambda: self.counter("boards") == "3")
        for index in (0, 1):
            tile = self.tile(index)
            self.assertEqual((tile["word"], tile["colour"]), ("PASS", "green"))
            seen = self.states_seen(index)
            for state in ("erasing", "programming", "checking", "passed"):
                self.assertIn(state, seen, "port %d went %s" % (index, seen))
            self.assertLess(seen.index("erasing"), seen.index("programming"))
        failed = self.tile(2)
        self.assertEqual((failed["word"], failed["colour"], failed["state"]),
                         ("FAIL", "red", "failed"))
        self.assertIn("app-check-failed", failed["text"])
        message = self.driver.execute_script(
            'return document.querySelector("#tile-2 .message").innerText;')
        self.assertIn('sn <script>window.hacked=1</script> "q" ?? \ufffd\ufffd end', message)
        self.assertIsNone(self.driver.execute_script("return window.hacked;"))
        numbers = sorted(int(self.tile(i)["board"]) for i in range(3))
        self.assertEqual(numbers, [1, 2, 3])
        serials = {line["port"]: line["serial"] for line in self.bench.report_lines()}
        for index, port in enumerate(self.ports):
            self.assertIn("Serial\n%d" % serials[port], self.tile(index)["text"])

        # A reload in the middle of the batch shows what the page showed.
        before = [self.tile(i) for i in range(3)]
        counters = [self.counter(name) for name in ("boards", "passed", "failed")]
        rows = self.driver.execute_script('return document.querySelector(".recent").innerText;')
        self.driver.refresh()
        self.assertEqual([self.tile(i) for i in range(3)], before)
        self.assertEqual([self.counter(name) for name in ("boards", "passed", "failed")],
                         counters)
        self.assertEqual(
            self.driver.execute_script('return document.querySelector(".recent").innerText;'), rows)

        # A board at work beside a passed and a failed one.
        self.call(0, line="reset")
        wait_until("port a programming", LIMIT, lambda: self.tile(0)["state"] == "programming")
        self.assertEqual((self.tile(0)["word"], self.tile(0)["colour"]), ("WORKING", "blue"))
        self.driver.save_screenshot(SCREENSHOT)

        # Stop from the page: the board at work ends, the station with it.
        self.driver.find_element(By.CSS_SELECTOR, "#stop button").click()
        self.driver.switch_to.alert.accept()
        wait_until("the stop's answer", LIMIT,
                   lambda: "takes no new boards" in self.driver.find_element(By.ID, "link").text)
        self.assertEqual(self.bench.end_station(LIMIT), 7, self.bench.said())
        wait_until("the page says the station ended", LIMIT, lambda: self.driver.find_elements(
            By.CLASS_NAME, "ended"))
        lines = self.bench.report_lines()
        self.assertEqual(self.counter("boards"), str(len(lines)))
        self.assertEqual(self.counter("passed"), str(sum(1 for l in lines if l["exit_code"] == 0)))
        self.assertEqual(self.counter("failed"), str(sum(1 for l in lines if l["exit_code"] != 0)))
        self.assertEqual(self.tile(0)["word"], "PASS")
        self.assertEqual(len(lines), 4)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
