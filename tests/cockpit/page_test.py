"""The Cockpit page in headless Chromium against the real vexmorad and
vexmora-meter on a private bus with the package's policy, case by case below;
no exception, NaN or undefined in any state. Needs root, cockpit-ws and
chromium; skips (77) without them, except in CI. Arguments: stack.parse_args.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdp import Browser  # noqa: E402
from page_checks import (apply_thresholds, bytes_shown, chart_matches, expect_clean,  # noqa: E402
                         expect_equal, expect_settings, expect_shows, expect_top10, now_matches,
                         table_rows, tables_match)
from stack import HOSTILE_APP, Stack, check_host, eventually, parse_args  # noqa: E402

READY = "document.getElementById('main')?.getAttribute('aria-busy') === 'false'"
# Clears every timer the page has set (timeouts and intervals share their ids).
STOP_TIMERS = "(() => { const last = setTimeout(() => {}, 0); " \
              "for (let id = 1; id <= last; id++) clearInterval(id); })()"
SETTINGS = {"NETFLOW_COUNT_STATUS": 1, "NETFLOW_ALARM_STATUS": 1, "NETFLOW_ALARM_SIZE": 1,
            "NETFLOW_ALARM_PERIOD": 1}


class PageTest:
    def __init__(self, args):
        self.args = args
        self.stack = Stack(args)
        self.browser = None
        self.shots = os.path.join(self.stack.work, "screenshots")
        os.makedirs(self.shots)

    def open_page(self, cockpit_name, as_nobody=False):
        url = self.stack.start_cockpit(cockpit_name, as_nobody)
        page = self.browser.new_page()
        started = time.monotonic()
        page.navigate(url)
        page.wait_for(READY, 20, "the page to be ready")
        print(f"  {cockpit_name}: page ready {time.monotonic() - started:.2f} s after navigating")
        return page

    def shoot(self, page, name, selector=None):
        page.screenshot(os.path.join(self.shots, f"{name}.png"), selector)

    def absent_then_started(self):
        """Opened while the service has no owner: a message that names it,
        no figures; started, the page fills itself."""
        page = self.root
        problem, threshold = page.evaluate(
            "[!document.getElementById('service-problem').hidden && document.getElementById("
            "'service-problem-text').textContent, document.getElementById('threshold-overall').value]")
        if not problem or self.args.service_name not in problem:
            raise AssertionError(f"no message naming the absent service: {problem!r}")
        expect_equal("a threshold field without the service", "", threshold)
        expect_clean(page, "service absent")
        self.shoot(page, "service-absent", "#main")
        self.stack.start_service()
        started = time.monotonic()
        page.wait_for("document.getElementById('service-problem').hidden && "
                      "document.getElementById('threshold-overall').value === '1' && "
                      "document.querySelectorAll('#top10-list li').length > 0", 15,
                      "the page to recover once the service runs")
        print(f"  recovered {time.monotonic() - started:.2f} s after the service owned its name")
        expect_clean(page, "service started")

    def transfer_and_alarm(self):
        """A named program's transfer appears in both tables; the alarm it
        raises appears with its figures, as a row and a banner, and as a
        banner alone on a page opened after it."""
        monitor = subprocess.Popen(["dbus-monitor", "--address", self.stack.bus,
                                    "type='signal',member='AlarmRaised'"],
                                   stdout=subprocess.PIPE, text=True)
        time.sleep(0.5)  # its match rule in place
        transfer = self.stack.transfer(1_000_000, 3_000_000, linger=120)
        marked_up = HOSTILE_APP + ".py"
        self.stack.transfer(20_000, 20_000, linger=120, script=marked_up)
        self.stack.transfer(30_000, 30_000, linger=120, machine="pagebox")
        page = self.root
        page.wait_for("[...document.querySelectorAll('#apps-table tbody tr')]"
                      ".some(tr => tr.cells[0].textContent === 'tcp_transfer.py')", 20,
                      "tcp_transfer.py in the applications")
        page.wait_for("[...document.querySelectorAll('#apps-table tbody tr')]"
                      f".some(tr => tr.cells[0].textContent === {json.dumps(marked_up)})", 40,
                      "the program named with markup in the applications, as text")
        page.wait_for("[...document.querySelectorAll('#apps-table tbody tr')]"
                      ".some(tr => tr.cells[0].textContent === 'pagebox/tcp_transfer.py')", 20,
                      "a container's program in the applications under its container's name")
        expect_equal("elements made of a program's name", 0, page.evaluate(
            "document.querySelectorAll('#apps-table img, #processes-table img').length"))
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
        self.forged_alarms_ignored(page)
        banner = page.evaluate("document.querySelector('#alarm-banners [data-kind=overall]').textContent")
        later = self.open_page("later")
        later_banner, later_rows = later.evaluate(
            "[document.querySelector('#alarm-banners [data-kind=overall]')?.textContent ?? '', "
            "document.querySelectorAll('#alarms-table tbody tr').length]")
        for figure in row[2:]:
            if figure not in banner or figure not in later_banner:
                raise AssertionError(f"a banner lacks {figure}: {banner!r}, on a later page {later_banner!r}")
        expect_equal("alarms listed on a page opened after them", 0, later_rows)
        expect_clean(later, "opened after the alarm")
        expect_clean(page, "after the transfer")

    def forged_alarms_ignored(self, page):
        """Signals of the meter's interface that an unprivileged connection
        sends change nothing: no alarm raised, none cleared."""
        a = self.args
        properties = "org.freedesktop.DBus.Properties"
        for interface, member, signature, *values in (
                (a.meter_interface, "AlarmRaised", "stt", "forged", "5", "1"),
                (a.meter_interface, "AlarmRaised", "stt", "overall", "7", "1"),
                (a.meter_interface, "AlarmCleared", "s", "overall"),
                (properties, "PropertiesChanged", "sa{sv}as", a.meter_interface, "1", "RaisedAlarms",
                 "aa{sv}", "1", "3", "kind", "s", "forged", "bytes", "t", "5", "limit", "t", "1", "0")):
            subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                            "busctl", f"--address={self.stack.bus}", "emit", a.meter_object_path,
                            interface, member, signature, *values], check=True)
        time.sleep(2)  # time for the page to take them, if it would
        shown = page.evaluate("[document.querySelectorAll('[data-kind=forged]').length, "
                              "document.querySelectorAll('#alarms-table tbody tr').length, "
                              "!!document.querySelector('#alarm-banners [data-kind=overall]')]")
        expect_equal("the page after forged signals (forged kinds, rows, the real banner)",
                     [0, 1, True], shown)

    def figures_equal_bus(self):
        """Each section shows what the bus answers."""
        page = self.root
        eventually(lambda: now_matches(self.stack, page), 15, "Now to show GetCurrentHour")
        eventually(lambda: tables_match(self.stack, page), 15, "the tables to show the snapshots")
        for name in ("now", "hours", "applications", "processes", "top10", "alarms"):
            self.shoot(page, name, f"#{name}")
        self.shoot(page, "overview")
        for range_key, days, count in (("48h", 2, 48), ("7d", 7, 168), ("30d", 29, 30), ("24h", 1, 24)):
            page.evaluate(f"document.querySelector('#hours-range [data-range=\"{range_key}\"]').click()")
            eventually(lambda: chart_matches(self.stack, page, days, count), 15, f"the {range_key} chart")
        expect_top10(self.stack, page)
        expect_settings(self.stack, page)
        reported = [row["time"] for row in self.stack.service("getRecentData", "i", 30) if row["status"]]
        expect_equal("hours handed out as reported by the page", [], reported)
        expect_clean(page, "every section compared")

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
        expect_clean(page, "tables sorted")

    def settings_root_and_nobody(self):
        """As root a change is what the bus then holds, and the meter's
        clearing of the alarm takes its banner down; values out of range never
        reach the bus; as nobody a change is refused in words and nothing
        changes."""
        page = self.root
        status = apply_thresholds(page, overall="5", period="2")
        expect_equal("the status after applying", "Thresholds applied.", status)
        expect_equal("getNetmonitorThreshold", {"period": 2, "size": 5},
                     self.stack.service("getNetmonitorThreshold"))
        expect_equal("getEgressThreshold's shared period", 2,
                     self.stack.service("getEgressThreshold")["period"])
        page.wait_for("!document.querySelector('#alarm-banners > *')", 10, "the banner to go")
        status = apply_thresholds(page, period="3")
        expect_equal("the shared period changed alone", [{"period": 3, "size": 5}, {"period": 3, "size": 0}],
                     [self.stack.service("getNetmonitorThreshold"), self.stack.service("getEgressThreshold")])
        page.evaluate("document.getElementById('switch-egress').click()")
        eventually(lambda: self.stack.service("getEgressAlarmStatus") == 1, 10, "the egress switch")
        page.wait_for("document.getElementById('settings-status').textContent.includes('switched on')")
        expect_settings(self.stack, page)
        for bad in ("-3", "2147483648", "1.5", "", "12abc"):
            status = apply_thresholds(page, ingress=bad)
            if "whole numbers" not in status:
                raise AssertionError(f"ingress {bad!r}: {status!r}")
            expect_equal(f"getIngressThreshold after {bad!r}", {"period": 3, "size": 0},
                         self.stack.service("getIngressThreshold"))
        status = apply_thresholds(page, ingress="2147483647")
        expect_equal("the largest int32", {"period": 3, "size": 2147483647},
                     self.stack.service("getIngressThreshold"))
        self.shoot(page, "settings", "#settings")
        expect_clean(page, "settings as root")

        nobody = self.open_page("nobody", as_nobody=True)
        before = expect_settings(self.stack, nobody)
        status = apply_thresholds(nobody, overall="9")
        if f"group {self.args.admin_group}" not in status or "root" not in status:
            raise AssertionError(f"refused as nobody, the page says {status!r}")
        nobody.evaluate("document.getElementById('switch-count').click()")
        nobody.wait_for("document.getElementById('settings-status').textContent.includes('"
                        f"{self.args.admin_group}') && !document.getElementById('switch-count').disabled")
        expect_settings(self.stack, nobody, **before)
        expect_equal("getNetmonitorThreshold after nobody's try", {"period": 3, "size": 5},
                     self.stack.service("getNetmonitorThreshold"))
        expect_equal("counting after nobody's try", 1, self.stack.service("getNetmonitorStatus"))
        self.shoot(nobody, "settings-refused", "#settings")
        expect_clean(nobody, "settings as nobody")

    def bus_activation(self):
        """A service that ends is reported; once activatable, the page's own
        calls make the bus start it, and the page reads it anew."""
        page = self.root
        self.stack.stop("vexmorad", signal.SIGKILL)
        page.wait_for("!document.getElementById('service-problem').hidden", 15, "the service's absence")
        self.stack.enable_activation()
        page.wait_for("document.getElementById('service-problem').hidden && "
                      "document.getElementById('threshold-overall').value === '5'", 20,
                      "the page to recover through bus activation")
        if f"Successfully activated service '{self.args.service_name}'" not in self.stack.log("bus"):
            raise AssertionError(f"the bus did not start the service: {self.stack.log('bus')[-500:]}")
        eventually(lambda: tables_match(self.stack, page, ["processes-table"]), 15,
                   "the processes from the activated service")
        expect_clean(page, "service activated")

    def meter_stopped_and_counting_off(self):
        """Without the meter, and with counting off, Now says so instead of
        showing zeros, and no alarm stays raised; both come back by
        themselves. The page's timers are stopped first: all of it comes from
        the meter's signals and its name changing hands."""
        page = self.root
        page.evaluate(STOP_TIMERS)
        figures_hidden = "document.getElementById('now-figures').hidden"
        self.stack.stop("transfer")
        self.stack.transfer(1_000_000, 5_000_000, linger=0)  # over the 5 MiB set above
        page.wait_for("!!document.querySelector('#alarm-banners [data-kind=overall]')", 15, "a new alarm")
        eventually(lambda: now_matches(self.stack, page), 15, "Now to follow the transfer")
        self.stack.stop("meter", signal.SIGKILL)  # gone without an AlarmCleared
        message = page.wait_for(f"{figures_hidden} && !document.querySelector('#alarm-banners > *') && "
                                "document.getElementById('now-message').textContent",
                                10, "the meter's absence")
        if "not running" not in message:
            raise AssertionError(f"without the meter, Now says {message!r}")
        expect_clean(page, "meter gone")
        self.stack.start_meter()
        eventually(lambda: now_matches(self.stack, page), 15, "Now to come back with the meter")
        self.stack.service("setNetmonitorStatus", "i", 0)
        message = page.wait_for(f"{figures_hidden} && document.getElementById('now-message').textContent",
                                15, "counting switched off")
        if "switched off" not in message:
            raise AssertionError(f"with counting off, Now says {message!r}")
        self.stack.service("setNetmonitorStatus", "i", 1)
        eventually(lambda: now_matches(self.stack, page), 15, "Now after counting is on again")
        expect_clean(page, "counting on again")

    def run(self):
        stack = self.stack
        stack.start_netns()
        stack.start_bus()
        stack.seed(SETTINGS)
        stack.start_meter()
        self.browser = Browser()
        self.root = self.open_page("root")
        cases = [self.absent_then_started, self.transfer_and_alarm, self.figures_equal_bus,
                 self.tables_sort_and_explain, self.settings_root_and_nobody, self.bus_activation,
                 self.meter_stopped_and_counting_off]
        failed = 0
        for case in cases:
            started = time.monotonic()
            try:
                case()
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
            shutil.copytree(self.shots, self.args.screenshots)
        print(f"{len(cases) - failed} passed, {failed} failed")
        return failed == 0

    def close(self):
        if self.browser:
            self.browser.close()
        self.stack.close()


if __name__ == "__main__":
    check_host()
    test = PageTest(parse_args())
    try:
        ok = test.run()
    finally:
        test.close()
    sys.exit(0 if ok else 1)
