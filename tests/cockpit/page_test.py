"""The Cockpit page in headless Chromium against the real vexmorad and
vexmora-meter on a private bus with the package's policy: the service absent
and then started, a real transfer and the alarm it raises, every section's
figures against what the bus answers, the settings changed as root and
refused as nobody, a service restart; no exception, NaN or undefined in any
state. Needs root (network namespaces), cockpit-ws and chromium; skips (77)
without them, except in CI.

    page_test.py --build DIR --source DIR [--screenshots DIR] NAME=VALUE...
"""
import argparse
import datetime
import os
import shutil
import signal
import subprocess
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdp import Browser  # noqa: E402
from page_reader import (READ_ALL_TEXT, READ_NOW, READ_SETTINGS, READ_SLOTS, READ_TOP10,  # noqa: E402
                         bytes_shown, expect_equal, expect_shows, shows, table_rows)
from stack import Stack, eventually  # noqa: E402

GIB = 1 << 30
READY = "document.getElementById('main')?.getAttribute('aria-busy') === 'false'"
SETTINGS = {"NETFLOW_COUNT_STATUS": 1, "NETFLOW_ALARM_STATUS": 1, "NETFLOW_ALARM_SIZE": 1,
            "NETFLOW_ALARM_PERIOD": 1}


def skip_or_fail(why):
    if os.environ.get("CI") == "true":
        sys.exit(f"FAIL: {why}")
    print(f"SKIP: {why}")
    sys.exit(77)


def check_host():
    if os.geteuid() != 0:
        skip_or_fail("needs root: network namespaces and the meter's netlink")
    for path in ("/usr/lib/cockpit/cockpit-ws", shutil.which("chromium") or "/usr/bin/chromium"):
        if not os.path.exists(path):
            skip_or_fail(f"{path} is missing (Debian's cockpit-ws and chromium)")


class PageTest:
    def __init__(self, args):
        self.args = args
        self.stack = Stack(args)
        self.browser = None
        self.shots = os.path.join(self.stack.work, "screenshots")
        os.makedirs(self.shots)

    # -- helpers ---------------------------------------------------------
    def open_page(self, cockpit_name, as_nobody=False):
        url = self.stack.start_cockpit(cockpit_name, as_nobody)
        page = self.browser.new_page()
        started = time.monotonic()
        page.navigate(url)
        page.wait_for(READY, 20, "the page to be ready")
        print(f"  {cockpit_name}: page ready {time.monotonic() - started:.2f} s after navigating")
        return page

    def expect_clean(self, page, state):
        exceptions = page.exceptions()
        if exceptions:
            raise AssertionError(f"{state}: the page threw {exceptions}")
        text = page.evaluate(READ_ALL_TEXT)
        for word in ("NaN", "undefined", "[object", "Infinity"):
            if word in text:
                line = next(line for line in text.splitlines() if word in line)
                raise AssertionError(f"{state}: {word!r} on the page: {line.strip()!r}")

    def shoot(self, page, name, selector=None):
        page.screenshot(os.path.join(self.shots, f"{name}.png"), selector)

    def problem_shown(self, page):
        return page.evaluate("!document.getElementById('service-problem').hidden && "
                             "document.getElementById('service-problem-text').textContent")

    # -- the cases -------------------------------------------------------
    def absent_then_started(self):
        """Opened while the service has no owner: a message that names it,
        no figures; started, the page fills itself."""
        page = self.root
        problem = self.problem_shown(page)
        if not problem or self.args.service_name not in problem:
            raise AssertionError(f"no message naming the absent service: {problem!r}")
        expect_equal("a threshold field without the service", "", page.evaluate(
            "document.getElementById('threshold-overall').value"))
        self.expect_clean(page, "service absent")
        self.shoot(page, "service-absent", "#main")
        self.stack.start_service()
        started = time.monotonic()
        page.wait_for("document.getElementById('service-problem').hidden && "
                      "document.getElementById('threshold-overall').value === '1' && "
                      "document.querySelectorAll('#top10-list li').length > 0", 15,
                      "the page to recover once the service runs")
        print(f"  recovered {time.monotonic() - started:.2f} s after the service owned its name")
        self.expect_clean(page, "service started")

    def transfer_and_alarm(self):
        """A named program's transfer appears in both tables; the alarm it
        raises appears with its figures, as a row and a banner."""
        monitor = subprocess.Popen(["dbus-monitor", "--address", self.stack.bus,
                                    "type='signal',member='AlarmRaised'"],
                                   stdout=subprocess.PIPE, text=True)
        time.sleep(0.5)  # its match rule in place
        transfer = self.stack.transfer(1_000_000, 3_000_000, linger=120)
        page = self.root
        page.wait_for("[...document.querySelectorAll('#apps-table tbody tr')]"
                      ".some(tr => tr.cells[0].textContent === 'tcp_transfer.py')", 20,
                      "tcp_transfer.py in the applications")
        page.wait_for(f"[...document.querySelectorAll('#processes-table tbody tr')].some(tr => "
                      f"tr.cells[0].textContent === '{transfer.pid}' && "
                      "tr.cells[1].textContent === 'python3' && tr.cells[2].textContent === 'tcp_transfer.py')",
                      10, "the transfer's process")
        page.wait_for("!!document.querySelector('#alarms-table tbody tr[data-kind=overall]') && "
                      "!!document.querySelector('#alarm-banners [data-kind=overall]')", 10,
                      "the overall alarm as a row and a banner")
        monitor.send_signal(signal.SIGTERM)
        signal_text = monitor.communicate(timeout=10)[0].split()
        numbers = [int(signal_text[i + 1]) for i, word in enumerate(signal_text) if word == "uint64"]
        row = page.evaluate("[...document.querySelector('#alarms-table tbody tr[data-kind=overall]')"
                            ".cells].map(cell => cell.textContent)")
        if len(numbers) != 2:
            raise AssertionError(f"AlarmRaised as the bus carried it: {signal_text}")
        expect_shows("the alarm's traffic", row[2], numbers[0])
        expect_shows("the alarm's limit", row[3], numbers[1])
        banner = page.evaluate("document.querySelector('#alarm-banners [data-kind=overall]').textContent")
        for figure in row[2:]:
            if figure not in banner:
                raise AssertionError(f"the banner lacks {figure}: {banner!r}")
        self.expect_clean(page, "after the transfer")

    def figures_equal_bus(self):
        """Each section shows what the bus answers."""
        page = self.root
        eventually(lambda: self.now_matches(page), 15, "Now to show GetCurrentHour")
        eventually(lambda: self.tables_match(page), 15, "the tables to show the snapshots")
        for name in ("now", "hours", "applications", "processes", "top10", "alarms"):
            self.shoot(page, name, f"#{name}")
        self.shoot(page, "overview")
        for range_key, days, count in (("48h", 2, 48), ("7d", 7, 168), ("30d", 29, 30), ("24h", 1, 24)):
            page.evaluate(f"document.querySelector('#hours-range [data-range=\"{range_key}\"]').click()")
            eventually(lambda: self.chart_matches(page, days, count), 15, f"the {range_key} chart")
        top10 = self.stack.service("getRecentTop10", "i", 7)
        shown = page.evaluate(READ_TOP10)
        expect_equal("the top ten's applications", [entry["app"] for entry in top10],
                     [entry["app"] for entry in shown])
        for entry, item in zip(top10, shown):
            if f"{entry['tot']:.2f} GiB" not in item["text"]:
                raise AssertionError(f"top ten: {item['text']!r} for {entry}")
        expect_equal("the top ten's first bar", "100%", shown[0]["width"])
        self.expect_settings(page)
        reported = [row["time"] for row in self.stack.service("getRecentData", "i", 30) if row["status"]]
        expect_equal("hours handed out as reported by the page", [], reported)
        self.expect_clean(page, "every section compared")

    def tables_sort_and_explain(self):
        """A click on a column sorts by it, numbers largest first, a second
        click turns the order round; (unattributed) carries its explanation."""
        page = self.root
        unattributed = page.evaluate("[...document.querySelectorAll('#apps-table tbody td')]"
                                     ".filter(td => td.textContent === '(unattributed)').map(td => td.title)")
        if len(unattributed) != 1 or "UDP" not in unattributed[0]:
            raise AssertionError(f"(unattributed) and its tooltip: {unattributed}")
        page.evaluate("document.querySelector('#apps-table th[data-key=app] button').click()")
        names = [row[0] for row in table_rows(page, "apps-table")]
        page.evaluate("document.querySelector('#apps-table th[data-key=down] button').click()")
        received = [row[2] for row in table_rows(page, "apps-table")]
        expect_equal("applications by received, largest first",
                     sorted(received, key=lambda text: -bytes_shown(text)[0]), received)
        page.evaluate("document.querySelector('#apps-table th[data-key=down] button').click()")
        received = [row[2] for row in table_rows(page, "apps-table")]
        expect_equal("applications by received, smallest first",
                     sorted(received, key=lambda text: bytes_shown(text)[0]), received)
        expect_equal("the sorted column", "ascending", page.evaluate(
            "document.querySelector('#apps-table th[data-key=down]').getAttribute('aria-sort')"))
        expect_equal("names sorted from A on the first click", sorted(names), names)
        self.expect_clean(page, "tables sorted")

    def now_matches(self, page):
        hour = self.stack.current_hour()
        if "time" not in hour:  # counting is off, or not yet on again
            return False
        shown = page.evaluate(READ_NOW)
        return (shown["hour"].startswith(f"{hour['time'][11:]}, {hour['mins']} of 60") and
                shows(shown["recv"], hour["recv"]) and shows(shown["sent"], hour["sent"]) and
                shows(shown["total"], hour["recv"] + hour["sent"]) and
                shows(shown["peak"].removesuffix("/s"), hour["total_peak"] * 1024) and
                shown["counting"] == "On" and shown["message"] is None)

    def tables_match(self, page, tables=("apps-table", "processes-table")):
        for method, table, columns in (
                ("getAllAppNetflow", "apps-table", ["app", "up", "down", "up_rate", "down_rate"]),
                ("getAllProcessNetflow", "processes-table",
                 ["pid", "name", "app", "up", "down", "up_rate", "down_rate"])):
            if table not in tables:
                continue
            expected, rows = self.stack.service(method), table_rows(page, table)
            if not expected or len(rows) != len(expected):
                return False
            for entry, row in zip(expected, rows):
                for key, cell in zip(columns, row):
                    value = entry[key]
                    if isinstance(value, str) or key == "pid":
                        if cell != str(value):
                            return False
                    elif not shows(cell.removesuffix("/s"), value):
                        return False
        return True

    def chart_matches(self, page, days, count):
        slots = page.evaluate(READ_SLOTS)
        if len(slots) != count:
            return False
        rows = self.stack.service("getRecentData", "i", days)
        hour = self.stack.current_hour()
        expected = {row["time"]: (row["down"], row["up"]) for row in rows}
        daily = count == 30
        if daily:
            sums = {}
            for time_text, (down, up) in expected.items():
                day = sums.setdefault(time_text[:10], [0.0, 0.0])
                day[0], day[1] = day[0] + down, day[1] + up
            expected = {day: tuple(values) for day, values in sums.items()}
        now = hour["time"][:10] if daily else hour["time"]
        current = expected.get(now, (0.0, 0.0))
        expected[now] = (current[0] + hour["recv"] / GIB, current[1] + hour["sent"] / GIB)
        end = datetime.datetime.strptime(hour["time"], "%Y-%m-%d %H:%M")
        step = datetime.timedelta(days=1) if daily else datetime.timedelta(hours=1)
        times = [(end - i * step).strftime("%Y-%m-%d" if daily else "%Y-%m-%d %H:00")
                 for i in range(count - 1, -1, -1)]
        expect_equal("the chart's slots", times, [slot["time"] for slot in slots])
        expect_equal("the slot marked as counting", [now], [s["time"] for s in slots if s["current"]])
        for slot in slots:
            want = expected.get(slot["time"])
            if want is None:
                if slot["recv"] is not None:
                    raise AssertionError(f"a bar where the bus has no row: {slot}")
                continue
            if slot["recv"] is None or abs(float(slot["recv"]) - want[0]) > 1e-6 or \
                    abs(float(slot["sent"]) - want[1]) > 1e-6:
                return False
            if not daily and slot["time"] != now and \
                    f"received {want[0]:.2f} GiB, sent {want[1]:.2f} GiB" not in slot["title"]:
                raise AssertionError(f"the hover text of {slot['time']}: {slot['title']!r}")
        return True

    def expect_settings(self, page, **override):
        service = self.stack.service
        expected = {
            "count": service("getNetmonitorStatus") == 1,
            "overall_on": service("getNetmonitorAlarmStatus") == 1,
            "egress_on": service("getEgressAlarmStatus") == 1,
            "ingress_on": service("getIngressAlarmStatus") == 1,
            "overall": str(service("getNetmonitorThreshold")["size"]),
            "egress": str(service("getEgressThreshold")["size"]),
            "ingress": str(service("getIngressThreshold")["size"]),
            "period": str(service("getNetmonitorThreshold")["period"]),
        }
        expected.update(override)
        shown = page.evaluate(READ_SETTINGS)
        del shown["status"]
        expect_equal("the settings shown", expected, shown)
        return expected

    def set_fields(self, page, **values):
        for name, value in values.items():
            page.evaluate(f"document.getElementById('threshold-{name}').value = {value!r}")
        page.evaluate("document.getElementById('settings-status').textContent = ''")
        page.evaluate("document.getElementById('thresholds-apply').click()")
        return page.wait_for("document.getElementById('settings-status').textContent", 10,
                             "the settings' status line")

    def settings_root_and_nobody(self):
        """As root a change is what the bus then holds and takes the alarm
        banner down; values out of range never reach the bus; as nobody a
        change is refused in words and nothing changes."""
        page = self.root
        status = self.set_fields(page, overall="5", period="2")
        expect_equal("the status after applying", "Thresholds applied.", status)
        expect_equal("getNetmonitorThreshold", {"period": 2, "size": 5},
                     self.stack.service("getNetmonitorThreshold"))
        expect_equal("getEgressThreshold's shared period", 2,
                     self.stack.service("getEgressThreshold")["period"])
        expect_equal("alarm banners after the change", 0, page.evaluate(
            "document.querySelectorAll('#alarm-banners > *').length"))
        status = self.set_fields(page, period="3")
        expect_equal("the shared period changed alone", [{"period": 3, "size": 5}, {"period": 3, "size": 0}],
                     [self.stack.service("getNetmonitorThreshold"), self.stack.service("getEgressThreshold")])
        page.evaluate("document.getElementById('switch-egress').click()")
        eventually(lambda: self.stack.service("getEgressAlarmStatus") == 1, 10, "the egress switch")
        page.wait_for("document.getElementById('settings-status').textContent.includes('switched on')")
        self.expect_settings(page)
        for bad in ("-3", "2147483648", "1.5", "", "12abc"):
            status = self.set_fields(page, ingress=bad)
            if "whole numbers" not in status:
                raise AssertionError(f"ingress {bad!r}: {status!r}")
            expect_equal(f"getIngressThreshold after {bad!r}", {"period": 3, "size": 0},
                         self.stack.service("getIngressThreshold"))
        status = self.set_fields(page, ingress="2147483647")
        expect_equal("the largest int32", {"period": 3, "size": 2147483647},
                     self.stack.service("getIngressThreshold"))
        self.shoot(page, "settings", "#settings")
        self.expect_clean(page, "settings as root")

        nobody = self.open_page("nobody", as_nobody=True)
        before = self.expect_settings(nobody)
        status = self.set_fields(nobody, overall="9")
        if f"group {self.args.admin_group}" not in status or "root" not in status:
            raise AssertionError(f"refused as nobody, the page says {status!r}")
        nobody.evaluate("document.getElementById('switch-count').click()")
        nobody.wait_for("document.getElementById('settings-status').textContent.includes('"
                        f"{self.args.admin_group}') && !document.getElementById('switch-count').disabled")
        self.expect_settings(nobody, **before)
        expect_equal("getNetmonitorThreshold after nobody's try", {"period": 3, "size": 5},
                     self.stack.service("getNetmonitorThreshold"))
        expect_equal("counting after nobody's try", 1, self.stack.service("getNetmonitorStatus"))
        self.shoot(nobody, "settings-refused", "#settings")
        self.expect_clean(nobody, "settings as nobody")

    def service_restart(self):
        """A service that ends is reported; started again, it is read anew."""
        page = self.root
        self.stack.stop("vexmorad", signal.SIGKILL)
        page.wait_for("!document.getElementById('service-problem').hidden", 15, "the service's absence")
        self.expect_clean(page, "service gone")
        self.stack.start_service()
        page.wait_for("document.getElementById('service-problem').hidden && "
                      "document.getElementById('threshold-overall').value === '5'", 15,
                      "the page to recover after the restart")
        # The applications stay sorted as the previous case left them.
        eventually(lambda: self.tables_match(page, ["processes-table"]), 15, "the processes after the restart")
        self.expect_clean(page, "service restarted")

    def meter_stopped_and_counting_off(self):
        """Without the meter, and with counting off, Now says so instead of
        showing zeros; both come back by themselves."""
        page = self.root
        figures_hidden = "document.getElementById('now-figures').hidden"
        self.stack.stop("meter")
        message = page.wait_for(f"{figures_hidden} && document.getElementById('now-message').textContent",
                                10, "the meter's absence")
        if "not running" not in message:
            raise AssertionError(f"without the meter, Now says {message!r}")
        self.expect_clean(page, "meter gone")
        self.stack.start_meter()
        eventually(lambda: self.now_matches(page), 15, "Now to come back with the meter")
        self.stack.service("setNetmonitorStatus", "i", 0)
        message = page.wait_for(f"{figures_hidden} && document.getElementById('now-message').textContent",
                                15, "counting switched off")
        if "switched off" not in message:
            raise AssertionError(f"with counting off, Now says {message!r}")
        self.stack.service("setNetmonitorStatus", "i", 1)
        eventually(lambda: self.now_matches(page), 15, "Now after counting is on again")
        self.expect_clean(page, "counting on again")

    # -- running ---------------------------------------------------------
    def run(self):
        stack = self.stack
        stack.start_netns()
        stack.start_bus()
        stack.seed(SETTINGS)
        stack.start_meter()
        self.browser = Browser()
        self.root = self.open_page("root")
        cases = [self.absent_then_started, self.transfer_and_alarm, self.figures_equal_bus,
                 self.tables_sort_and_explain, self.settings_root_and_nobody, self.service_restart,
                 self.meter_stopped_and_counting_off]
        passed = failed = 0
        for case in cases:
            started = time.monotonic()
            try:
                case()
                passed += 1
                print(f"ok   {case.__name__} ({time.monotonic() - started:.1f} s)", flush=True)
            except Exception:  # noqa: BLE001 - every case is reported, then the next runs
                failed += 1
                print(f"FAIL {case.__name__}:\n{traceback.format_exc()}", flush=True)
                self.shoot(self.root, f"failed-{case.__name__}")
        if failed:
            for name in ("vexmorad", "meter", "root", "nobody"):
                if name in stack.logs:
                    print(f"--- {name}:\n{stack.log(name)[-3000:]}")
        if self.args.screenshots:
            shutil.rmtree(self.args.screenshots, ignore_errors=True)
            os.makedirs(self.args.screenshots)
            for name in os.listdir(self.shots):
                shutil.copy(os.path.join(self.shots, name), self.args.screenshots)
        print(f"{passed} passed, {failed} failed")
        return failed == 0

    def close(self):
        if self.browser:
            self.browser.close()
        self.stack.close()


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("bus-config", "state-dir", "fill-demo", "store", "vexmorad", "meter", "transfer",
                 "page-dir", "service-name", "object-path", "interface", "meter-name",
                 "meter-object-path", "meter-interface", "admin-group"):
        parser.add_argument(f"--{name}", required=True)
    parser.add_argument("--screenshots")
    return parser.parse_args()


def main():
    args = parse_args()
    check_host()
    test = PageTest(args)
    try:
        ok = test.run()
    finally:
        test.close()
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
