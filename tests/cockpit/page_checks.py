"""Reads the page's sections from the DOM as the browser shows them and
compares them with what the bus answers; a figure in human units is checked
against the number of bytes it stands for."""
import datetime
import json
import re

GIB = 1 << 30

UNITS = {"B": 1, "KiB": 1 << 10, "MiB": 1 << 20, "GiB": 1 << 30, "TiB": 1 << 40}
FIGURE = re.compile(r"(\d+(?:\.\d+)?) (B|KiB|MiB|GiB|TiB)(/s)?")

READ_NOW = """(() => {
    const text = id => document.getElementById(id).textContent;
    const shown = id => document.getElementById(id).hidden ? null : text(id);
    return { message: shown('now-message'), hour: text('now-hour'), recv: text('now-recv'),
             sent: text('now-sent'), total: text('now-total'), peak: text('now-peak'),
             counting: text('now-counting'), uncounted: shown('now-uncounted') };
})()"""

READ_SLOTS = """[...document.querySelectorAll('#hours-chart g.slot')].map(g => ({
    time: g.dataset.time, recv: g.dataset.recv ?? null, sent: g.dataset.sent ?? null,
    current: g.classList.contains('current'), title: g.querySelector('title').textContent }))"""

READ_TOP10 = """[...document.querySelectorAll('#top10-list li')].map(li => ({
    app: li.dataset.app, text: li.textContent, width: li.querySelector('.vx-rank-bar').style.width }))"""

READ_SETTINGS = """(() => {
    const checked = key => document.getElementById('switch-' + key).checked;
    const value = name => document.getElementById('threshold-' + name).value;
    return { count: checked('count'), overall_on: checked('overall'), egress_on: checked('egress'),
             ingress_on: checked('ingress'), overall: value('overall'), egress: value('egress'),
             ingress: value('ingress'), period: value('period'),
             status: document.getElementById('settings-status').textContent };
})()"""

# Everything a person can read: the text, hidden parts included, the chart's
# hover titles and the cells' tooltips.
READ_ALL_TEXT = """[document.body.textContent,
    ...[...document.querySelectorAll('title')].map(t => t.textContent),
    ...[...document.querySelectorAll('[title]')].map(e => e.title)].join('\\n')"""


def table_rows(page, table_id):
    return page.evaluate(f"[...document.querySelectorAll('#{table_id} tbody tr')]"
                         ".map(tr => [...tr.cells].map(cell => cell.textContent))")


def bytes_shown(text):
    """The bytes that TEXT ("1.5 MiB", "3 B/s") stands for, and the size of
    its last shown digit."""
    match = FIGURE.fullmatch(text.strip())
    if not match:
        raise AssertionError(f"not a figure in human units: {text!r}")
    value, unit = float(match.group(1)), UNITS[match.group(2)]
    last_digit = unit if match.group(2) == "B" else unit / 10
    return value * unit, last_digit, value


def shows(text, expected_bytes):
    """TEXT shows EXPECTED_BYTES, rounded, in the largest unit below it."""
    shown, last_digit, value = bytes_shown(text)
    if abs(shown - expected_bytes) > last_digit / 2 + 1e-6:
        return False
    # 1023.9 KiB would be right but not human: the value stays below 1024.
    return value < 1024 or shown >= (1 << 40)


def expect_shows(what, text, expected_bytes):
    if not shows(text, expected_bytes):
        raise AssertionError(f"{what}: the page shows {text!r} for {expected_bytes} bytes")


def expect_equal(what, expected, actual):
    if expected != actual:
        raise AssertionError(f"{what}: expected {json.dumps(expected)}, got {json.dumps(actual)}")


def now_matches(stack, page):
    """Now shows the meter's current hour."""
    hour = stack.current_hour()
    if "time" not in hour:  # counting is off, or not yet on again
        return False
    shown = page.evaluate(READ_NOW)
    return (shown["hour"].startswith(f"{hour['time'][11:]}, {hour['mins']} of 60") and
            shows(shown["recv"], hour["recv"]) and shows(shown["sent"], hour["sent"]) and
            shows(shown["total"], hour["recv"] + hour["sent"]) and
            shows(shown["peak"].removesuffix("/s"), hour["total_peak"] * 1024) and
            shown["counting"] == "On" and shown["message"] is None and
            # the warning of a full table of sockets, only while there is one
            (shown["uncounted"] is None) == (hour.get("uncounted_packets", 0) == 0))

def tables_match(stack, page, tables=("apps-table", "processes-table")):
    """The tables show the snapshots, row by row in the bus's order."""
    for method, table, columns in (
            ("getAllAppNetflow", "apps-table", ["app", "up", "down", "up_rate", "down_rate"]),
            ("getAllProcessNetflow", "processes-table",
             ["pid", "name", "app", "up", "down", "up_rate", "down_rate"])):
        if table not in tables:
            continue
        expected, rows = stack.service(method), table_rows(page, table)
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

def chart_matches(stack, page, days, count):
    """The chart has COUNT slots ending with the counting hour (or day), a
    bar where the bus has a row, with its figures and its hover text."""
    slots = page.evaluate(READ_SLOTS)
    if len(slots) != count:
        return False
    rows = stack.service("getRecentData", "i", days)
    hour = stack.current_hour()
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

def expect_settings(stack, page, **override):
    """The switches and fields show what the getters answer (or OVERRIDE)."""
    service = stack.service
    expected = {"count": service("getNetmonitorStatus") == 1,
                "period": str(service("getNetmonitorThreshold")["period"])}
    for name, getter in (("overall", "Netmonitor"), ("egress", "Egress"), ("ingress", "Ingress")):
        expected[f"{name}_on"] = service(f"get{getter}AlarmStatus") == 1
        expected[name] = str(service(f"get{getter}Threshold")["size"])
    expected.update(override)
    shown = page.evaluate(READ_SETTINGS)
    del shown["status"]
    expect_equal("the settings shown", expected, shown)
    return expected


def expect_clean(page, state):
    """No exception thrown, no NaN, undefined or the like anywhere on PAGE."""
    exceptions = page.exceptions()
    if exceptions:
        raise AssertionError(f"{state}: the page threw {exceptions}")
    text = page.evaluate(READ_ALL_TEXT)
    for word in ("NaN", "undefined", "[object", "Infinity"):
        if word in text:
            line = next(line for line in text.splitlines() if word in line)
            raise AssertionError(f"{state}: {word!r} on the page: {line.strip()!r}")


def apply_thresholds(page, **values):
    """Types VALUES into the threshold fields, applies them and returns the
    status line that answers."""
    for name, value in values.items():
        page.evaluate(f"document.getElementById('threshold-{name}').value = {value!r}")
    page.evaluate("document.getElementById('settings-status').textContent = ''")
    page.evaluate("document.getElementById('thresholds-apply').click()")
    return page.wait_for("document.getElementById('settings-status').textContent", 10,
                         "the settings' status line")


def expect_top10(stack, page):
    """The ranking holds getRecentTop10(7)'s applications in its order, with
    their totals, the first bar full."""
    top10 = stack.service("getRecentTop10", "i", 7)
    shown = page.evaluate(READ_TOP10)
    expect_equal("the top ten's applications", [entry["app"] for entry in top10],
                 [entry["app"] for entry in shown])
    for entry, item in zip(top10, shown):
        if f"{entry['tot']:.2f} GiB" not in item["text"]:
            raise AssertionError(f"top ten: {item['text']!r} for {entry}")
    expect_equal("the top ten's first bar", "100%", shown[0]["width"])
    expect_equal("markup of a name as elements, its script run",
                 [0, False], page.evaluate("[document.querySelectorAll('#top10-list img').length, "
                                           "window.vxInjected === 1]"))
