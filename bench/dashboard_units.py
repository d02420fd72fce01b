"""How long the control page takes per update with many units: varnel-emu with N units on
loopback TCP (default 1000), the page in headless chromium, PC peers on four units (the chosen one
among them) each sending 50 requests a second, the list searched and paged meanwhile. Prints the
page's own figures and exits: per kind of update, how long it held the page (reading what the API
answered, the script that draws it and the layout it causes), p50, p99 and the longest, and the
share of that time spent in script rather than layout. Reading the event stream is timed too, on
its own row, outside "every update". Then the frames the browser found long (over 50 ms, style,
layout and paint included, which the page's own timer does not see) and the browser's totals.

    /usr/bin/python3 bench/dashboard_units.py build/bin/varnel-emu [UNITS] [SECONDS]
"""

import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
from selenium.webdriver.common.by import By

GET_TIME = bytes.fromhex("5AA51234020000EE03")


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1400,1000", "--user-data-dir=" + profile):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)


def click(driver, css):
    # The page may redraw the element between finding and clicking it.
    for _ in range(200):
        try:
            driver.find_element(By.CSS_SELECTOR, css).click()
            return
        except (NoSuchElementException, StaleElementReferenceException):
            time.sleep(0.05)
    raise RuntimeError("never could click " + css)


# Requests per second each peer sends.
RATE = 50


def drive(endpoint, stop, counts):
    host, port = endpoint.split(":")[1:]
    with socket.create_connection((host, int(port)), timeout=5) as line:
        while not stop.is_set():
            time.sleep(1.0 / RATE)
            line.sendall(GET_TIME)
            if len(line.recv(64)) > 0:
                counts.append(1)


def load_average():
    with open("/proc/loadavg") as handle:
        return handle.read().split()[0]


def percentile(values, fraction):
    return values[min(len(values) - 1, int(len(values) * fraction))][0]


# Requests sent to the chosen unit before the page opens: a request and its reply are two events.
PREFILL = 2600


def prefill(endpoint, count):
    host, port = endpoint.split(":")[1:]
    with socket.create_connection((host, int(port)), timeout=5) as line:
        for _ in range(count):
            line.sendall(GET_TIME)
            line.recv(64)


def main():
    binary = os.path.abspath(sys.argv[1])
    units = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 15.0
    load_before = load_average()
    folder = tempfile.mkdtemp(prefix="varnel-dashboard-bench-")
    try:
        with open(os.path.join(folder, "units.json"), "w") as handle:
            json.dump({"units": [{"endpoint": "tcp:127.0.0.1:0"} for _ in range(units)]}, handle)
        emu = subprocess.Popen([binary, "--control", "127.0.0.1:0", "--units", "units.json"], cwd=folder,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                               env=dict(os.environ, LC_ALL="C.UTF-8"))
        url = None
        for raw in emu.stdout:
            match = re.search(r"CONTROL (http://\S+)", raw.decode("utf-8", "replace"))
            if match:
                url = match.group(1)
                break
        threading.Thread(target=lambda: [None for _ in emu.stdout], daemon=True).start()
        listed = json.loads(urllib.request.urlopen(url + "/units", timeout=30).read())
        print("%d units listening" % len(listed))
        # The chosen unit's journal past the page's cap before the page opens: it reads the newest
        # rows and drops the oldest with every update from the first.
        prefill(listed[0]["endpoint"], PREFILL)
        driver = browser(os.path.join(folder, "profile"))
        try:
            driver.execute_cdp_cmd("Performance.enable", {})
            driver.get(url + "/")
            click(driver, "#units tbody tr")
            stop = threading.Event()
            counts = []
            peers = [threading.Thread(target=drive, args=(listed[i]["endpoint"], stop, counts), daemon=True)
                     for i in (0, 1, units // 2, units - 1)]
            for peer in peers:
                peer.start()
            search = driver.find_element(By.ID, "unit-search")
            end = time.monotonic() + seconds
            step = 0
            while time.monotonic() < end:
                time.sleep(1.0)
                step += 1
                if step % 3 == 0:
                    search.clear()
                    search.send_keys(listed[(step * 37) % units]["endpoint"].rsplit(":", 1)[1][:3])
                elif step % 3 == 1:
                    search.clear()
                    click(driver, "#page-next")
            stop.set()
            stats = driver.execute_script("return window.varnelStats")
            print("page says: %r, stream %r" % (driver.find_element(By.ID, "message").text,
                                                 driver.find_element(By.ID, "stream-state").text))
            kept = driver.execute_script("return page.events.length")
            metrics = {m["name"]: m["value"] for m in driver.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]}
        finally:
            driver.quit()
            emu.terminate()
            emu.wait(30)
        print("%d requests answered in %.0f s; %d journal events kept by the page" % (len(counts), seconds, kept))
        print("load average before: %s, while measuring: %s" % (load_before, load_average()))
        by_kind = {}
        for kind, ms, script in stats["samples"]:
            by_kind.setdefault(kind, []).append((ms, script))
            # Reading the event stream is not an update of the page: it has its own row.
            if kind != "stream":
                by_kind.setdefault("every update", []).append((ms, script))
        # The browser's own totals for the whole run: what the main thread did.
        print("browser: %d layouts %.0f ms, %d style recalcs %.0f ms, script %.0f ms, all tasks %.0f ms" % (
            metrics["LayoutCount"], 1000 * metrics["LayoutDuration"], metrics["RecalcStyleCount"],
            1000 * metrics["RecalcStyleDuration"], 1000 * metrics["ScriptDuration"], 1000 * metrics["TaskDuration"]))
        frames = sorted(stats.get("longFrames", []), reverse=True)
        print("frames over 50 ms: %d, over 100 ms: %d%s" % (
            len(frames), sum(1 for f in frames if f[0] > 100),
            ", longest %.0f ms (%.0f ms of it style, layout and paint) %.1f s after the page opened" % (
                frames[0][0], frames[0][1], frames[0][2] / 1000) if frames else ""))
        if frames:
            print("frames over 50 ms, s after the page opened: %s" % " ".join(
                "%.1f" % (f[2] / 1000) for f in sorted(frames, key=lambda f: f[2])))
        print("%-15s %6s %9s %9s %9s %8s" % ("update", "count", "p50", "p99", "max", "script"))
        for kind, values in sorted(by_kind.items()):
            values.sort()
            share = sum(script for _, script in values) / max(1e-9, sum(ms for ms, _ in values))
            print("%-15s %6d %6.1f ms %6.1f ms %6.1f ms %7.0f%%" % (
                kind, len(values), percentile(values, 0.50), percentile(values, 0.99), values[-1][0],
                100 * share))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
