"""meter_restarts_e2e.py METER STATE_DIR CASE: the real meter counting a veth
between two network namespaces under real traffic, stopped as CASE says; the
hour rows must hold what the kernel counted.

  crash-loop  30 SIGKILL and 10 SIGTERM at random moments, restarts 0-3 s
              later: rows equal to the kernel's counters to the byte, no row
              claiming a minute no meter ran in, application rows adding up
              to the hour rows (plus the carry still to be taken off)
  stall       SIGSTOP for 30 s with a burst meanwhile: every byte credited to
              the hour sampling resumed in, no peak above the pace, the burst
              to its program
  reboot      a SIGKILL and the stored counters made another boot's: what
              moved until the restart is lost, nothing else

Needs root: skips (77) without it, except under CI=true."""
import os
import random
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def fail(why):
    sys.exit(f"FAIL: {why}")


def harness(*arguments):
    """A function of the shell scripts' harness: namespaces, veth pairs, counters."""
    return subprocess.run(["bash", os.path.join(HERE, "netns_e2e_lib.sh"), *arguments], check=True,
                          capture_output=True, text=True).stdout


class Link:
    """Namespaces A and B, the veth between them counted in A."""

    def __init__(self):
        tag = f"vxr{os.getpid()}"
        self.a, self.b, self.dev, self.peer = f"{tag}-a", f"{tag}-b", f"{tag}a", f"{tag}b"

    def create(self):
        harness("add_netns", self.a, self.b)
        harness("veth", self.a, self.dev, "10.202.0.1", self.b, self.peer, "10.202.0.2")

    def counters(self):
        return tuple(int(number) for number in harness("counters", self.a, self.dev).split())

    def close(self):
        for ns in (self.a, self.b):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)


class Meter:
    def __init__(self, program, link, interval):
        self.command = ["nsenter", f"--net=/run/netns/{link.a}", program,
                        f"--interval={interval}", f"--interfaces={link.dev}"]
        self.log = tempfile.TemporaryFile("w+")
        self.runs = []  # (started, ended) of every process, wall clock
        self.process = None

    def start(self):
        self.runs.append([time.time(), None])
        self.process = subprocess.Popen(self.command, stdout=self.log, stderr=subprocess.STDOUT,
                                        env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS="unix:path=/none"))

    def stop(self, how):
        self.process.send_signal(how)
        status = self.process.wait(timeout=30)
        self.runs[-1][1] = time.time()
        if how == signal.SIGTERM and status != 0:
            self.fail(f"exit status {status} after SIGTERM")

    def output(self):
        self.log.seek(0)
        return self.log.read()

    def fail(self, why):
        fail(f"{why}\n--- meter output:\n{self.output()[-4000:]}")


class Traffic:
    """traffic.py steady: one connection from A to B at a pace."""

    def __init__(self, link, rate):
        self.process = subprocess.Popen(
            ["nsenter", f"--net=/run/netns/{link.a}", "/usr/bin/python3",
             os.path.join(HERE, "traffic.py"), "steady", "10.202.0.1", link.b],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if self.process.stdout.readline().strip() != "connected":
            fail("no connection between the namespaces")
        self.say(f"rate {rate}")

    def say(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()

    def quiet(self):
        self.say("quiet")
        _, sent, received = self.process.stdout.readline().split()
        return int(sent), int(received)

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


class Database:
    def __init__(self, state):
        self.path = os.path.join(state, "netflow.db")
        with open("/proc/sys/kernel/random/boot_id") as boot_id:
            self.boot_id = boot_id.read().strip()

    def rows(self, query, *parameters):
        with sqlite3.connect(self.path, timeout=10) as db:
            return db.execute(query, parameters).fetchall()

    def wait_for_baseline(self, meter):
        for _ in range(100):
            try:
                if self.rows("SELECT boot_id FROM meter_baseline") == [(self.boot_id,)]:
                    return
            except sqlite3.Error:
                pass
            time.sleep(0.1)
        meter.fail("no baseline stored at the start")

    def totals(self):
        recv, sent = self.rows("SELECT TOTAL(recv), TOTAL(sent) FROM hour_data")[0]
        return int(recv), int(sent)


def hour_of(moment):
    return time.strftime("%Y-%m-%d %H:00", time.localtime(moment))


def minutes_run(runs):
    """The minutes of each hour in which some meter ran."""
    minutes = {}
    for started, ended in runs:
        for minute in range(int(started // 60), int(ended // 60) + 1):
            minutes.setdefault(hour_of(minute * 60), set()).add(minute)
    return minutes


def check_rows_equal_kernel(db, meter, before, after):
    moved = (after[0] - before[0], after[1] - before[1])
    if db.totals() != moved:
        meter.fail(f"the kernel counted {moved}, the hour rows hold {db.totals()}")
    return moved


def check_app_rows_add_up(db, meter, moved, runs):
    """The program's and the unattributed rows hold every byte of the hour
    rows once, plus the attributed bytes beyond them carried to be taken off
    later; a UTC day that ended in the run keeps those, its rows may hold more."""
    apps = {name: (int(recv), int(sent)) for name, recv, sent in db.rows(
        "SELECT pkgname, TOTAL(recv), TOTAL(sent) FROM app_data GROUP BY pkgname")}
    program = apps.pop("traffic.py", (0, 0))
    unattributed = apps.pop("(unattributed)", (0, 0))
    carry = db.rows("SELECT TOTAL(recv), TOTAL(sent) FROM meter_app_carry")[0]
    expected = tuple(int(m + c) for m, c in zip(moved, carry))
    held = (program[0] + unattributed[0], program[1] + unattributed[1])
    day_ended = int(runs[0][0] // 86400) != int(runs[-1][1] // 86400)
    if apps or not (held == expected or day_ended and all(h >= e for h, e in zip(held, expected))):
        meter.fail(f"the hour rows hold {moved}, the stored carry {carry}; the program's rows"
                   f" {program}, the unattributed {unattributed}, others {apps}")
    return program, unattributed, carry


def start_counting(link, meter, db, rate):
    """The veth's counters before the meter started and stored its baseline; the traffic."""
    before = link.counters()
    meter.start()
    db.wait_for_baseline(meter)
    return before, Traffic(link, rate)


def crash_loop(link, meter, db):
    rng = random.Random(os.environ.get("VEXMORA_SEED", str(time.time_ns())))
    stops = [signal.SIGKILL] * 30 + [signal.SIGTERM] * 10
    rng.shuffle(stops)
    before, traffic = start_counting(link, meter, db, 2000000)
    unseen = 0  # what moved while no meter ran
    for how in stops:
        time.sleep(rng.uniform(0.2, 2.5))
        meter.stop(how)
        down = link.counters()
        time.sleep(rng.uniform(0, 3))
        up = link.counters()
        unseen += up[0] - down[0] + up[1] - down[1]
        meter.start()
    traffic.quiet()
    traffic.close()
    time.sleep(1.5)
    meter.stop(signal.SIGTERM)
    moved = check_rows_equal_kernel(db, meter, before, link.counters())
    program, unattributed, carry = check_app_rows_add_up(db, meter, moved, meter.runs)
    allowed = minutes_run(meter.runs)
    minutes = [(hour, mins, len(allowed.get(hour, ()))) for hour, mins in
               db.rows("SELECT time, mins FROM hour_data")]
    if any(claimed > ran for _, claimed, ran in minutes):
        meter.fail(f"(hour, minutes claimed, minutes a meter ran): {minutes}")
    print(f"crash loop: {len(stops)} stops in {meter.runs[-1][1] - meter.runs[0][0]:.0f} s; kernel"
          f" and rows {moved[0]} B received, {moved[1]} B sent; {unseen} B"
          f" ({100 * unseen / sum(moved):.0f} %) moved while no meter ran; (hour, minutes claimed,"
          f" minutes run) {minutes}; application rows: the program {program}, unattributed"
          f" {unattributed}, carried {carry}")


def stall(link, meter, db):
    pace = 200_000
    before, traffic = start_counting(link, meter, db, pace)
    time.sleep(3)
    meter.process.send_signal(signal.SIGSTOP)
    traffic.say("burst 60000000")
    time.sleep(30)
    meter.process.send_signal(signal.SIGCONT)
    resumed = time.time()
    time.sleep(3)
    sent, received = traffic.quiet()
    traffic.close()
    time.sleep(1)
    meter.stop(signal.SIGTERM)
    moved = check_rows_equal_kernel(db, meter, before, link.counters())
    if "No sample for 3" not in meter.output():
        meter.fail("the stall was not noticed")
    (resume_sent,), = db.rows("SELECT sent FROM hour_data WHERE time = ?", hour_of(resumed))
    if resume_sent < 60_000_000:
        meter.fail(f"the hour sampling resumed in holds {resume_sent} B sent")
    # KiB/s over a minute: the pace with room for headers and answers, far
    # below what the burst would make of one minute.
    limit = 2 * pace / 1024
    peaks = db.rows("SELECT MAX(recv_peak), MAX(sent_peak), MAX(total_peak) FROM hour_data")[0]
    if max(peaks) > limit:
        meter.fail(f"peaks {peaks} KiB/s, the traffic's pace allows {limit:.0f}")
    # The program is all of the veth's traffic, headers included.
    app = db.rows("SELECT recv, sent FROM app_data WHERE pkgname = 'traffic.py'")
    if not app or any(abs(row - kernel) > kernel / 1000 for row, kernel in zip(app[0], moved)):
        meter.fail(f"the veth moved {moved[0]} B in, {moved[1]} B out (the program's payload"
                   f" {received}/{sent} B); its rows: {app}")
    print(f"stall: 30 s stopped; kernel and rows {moved[0]} B received, {moved[1]} B sent;"
          f" the program's payload {received}/{sent} B, its rows {app[0]}; peaks {peaks} KiB/s")


def reboot(link, meter, db):
    before, traffic = start_counting(link, meter, db, 1000000)
    time.sleep(3)
    meter.stop(signal.SIGKILL)
    traffic.quiet()
    stored = db.rows("SELECT recv, sent FROM meter_baseline")[0]
    with sqlite3.connect(db.path) as connection:
        connection.execute("UPDATE meter_baseline SET boot_id = '4c1f93b0-another-boot'")
    at_restart = link.counters()
    meter.start()
    db.wait_for_baseline(meter)
    traffic.say("rate 1000000")
    time.sleep(2)
    traffic.quiet()
    traffic.close()
    time.sleep(1)
    meter.stop(signal.SIGTERM)
    after = link.counters()
    lost = (at_restart[0] - stored[0], at_restart[1] - stored[1])
    expected = (after[0] - before[0] - lost[0], after[1] - before[1] - lost[1])
    if lost[1] <= 0 or db.totals() != expected:
        meter.fail(f"rows {db.totals()}, expected {expected} (lost {lost})")
    if "another boot" not in meter.output():
        meter.fail("the other boot was not logged")
    print(f"reboot: {lost[0]} B received and {lost[1]} B sent after the stored counters not"
          f" credited; the rows hold the rest, {expected}")


def skip(why):
    if os.environ.get("CI") == "true":
        fail(why)
    print(f"SKIP: {why}")
    sys.exit(77)


def main():
    program, state, case = sys.argv[1:4]
    if os.geteuid() != 0:
        skip("needs root: network namespaces")
    subprocess.run(["rm", "-rf", state], check=True)
    os.makedirs(state)
    with open(os.path.join(state, "setting.conf"), "w") as settings:
        settings.write("[Ostvane]\nNETFLOW_COUNT_STATUS=1\n")
    link = Link()
    meter = Meter(program, link, "0.2" if case == "stall" else "0.5")
    try:
        try:
            link.create()
        except subprocess.CalledProcessError as error:
            skip(f"no network namespaces here: {error.stderr.strip()}")
        {"crash-loop": crash_loop, "stall": stall, "reboot": reboot}[case](
            link, meter, Database(state))
    finally:
        if meter.process and meter.process.poll() is None:
            meter.process.kill()
        link.close()


if __name__ == "__main__":
    main()
