"""Measures the Cockpit page for docs/PERFORMANCE.md, on the same stack as
the browser test (same arguments; ctest -R cockpit.page -V prints them):
the time from navigation to a page with every section filled, the service's
CPU time per five-second refresh, and the size of what the package ships.

    measure_page.py [--loads N] [--seconds S] ARGUMENTS-OF-page_test.py...
"""
import gzip
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "cockpit"))
import page_test  # noqa: E402
from cdp import Browser  # noqa: E402
from stack import Stack, check_host, parse_args  # noqa: E402


def cpu_ns(pid):
    """Time on a CPU so far, in nanoseconds, of every thread of PID."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/schedstat") as file:
            total += int(file.read().split()[0])
    return total


def page_ready_times(browser, url, loads):
    """Navigation to ready, LOADS times, each in a new tab; the last tab
    stays open (the bridge ends some seconds after the last one closes)."""
    times = []
    for index in range(loads):
        page = browser.new_page()
        started = time.monotonic()
        page.navigate(url)
        page.wait_for(page_test.READY, 20)
        times.append(time.monotonic() - started)
        if index < loads - 1:
            page.send("Page.close")
    return times, page


def main():
    loads, seconds = 10, 120
    argv = sys.argv[1:]
    for option in ("--loads", "--seconds"):
        if option in argv:
            index = argv.index(option)
            value = int(argv[index + 1])
            del argv[index:index + 2]
            loads, seconds = (value, seconds) if option == "--loads" else (loads, value)
    sys.argv[1:] = argv
    args = parse_args()
    check_host()
    stack = Stack(args)
    browser = None
    try:
        stack.start_netns()
        stack.start_bus()
        stack.seed(page_test.SETTINGS)
        stack.start_meter()
        stack.start_service()
        service_pid = stack.processes["vexmorad"].pid
        before = cpu_ns(service_pid)
        time.sleep(seconds)
        idle = cpu_ns(service_pid) - before

        url = stack.start_cockpit("root")
        browser = Browser()
        times, page = page_ready_times(browser, url, loads)
        print(f"page ready: first {times[0]:.3f} s (the bridge starts), then median "
              f"{statistics.median(times[1:]):.3f} s, max {max(times[1:]):.3f} s of {loads - 1}")

        before = cpu_ns(service_pid)
        time.sleep(seconds)
        busy = cpu_ns(service_pid) - before
        refreshes = seconds / 5
        print(f"service CPU: {idle / 1e6:.2f} ms in {seconds} s without the page, {busy / 1e6:.2f} ms "
              f"with it open: {(busy - idle) / refreshes / 1e6:.3f} ms per 5 s refresh "
              "(the settings read every sixth refresh included)")

        shipped = [os.path.join(args.page_dir, name) for name in sorted(os.listdir(args.page_dir))
                   if name.endswith((".html", ".js", ".css"))]
        size = sum(os.path.getsize(path) for path in shipped)
        compressed = sum(len(gzip.compress(open(path, "rb").read(), 9)) for path in shipped)
        print(f"shipped page: {len(shipped)} files, {size} bytes ({size / 1024:.1f} KiB), "
              f"{compressed / 1024:.1f} KiB compressed with gzip -9")
    finally:
        if browser:
            browser.close()
        stack.close()


if __name__ == "__main__":
    main()
