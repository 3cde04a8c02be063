"""What the page runs against: a private bus with the package's policy, the
real vexmorad and vexmora-meter on it (the meter in a network namespace of
its own, counting a veth pair), and Cockpit's web server without a login,
one per browser session, as root or as nobody."""
import argparse
import json
import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

PYTHON = "/usr/bin/python3"
HARNESS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "meter",
                       "netns_e2e_lib.sh")


# Markup in an application's name: the page must show it as text.
HOSTILE_APP = '<img src=x onerror="window.vxInjected=1">'


def eventually(condition, timeout=10.0, what="a condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"waited {timeout} s for {what}")
        time.sleep(0.1)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Stack:
    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="vexmora-cockpit-")
        os.chmod(self.work, 0o755)  # nobody's bridge reaches the bus and the page
        self.tag = f"vxc{os.getpid() % 100000}"
        self.ns_a, self.ns_b = f"{self.tag}-a", f"{self.tag}-b"
        self.bus = f"unix:path={self.work}/bus"
        self.processes = {}
        self.logs = {}
        self.netns_ready = False
        self.cgroups = []

    # -- processes -------------------------------------------------------
    def spawn(self, name, command, env=None):
        log = open(os.path.join(self.work, f"{name}.log"), "ab")
        self.logs[name] = log.name
        self.processes[name] = subprocess.Popen(
            command, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            env=env or dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.bus), start_new_session=True)
        log.close()
        return self.processes[name]

    def stop(self, name, sig=signal.SIGTERM):
        process = self.processes.pop(name, None)
        if process and process.poll() is None:
            os.killpg(process.pid, sig)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()

    def log(self, name):
        with open(self.logs[name], errors="replace") as file:
            return file.read()

    def close(self):
        for name in list(self.processes):
            self.stop(name)
        for directory in self.cgroups:
            eventually(lambda: self._removed(directory), what=f"{directory} to go")
        if self.netns_ready:
            for ns in (self.ns_a, self.ns_b):
                subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.work, ignore_errors=True)

    # -- the system ------------------------------------------------------
    def start_netns(self):
        """The two namespaces and their veth pair, by the end-to-end scripts' harness."""
        self.netns_ready = True
        for arguments in (("add_netns", self.ns_a, self.ns_b),
                          ("veth", self.ns_a, f"{self.tag}a", "10.203.0.1", self.ns_b,
                           f"{self.tag}b", "10.203.0.2")):
            subprocess.run(["bash", HARNESS, *arguments], check=True)

    def start_bus(self):
        """The package's bus configuration and a directory of activatable
        services, empty until enable_activation()."""
        self.services = os.path.join(self.work, "services")
        os.makedirs(self.services)
        with open(self.args.bus_config) as file:
            config = file.read().replace(
                "</busconfig>", f"  <servicedir>{self.services}</servicedir>\n</busconfig>")
        with open(os.path.join(self.work, "bus.conf"), "w") as file:
            file.write(config)
        self.spawn("bus", ["dbus-daemon", f"--config-file={self.work}/bus.conf",
                           f"--address={self.bus}", "--nofork"])
        eventually(lambda: os.path.exists(f"{self.work}/bus"), what="the private bus")

    def enable_activation(self):
        """From now on the bus starts vexmorad when a call needs it."""
        with open(os.path.join(self.services, f"{self.args.service_name}.service"), "w") as file:
            file.write(f"[D-BUS Service]\nName={self.args.service_name}\nUser=root\n"
                       f"Exec=/usr/bin/env DBUS_SYSTEM_BUS_ADDRESS={self.bus} {self.args.vexmorad}\n")

    def seed(self, settings):
        """A fresh state directory: SETTINGS as setting.conf, then sample
        hours and application days through vexmora-store."""
        state = self.args.state_dir
        shutil.rmtree(state, ignore_errors=True)
        os.makedirs(state)
        with open(os.path.join(state, "setting.conf"), "w") as file:
            file.write("[Ostvane]\n" + "".join(f"{key}={value}\n" for key, value in settings.items()))
        store = [self.args.store]
        subprocess.run([self.args.fill_demo, *store, state], check=True, capture_output=True)
        # A name as a local user may give a program, yesterday's busiest; and
        # the busiest of all, 20 days back: outside the top ten of 7 days.
        for name, days_back, gib in ((HOSTILE_APP, 1, 6), ("old-backup", 20, 9)):
            subprocess.run([*store, "add-app", name, str(10 * gib << 30), str(gib << 30)], check=True,
                           capture_output=True)
            with sqlite3.connect(os.path.join(state, "netflow.db")) as db:
                db.execute("UPDATE app_data SET time = date('now', ?) WHERE pkgname = ?",
                           (f"-{days_back} day", name))
        for hours_back, recv_mib, sent_mib in ((24 * 5 + 3, 700, 90), (24 * 20 + 7, 2300, 410)):
            hour = time.strftime("%Y-%m-%d %H:00", time.localtime(time.time() - hours_back * 3600))
            subprocess.run([*store, "save-hour", hour, "60", str(recv_mib << 20), str(sent_mib << 20),
                            "900", "150", "1000"], check=True, capture_output=True)

    def start_service(self):
        self.spawn("vexmorad", [self.args.vexmorad])
        eventually(lambda: self.owner(self.args.service_name), what="vexmorad on the bus")

    def start_meter(self):
        self.spawn("meter", ["ip", "netns", "exec", self.ns_a, self.args.meter, "--interval=0.2",
                             f"--interfaces={self.tag}a"])
        eventually(lambda: self.owner(self.args.meter_name), what="the meter on the bus")

    def transfer(self, receive, send, linger, script=None, machine=None):
        """A named program (tcp_transfer.py, or a link to it named SCRIPT) in
        the first namespace that receives and sends over one connection, and
        stays LINGER seconds; in MACHINE's cgroup, as systemd-nspawn places a
        container's processes, when given."""
        program = self.args.transfer
        if script:
            program = os.path.join(self.work, script)
            os.symlink(self.args.transfer, program)
        command = ["ip", "netns", "exec", self.ns_a, PYTHON, program, "10.203.0.1",
                   self.ns_b, str(receive), str(send), "1", str(linger)]
        if machine:
            command = ["sh", "-c", 'echo $$ >"$0/cgroup.procs" && exec "$@"',
                       self.machine_scope(machine), *command]
        name = "machine-transfer" if machine else "transfer" if script is None else "named-transfer"
        return self.spawn(name, command)

    def machine_scope(self, machine):
        """The cgroup of MACHINE's processes, removed with the stack."""
        mount = subprocess.run(["findmnt", "-n", "-t", "cgroup2", "-o", "TARGET"], check=True,
                               capture_output=True, text=True).stdout.split("\n")[0]
        scope = os.path.join(mount, "machine.slice", f"machine-{machine}.scope")
        for directory in (os.path.dirname(scope), scope):
            if not os.path.isdir(directory):
                os.mkdir(directory)
                self.cgroups.insert(0, directory)
        return scope

    def start_cockpit(self, name, as_nobody=False):
        """cockpit-ws without TLS or login on 127.0.0.1; its bridge runs as
        root, or as nobody, with the private bus as system bus."""
        data = os.path.join(self.work, "data")
        os.makedirs(os.path.join(data, "cockpit"), exist_ok=True)
        # A copy, not a link: nobody's bridge may not reach into the build tree.
        page = os.path.join(data, "cockpit", "vexmora")
        if not os.path.exists(page):
            shutil.copytree(self.args.page_dir, page)
        home = os.path.join(self.work, f"home-{name}")
        os.makedirs(home, exist_ok=True)
        port = free_port()
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home,
               "DBUS_SYSTEM_BUS_ADDRESS": self.bus, "DBUS_SESSION_BUS_ADDRESS": self.bus,
               "SSH_AUTH_SOCK": os.path.join(self.work, "none"), "XDG_DATA_HOME": data}
        command = ["/usr/lib/cockpit/cockpit-ws", "--no-tls", "--local-session=cockpit-bridge",
                   "--port", str(port), "--address", "127.0.0.1"]
        if as_nobody:
            os.chown(home, 65534, 65534)
            command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", *command]
        self.spawn(name, command, env)
        eventually(lambda: self._listening(port), what=f"cockpit-ws ({name})")
        return f"http://127.0.0.1:{port}/cockpit/@localhost/vexmora/index.html"

    @staticmethod
    def _removed(directory):
        try:
            os.rmdir(directory)
            return True
        except OSError:
            return False

    @staticmethod
    def _listening(port):
        with socket.socket() as probe:
            return probe.connect_ex(("127.0.0.1", port)) == 0

    # -- the bus, as a client -------------------------------------------
    def owner(self, name):
        result = subprocess.run(["busctl", f"--address={self.bus}", "status", name],
                                capture_output=True, text=True)
        return result.returncode == 0

    def call(self, name, path, iface, method, signature="", *args):
        """The first value of the reply, JSON text decoded."""
        command = ["busctl", f"--address={self.bus}", "--json=short", "call", name, path, iface, method]
        if signature:
            command += [signature, *map(str, args)]
        result = subprocess.run(command, capture_output=True, text=True, check=True)
        value = json.loads(result.stdout)["data"][0]
        return json.loads(value) if isinstance(value, str) else value

    def service(self, method, signature="", *args):
        a = self.args
        return self.call(a.service_name, a.object_path, a.interface, method, signature, *args)

    def current_hour(self):
        a = self.args
        return self.call(a.meter_name, a.meter_object_path, a.meter_interface, "GetCurrentHour")


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


def parse_args():
    parser = argparse.ArgumentParser(description="The page's tests and measures on this stack")
    for name in ("bus-config", "state-dir", "fill-demo", "store", "vexmorad", "meter", "transfer",
                 "page-dir", "service-name", "object-path", "interface", "meter-name",
                 "meter-object-path", "meter-interface", "admin-group"):
        parser.add_argument(f"--{name}", required=True)
    parser.add_argument("--screenshots")
    return parser.parse_args()
