"""How long the control page takes per update with many units: varnel-emu with N units on
loopback TCP (default 1000), the page in headless chromium, a PC peer on a few units sending
requests as fast as they are answered, the list searched and paged meanwhile. Prints the
page's own figures (each update's script and layout time) and exits.

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


def main():
    binary = os.path.abspath(sys.argv[1])
    units = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 15.0
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
        driver = browser(os.path.join(folder, "profile"))
        try:
            driver.get(url + "/")
            while not driver.find_elements(By.CSS_SELECTOR, "#units tbody tr"):
                time.sleep(0.05)
            driver.find_element(By.CSS_SELECTOR, "#units tbody tr").click()
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
                    driver.find_element(By.ID, "page-next").click()
            stop.set()
            stats = driver.execute_script("return window.varnelStats")
            print("page says: %r, stream %r" % (driver.find_element(By.ID, "message").text,
                                                 driver.find_element(By.ID, "stream-state").text))
            kept = driver.execute_script("return page.events.length")
        finally:
            driver.quit()
            emu.terminate()
            emu.wait(30)
        print("%d requests answered in %.0f s; %d journal events kept by the page" % (len(counts), seconds, kept))
        with open("/proc/loadavg") as handle:
            print("load average while measuring: %s" % handle.read().split()[0])
        by_kind = {}
        for kind, ms in stats["samples"]:
            by_kind.setdefault(kind, []).append(ms)
        by_kind["every update"] = [ms for _, ms in stats["samples"]]
        print("%-15s %8s %8s %8s %8s" % ("update", "count", "median", "p95", "longest"))
        for kind, values in sorted(by_kind.items()):
            values.sort()
            print("%-15s %8d %6.1f ms %6.1f ms %6.1f ms" % (kind, len(values), values[len(values) // 2],
                                                        values[int(len(values) * 0.95)], values[-1]))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
