"""Reads the page's sections from the DOM as the browser shows them, and
checks a figure in human units against the number of bytes it stands for."""
import json
import re

UNITS = {"B": 1, "KiB": 1 << 10, "MiB": 1 << 20, "GiB": 1 << 30, "TiB": 1 << 40}
FIGURE = re.compile(r"(\d+(?:\.\d+)?) (B|KiB|MiB|GiB|TiB)(/s)?")

READ_NOW = """(() => {
    const text = id => document.getElementById(id).textContent;
    return { message: document.getElementById('now-message').hidden ? null
                      : document.getElementById('now-message').textContent,
             hour: text('now-hour'), recv: text('now-recv'), sent: text('now-sent'),
             total: text('now-total'), peak: text('now-peak'), counting: text('now-counting') };
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
