#!/usr/bin/env python3
"""Loads pages in headless Chromium (Debian's chromium package) and saves what it showed.

    browse.py URL SCREENSHOT.png DOM.html BEARER-TOKEN|- [URL SCREENSHOT.png DOM.html TOKEN|-]...

The browser is driven over its DevTools pipe (--remote-debugging-pipe), so a page can be
requested with an Authorization header ("-": none). For each page, in a tab of its own, prints
"status N" for its HTTP status and writes a screenshot of the whole page and the DOM as the
browser built it. Exits 1 when the pages could not be loaded within the time limit.
"""
import base64
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile

TIME_LIMIT = 60


class Browser:
    def __init__(self, profile, log):
        to_browser, self.commands = os.pipe()
        self.events, from_browser = os.pipe()

        def pipes_as_fd_3_and_4():
            # Duplicated first: a pipe end may itself be fd 3 or 4.
            a, b = os.dup(to_browser), os.dup(from_browser)
            os.dup2(a, 3)
            os.dup2(b, 4)

        # As root Chromium needs --no-sandbox; without the background-networking switches it
        # tries to reach Google's services, which a closed network refuses.
        self.process = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-dev-shm-usage", "--hide-scrollbars", "--user-data-dir=" + profile,
             "--remote-debugging-pipe", "--window-size=1100,900", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log, close_fds=False,
            preexec_fn=pipes_as_fd_3_and_4, start_new_session=True)
        os.close(to_browser)
        os.close(from_browser)
        self.out = os.fdopen(self.commands, "wb")
        self.inp = os.fdopen(self.events, "rb")
        self.buffer = b""
        self.next_id = 0
        self.pending = []

    def receive(self):
        while b"\0" not in self.buffer:
            data = self.inp.read1(65536)
            if not data:
                raise RuntimeError("Chromium closed its DevTools pipe")
            self.buffer += data
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, params=None, session=None):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        self.out.write(json.dumps(message).encode() + b"\0")
        self.out.flush()
        while True:
            reply = self.receive()
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError("%s: %s" % (method, reply["error"]))
                return reply.get("result", {})
            self.pending.append(reply)

    def event(self, predicate):
        while True:
            message = self.pending.pop(0) if self.pending else self.receive()
            if predicate(message):
                return message

    def close(self):
        try:
            self.call("Browser.close")
            self.process.wait(timeout=10)
        except Exception:
            pass
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()


def load(browser, url, screenshot, dom, token):
    target = browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
    session = browser.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
    browser.call("Page.enable", session=session)
    browser.call("Network.enable", session=session)
    if token != "-":
        browser.call("Network.setExtraHTTPHeaders", {"headers": {"Authorization": "Bearer " + token}},
                     session=session)
    browser.call("Page.navigate", {"url": url}, session=session)
    status = None
    while True:
        message = browser.event(lambda m: m.get("sessionId") == session and
                                m.get("method") in ("Network.responseReceived", "Page.loadEventFired"))
        if message["method"] == "Network.responseReceived" and message["params"].get("type") == "Document":
            status = message["params"]["response"]["status"]
        if message["method"] == "Page.loadEventFired":
            break
    print("status %s" % status)
    html = browser.call("Runtime.evaluate", {"expression": "document.documentElement.outerHTML",
                                             "returnByValue": True}, session=session)["result"]["value"]
    with open(dom, "w", encoding="utf-8") as f:
        f.write(html)
    size = browser.call("Page.getLayoutMetrics", session=session)["cssContentSize"]
    shot = browser.call("Page.captureScreenshot",
                        {"format": "png", "captureBeyondViewport": True,
                         "clip": {"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1}},
                        session=session)
    with open(screenshot, "wb") as f:
        f.write(base64.b64decode(shot["data"]))
    browser.call("Target.closeTarget", {"targetId": target})


def main():
    pages = sys.argv[1:]
    if not pages or len(pages) % 4:
        print(__doc__, file=sys.stderr)
        return 2
    profile = tempfile.mkdtemp(prefix="qv-chromium-")
    log = open(pages[1] + ".chromium.log", "w")
    browser = None

    def give_up(signum, frame):
        raise RuntimeError("the pages did not load within %d s" % TIME_LIMIT)

    signal.signal(signal.SIGALRM, give_up)
    signal.alarm(TIME_LIMIT)
    try:
        browser = Browser(profile, log)
        for i in range(0, len(pages), 4):
            load(browser, *pages[i:i + 4])
        return 0
    except Exception as e:
        print("browse.py: %s" % e, file=sys.stderr)
        return 1
    finally:
        signal.alarm(0)
        if browser:
            browser.close()
        log.close()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
