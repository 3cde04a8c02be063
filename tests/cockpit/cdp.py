"""Headless Chromium driven over the DevTools protocol on a pipe (file
descriptors 3 and 4, messages ending in a NUL byte), with the standard
library alone. One Browser, a Page per tab; every exception the page throws
is collected."""
import base64
import json
import os
import select
import shutil
import subprocess
import tempfile
import time


class BrowserError(Exception):
    pass


class Browser:
    def __init__(self, executable="chromium"):
        self.profile = tempfile.mkdtemp(prefix="vexmora-chromium-")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        # The browser reads commands on 3 and writes on 4.
        self.process = subprocess.Popen(
            [executable, "--headless=new", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--disable-quic", "--disable-extensions", "--mute-audio",
             f"--user-data-dir={self.profile}", "about:blank"],
            pass_fds=(3, 4), preexec_fn=lambda: (os.dup2(to_browser_r, 3), os.dup2(from_browser_w, 4)),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=dict(os.environ, HOME=self.profile))
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buffer = b""
        self._next_id = 0
        self.events = []

    def close(self):
        try:
            self.send("Browser.close", timeout=5)
            self.process.wait(timeout=10)
        except (BrowserError, OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)
        shutil.rmtree(self.profile, ignore_errors=True)

    def _read_message(self, deadline):
        while b"\0" not in self._buffer:
            if time.monotonic() > deadline:
                raise BrowserError("the browser did not answer in time")
            ready, _, _ = select.select([self._from_browser], [], [], max(0, deadline - time.monotonic()))
            if not ready:
                continue
            chunk = os.read(self._from_browser, 1 << 20)
            if not chunk:
                raise BrowserError(f"the browser ended (status {self.process.poll()})")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def send(self, method, params=None, session=None, timeout=30):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise BrowserError(f"{method}: {reply['error']}")
                return reply["result"]
            if "method" in reply:
                self.events.append(reply)

    def pump(self, seconds=0.0):
        """Takes in the events that arrived, waiting up to SECONDS for more."""
        deadline = time.monotonic() + seconds
        try:
            while True:
                self.events.append(self._read_message(deadline))
        except BrowserError:
            if self.process.poll() is not None:
                raise

    def new_page(self, width=1280, height=900):
        context = self.send("Target.createBrowserContext")["browserContextId"]
        target = self.send("Target.createTarget", {"url": "about:blank", "browserContextId": context})
        session = self.send("Target.attachToTarget", {"targetId": target["targetId"], "flatten": True})
        page = Page(self, session["sessionId"])
        page.send("Runtime.enable")
        page.send("Page.enable")
        page.send("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        return page


class Page:
    def __init__(self, browser, session):
        self.browser = browser
        self.session = session

    def send(self, method, params=None, timeout=30):
        return self.browser.send(method, params, self.session, timeout)

    def exceptions(self):
        """The exceptions the page threw and did not catch, as texts."""
        self.browser.pump()
        found = []
        for event in self.browser.events:
            if event.get("sessionId") == self.session and event["method"] == "Runtime.exceptionThrown":
                details = event["params"]["exceptionDetails"]
                found.append(details.get("exception", {}).get("description") or details.get("text"))
        return found

    def navigate(self, url):
        self.send("Page.navigate", {"url": url})

    def evaluate(self, expression):
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in result:
            raise BrowserError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression, timeout=15, what=None):
        """Polls EXPRESSION until it is truthy and returns its value."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                value = self.evaluate(expression)
            except BrowserError:
                value = None
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError(f"waited {timeout} s for {what or expression}")
            time.sleep(0.05)

    def screenshot(self, path, selector=None):
        params = {"format": "png", "captureBeyondViewport": True}
        if selector:
            box = self.evaluate(f"(() => {{ const r = document.querySelector({json.dumps(selector)})"
                                ".getBoundingClientRect(); return [r.x + scrollX, r.y + scrollY, r.width, "
                                "r.height]; })()")
            params["clip"] = {"x": box[0], "y": box[1], "width": box[2], "height": box[3], "scale": 1}
        data = self.send("Page.captureScreenshot", params)["data"]
        with open(path, "wb") as file:
            file.write(base64.b64decode(data))
