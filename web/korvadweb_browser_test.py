#!/usr/bin/python3
"""The page in a real browser: headless Chromium driven by Selenium, against
korvadweb and the real korvad -s -c on loopback, with a recording paced in
real time.

    korvadweb_browser_test.py KORVADWEB KORVAD KORVAD_SYNTH KORVAD_PACE [TestName ...]

One station, one korvadweb and one browser serve the cases, which run in the
order of their names (the recording plays once).
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from korvadweb_harness import (Web, contact_item, pace_into, record_text, send_record,  # noqa: E402
                               start_station, wait_until, write_list_file)

from selenium import webdriver  # noqa: E402
from selenium.common.exceptions import NoAlertPresentException  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

KORVADWEB = KORVAD = SYNTH = PACE = None
CHROMEDRIVER = "/usr/bin/chromedriver"

HOSTILE = "<img src=x onerror=alert(1)>"
SCRIPTED = "<script>document.title='ran'</script>"
FRAMES = [
    "downlink mode=2 reg=.D-ABCD label=H1 block=1 seq=M01A flight=LH0400 text=POS N50 E008",
    "downlink mode=2 reg=.N123AB label=Q0 block=2 seq=M02A flight=UA0901 text=LOW FUEL",
    "downlink mode=2 reg=.F-GKXA label=5Z block=3 seq=M03B flight=AF1234 text=" + HOSTILE,
    "uplink reg=.G-EUPT label=_d block=A ack=4",
    "downlink mode=2 reg=.D-ABCD label=H1 block=4 seq=M04A flight=LH0400 text=" + SCRIPTED,
    "downlink mode=2 reg=.EI-DVM label=Q0 block=5 seq=M05A flight=FR1234 text=ETA 1215 fuel ok",
]
# (registration, flight, label, block, text) as the page must show them, oldest first.
EXPECTED = [
    ("D-ABCD", "LH0400", "H1", "1", "POS N50 E008"),
    ("N123AB", "UA0901", "Q0", "2", "LOW FUEL"),
    ("F-GKXA", "AF1234", "5Z", "3", HOSTILE),
    ("G-EUPT", "", "_d", "A", ""),
    ("D-ABCD", "LH0400", "H1", "4", SCRIPTED),
    ("EI-DVM", "FR1234", "Q0", "5", "ETA 1215 fuel ok"),
]
CONTACTS = [
    contact_item(1767268800, "D-ABCD", "LH0400", route="FRA-JFK"),
    contact_item(1767272400, "D-ABCD", "LH0402"),
    contact_item(1767276000, "D-ABCD", "LH0404", route="FRA-ORD"),
    contact_item(1767279600, "D-AIPX", "LH0400", aircraft_type="A320"),
]


def browser(profile):
    options = webdriver.ChromeOptions()
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run",
                 "--disable-dev-shm-usage", "--user-data-dir=" + profile):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="korvadweb-browser-")
        write_list_file(os.path.join(cls.folder, "korvad.db"), CONTACTS)
        cls.station = start_station(KORVAD, cls.folder)
        cls.port = cls.station.port
        cls.web = Web(KORVADWEB, cls.folder, cls.port)
        cls.web.wait_connected()
        cls.driver = browser(os.path.join(cls.folder, "profile"))
        cls.driver.set_page_load_timeout(30)
        cls.url = "http://127.0.0.1:%d/" % cls.web.port

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.web.close()
        cls.station.close()
        shutil.rmtree(cls.folder, True)

    # -- helpers ---------------------------------------------------------------
    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def wait(self, predicate, what, timeout=60):
        return wait_until(predicate, timeout, what)

    def rows(self, visible_only=False):
        """The message rows as (registration, flight, label, block, text),
        newest first, as the browser shows their text."""
        return self.js("""
            return [...document.querySelectorAll('#message-rows tr')]
              .filter(r => !arguments[0] || !r.hidden)
              .map(r => ['registration', 'flight', 'label', 'block', 'text']
                .map(c => r.querySelector('td.' + c).textContent));""", visible_only)

    def type_into(self, element_id, value):
        field = self.driver.find_element(By.ID, element_id)
        field.clear()
        if value:
            field.send_keys(value)

    def assertNoAlert(self):
        with self.assertRaises(NoAlertPresentException):
            self.driver.switch_to.alert.text

    # -- cases, in order -------------------------------------------------------
    def test_1_every_message_of_the_recording_appears_once_in_order(self):
        self.driver.get(self.url)
        self.wait(lambda: self.js("return document.getElementById('station-program').textContent")
                  == "korvad 1.oo", "the greeting on the page")
        self.assertEqual(self.driver.find_element(By.ID, "station-collection").text, "4 contacts")
        self.assertFalse(self.driver.find_element(By.ID, "banner").is_displayed())
        recording = os.path.join(self.folder, "rec.raw")
        lines = recording + ".txt"
        with open(lines, "w") as f:
            f.write("\n".join(FRAMES) + "\n")
        subprocess.run([SYNTH, "-q", "--snr", "40", "--gap", "1200", "--lead", "2500", lines,
                        recording], check=True)
        pacer = pace_into(PACE, recording, self.station)
        self.addCleanup(lambda: pacer.poll() is None and pacer.kill())
        self.wait(lambda: len(self.rows()) >= len(EXPECTED), "every message in the page", 120)
        self.assertEqual(pacer.wait(60), 0)
        self.assertEqual([tuple(r) for r in self.rows()], list(reversed(EXPECTED)))
        ids = self.js("return korvadweb.rows()")
        self.assertEqual(ids, list(range(len(EXPECTED), 0, -1)))
        self.assertEqual(self.driver.find_element(By.ID, "count-received").text, str(len(EXPECTED)))
        self.assertEqual(self.driver.find_element(By.ID, "count-uplinks").text, "1")
        self.assertIn("uplink", self.driver.find_elements(By.CSS_SELECTOR, "#message-rows tr")[2]
                      .get_attribute("class"))
        bars = self.driver.find_elements(By.CSS_SELECTOR, "#chart rect.bar")
        self.assertEqual(len(bars), 144)
        self.assertGreater(sum(float(b.get_attribute("height")) for b in bars), 0)

    def test_2_hostile_text_is_shown_as_text_and_runs_nothing(self):
        texts = [r[4] for r in self.rows()]
        self.assertIn(HOSTILE, texts)
        self.assertIn(SCRIPTED, texts)
        self.assertNoAlert()
        self.assertEqual(self.driver.title, "korvad station")
        self.assertEqual(self.js("return document.querySelectorAll('main img, main script').length"), 0)
        self.assertEqual(self.js("return document.querySelectorAll('#message-rows td.text *').length"), 0)
        # The page keeps its own rules: nothing of it was refused by its policy.
        refused = [e for e in self.driver.get_log("browser")
                   if "Content Security Policy" in e["message"] or e["level"] == "SEVERE"]
        self.assertEqual(refused, [])

    def test_3_filters_by_label_registration_flight_and_text(self):
        cases = [
            ("filter-label", "q0", {"N123AB", "EI-DVM"}),
            ("filter-registration", "d-ab", {"D-ABCD"}),
            ("filter-flight", "0901", {"N123AB"}),
            ("filter-text", "FUEL", {"N123AB", "EI-DVM"}),
            ("filter-text", "<img", {"F-GKXA"}),
        ]
        for field, value, expected in cases:
            self.driver.find_element(By.ID, "filter-clear").click()
            self.type_into(field, value)
            self.assertEqual({r[0] for r in self.rows(visible_only=True)}, expected, (field, value))
            self.assertEqual(self.driver.find_element(By.ID, "count-shown").text,
                             str(len(self.rows(visible_only=True))))
        self.type_into("filter-label", "H1")
        self.type_into("filter-text", "POS")
        self.assertEqual(self.rows(visible_only=True), [list(EXPECTED[0])])
        self.driver.find_element(By.ID, "filter-clear").click()
        self.assertEqual(len(self.rows(visible_only=True)), len(EXPECTED))

    def test_4_a_registration_shows_its_contacts_and_a_flight_its_aircraft(self):
        def details():
            return self.js("""return [...document.querySelectorAll('#details-body tr')]
                              .map(r => [...r.cells].slice(1).map(c => c.textContent));""")
        button = self.driver.find_element(By.CSS_SELECTOR, "#message-rows td.registration button")
        self.assertEqual(button.text, "EI-DVM")
        rows = self.driver.find_elements(By.CSS_SELECTOR, "#message-rows tr")
        rows[1].find_element(By.CSS_SELECTOR, "td.registration button").click()  # D-ABCD
        self.wait(lambda: len(details()) == 3, "the contacts of D-ABCD", 30)
        self.assertEqual(self.driver.find_element(By.ID, "details-title").text, "Contacts of D-ABCD")
        self.assertEqual(details(), [["LH0400", "FRA-JFK"], ["LH0402", "-unknown-"],
                                     ["LH0404", "FRA-ORD"]])
        self.assertEqual(self.driver.find_element(By.ID, "details-note").text, "3 contacts")
        rows[1].find_element(By.CSS_SELECTOR, "td.flight button").click()  # LH0400
        self.wait(lambda: self.driver.find_element(By.ID, "details-title").text ==
                  "Aircraft of flight LH0400" and len(details()) == 2, "the aircraft of LH0400", 30)
        self.assertEqual(sorted(details()), [["D-ABCD", "-unknown-"], ["D-AIPX", "A320"]])
        # The uplink's empty flight is no button.
        self.assertEqual(rows[2].find_elements(By.CSS_SELECTOR, "td.flight button"), [])
        self.driver.find_element(By.ID, "details-close").click()
        self.assertFalse(self.driver.find_element(By.ID, "details").is_displayed())

    def test_5_alerts_mark_and_count_and_stay_in_the_browser(self):
        self.type_into("alert-value", "fuel")
        self.driver.find_element(By.CSS_SELECTOR, "#alert-kind option[value=word]").click()
        self.driver.find_element(By.ID, "alert-add").click()
        self.type_into("alert-value", "D-ABCD")
        self.driver.find_element(By.CSS_SELECTOR, "#alert-kind option[value=registration]").click()
        self.driver.find_element(By.ID, "alert-add").click()
        def marked():
            return self.js("""return [...document.querySelectorAll('#message-rows tr.alert')]
                              .map(r => r.querySelector('td.registration').textContent)""")
        self.assertEqual(sorted(marked()), ["D-ABCD", "D-ABCD", "EI-DVM", "N123AB"])
        self.assertEqual(self.driver.find_element(By.ID, "count-alerts").text, "4")
        self.driver.refresh()
        self.wait(lambda: len(self.rows()) == len(EXPECTED), "the page filled again", 30)
        self.assertEqual(self.driver.find_element(By.ID, "alert-list").text.split("\n"),
                         ["word: fuel \u00d7", "registration: D-ABCD \u00d7"])
        self.assertEqual(sorted(marked()), ["D-ABCD", "D-ABCD", "EI-DVM", "N123AB"])
        self.driver.find_elements(By.CSS_SELECTOR, "#alert-list button")[0].click()
        self.assertEqual(sorted(marked()), ["D-ABCD", "D-ABCD"])
        self.assertEqual(self.driver.find_element(By.ID, "count-alerts").text, "2")

    def test_6_the_station_killed_and_started_again(self):
        banner = self.driver.find_element(By.ID, "banner")
        self.assertFalse(banner.is_displayed())
        self.station.close()
        self.wait(lambda: banner.is_displayed(), "the banner", 30)
        self.assertIn("The station is unreachable", banner.text)
        type(self).station = start_station(KORVAD, self.folder, port=self.port)
        self.wait(lambda: not banner.is_displayed(), "the banner to go", 30)
        wait_until(lambda: self.station.queue_id() is not None, 10, "the queue")
        send_record(self.station.queue_id(), record_text("D-NEWX", "LH0999", "back again",
                                                          label="B2", block="6"))
        self.wait(lambda: self.rows()[0][0] == "D-NEWX", "the new message on top", 30)
        self.assertEqual(self.rows()[0], ["D-NEWX", "LH0999", "B2", "6", "back again"])
        self.assertEqual(len(self.rows()), len(EXPECTED) + 1)
        self.assertNoAlert()

    def test_7_a_page_left_gives_up_its_reader_and_resumes_when_back(self):
        # The browser keeps a page it left aside for going back; it must not
        # keep a place among the readers of /events meanwhile.
        shown = len(self.rows())
        self.assertEqual(self.web.info()["event_clients"], 1)
        self.driver.get("about:blank")
        wait_until(lambda: self.web.info()["event_clients"] == 0, 20, "the left page's reader")
        send_record(self.station.queue_id(), record_text("D-AWAY", "LH0111", "while away"))
        wait_until(lambda: self.web.info()["messages"]["kept"] == shown + 1, 20, "korvadweb")
        self.driver.back()
        self.wait(lambda: self.rows() and self.rows()[0][0] == "D-AWAY", "the message sent away",
                  30)
        self.assertEqual(len(self.rows()), shown + 1)
        self.assertEqual(self.web.info()["event_clients"], 1)
        self.assertNoAlert()


if __name__ == "__main__":
    KORVADWEB, KORVAD, SYNTH, PACE = sys.argv[1:5]
    unittest.main(argv=[sys.argv[0]] + sys.argv[5:], verbosity=2)
