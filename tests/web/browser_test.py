#!/usr/bin/python3
"""The web page in a real browser (Debian's chromium through chromium-driver
and python3-selenium) against the headless program and the simulator.

    browser_test.py PADDOCK_MARSHAL PADDOCK_SIM [--screenshot PNG]

Checks that the page shows the server's card, that its badge turns
connected, that a simulated race fills the finishing order, that without
the token the controls are disabled and the API answers 401, and that
switching Reverse Top with the token changes the previewed grid. With
--screenshot it saves the page once all that held. Exit 77 (skipped) when
chromium, its driver or selenium is missing.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

SKIP = 77
# The whole run stays well inside ctest's limit.
DEADLINE = time.monotonic() + 100
TOKEN = "browser-test-token-0123456789"

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(SKIP)

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
if not CHROMIUM or not os.access(DRIVER, os.X_OK):
    print("skipped: chromium or chromium-driver is not installed")
    sys.exit(SKIP)

marshal, sim = sys.argv[1], sys.argv[2]
screenshot = sys.argv[4] if len(sys.argv) > 4 and sys.argv[3] == "--screenshot" else None
work = tempfile.mkdtemp(prefix="pm_browser.")
procs = []


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    for name in ("sim.out", "pm.out"):
        path = os.path.join(work, name)
        if os.path.exists(path):
            print("---- " + name, file=sys.stderr)
            print(open(path, errors="replace").read()[-4000:], file=sys.stderr)
    raise SystemExit(1)


def wait_for(what, check, step=0.1):
    while time.monotonic() < DEADLINE:
        value = check()
        if value:
            return value
        time.sleep(step)
    fail("timed out waiting for " + what)


def start(args, out):
    handle = open(os.path.join(work, out), "w")
    proc = subprocess.Popen(args, stdout=handle, stderr=subprocess.STDOUT)
    procs.append(proc)
    return proc


def present_alert(driver):
    try:
        return driver.switch_to.alert
    except Exception:
        return None


def line_match(out, pattern):
    text = open(os.path.join(work, out), errors="replace").read()
    m = re.search(pattern, text, re.M)
    return m.group(1) if m else None


driver = None
try:
    start([sim, "--lfs", "0.8C", "--port", "0", "--crowd", "6", "--race-every", "4", "--quiet"], "sim.out")
    sim_port = wait_for("the simulator's port", lambda: line_match("sim.out", r"^port (\d+)"))
    cfg = ["Paddock Marshal browser test", "[NEW SERVER]", "Name=Browser Club", "Host=127.0.0.1",
           "InSim Port=" + sim_port, "Listen Port=0", "Admin PW=never-shown-pw", "Connect=1", "Last Race=1",
           "Reverse Top=0", "Reverse Count=3", "InSim Version=auto", "Transport=tcp"]
    with open(os.path.join(work, "autostart.cfg"), "w", newline="") as f:
        f.write("".join(line + "\r\n" for line in cfg))
    with open(os.path.join(work, "token"), "w") as f:
        f.write(TOKEN + "\n")
    start([marshal, "--headless", "--config", os.path.join(work, "autostart.cfg"), "--web", "127.0.0.1:0",
           "--web-token-file", os.path.join(work, "token")], "pm.out")
    port = wait_for("the web page's status line", lambda: line_match("pm.out", r"web page on http://127\.0\.0\.1:(\d+)/"))
    base = "http://127.0.0.1:" + port

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,1200"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    driver.set_page_load_timeout(30)
    driver.get(base + "/")

    wait_for("the server's card", lambda: driver.find_elements(By.ID, "server-1"))
    wait_for("the card's name", lambda: "Browser Club" in driver.find_element(By.ID, "server-1").text)
    wait_for("the badge to turn connected", lambda: driver.execute_script(
        "const b = document.querySelector('#server-1 .badge'); return b && b.dataset.phase === 'connected'"))
    wait_for("a race to fill the finishing order", lambda: driver.execute_script(
        "return document.querySelectorAll('#server-1 .finish li[data-user]').length > 0"))

    # The stream sends only new status lines after its first message: what
    # the page put together must be what the program keeps.
    def same_lines():
        with urllib.request.urlopen(base + "/api/servers/1") as answer:
            kept = json.load(answer)["statusLines"]
        shown = driver.execute_script("return state.servers.get(1).statusLines")
        return len(kept) >= 2 and shown == kept
    wait_for("the page's status lines to match the program's", same_lines)
    # An answer to the page's own change can be newer than the stream, or
    # older: lines neither repeat nor go missing.
    merged = driver.execute_script("""
      const at = (s, fromStream) => { const m = mergeLines(s, fromStream); state.servers.set(99, m); return m.statusLines; };
      state.servers.set(99, {index: 99, statusLines: ["a", "b"], statusLinesKept: 2});
      const seen = [at({index: 99, statusLines: ["a", "b", "c"], statusLinesKept: 3}, false),
                    at({index: 99, newStatusLines: ["c", "d"], statusLinesKept: 4}, true),
                    at({index: 99, statusLines: ["a", "b"], statusLinesKept: 2}, false),
                    at({index: 99, newStatusLines: [], statusLinesKept: 4}, true)];
      state.servers.delete(99);
      return seen;""")
    if merged != [["a", "b", "c"], ["a", "b", "c", "d"], ["a", "b", "c", "d"], ["a", "b", "c", "d"]]:
        fail("status lines joined wrongly: %r" % merged)

    # Without the token: every control disabled, and the API refuses.
    disabled = driver.execute_script(
        "return [...document.querySelectorAll('#server-1 .rules input')].map(i => i.disabled)")
    if not disabled or not all(disabled):
        fail("controls enabled without the token: %r" % disabled)
    if driver.execute_script("return document.querySelectorAll('#server-1 .grid li[draggable=true]').length"):
        fail("the grid can be dragged without the token")
    request = urllib.request.Request(base + "/api/servers/1/rules", data=b'{"reverseTop":1}', method="PUT",
                                     headers={"Content-Type": "application/json"})
    try:
        urllib.request.urlopen(request, timeout=10)
        fail("a change without the token was taken")
    except urllib.error.HTTPError as e:
        if e.code != 401:
            fail("a change without the token got %d, not 401" % e.code)

    # The token, asked once, unlocks the controls.
    driver.find_element(By.ID, "unlock").click()
    alert = wait_for("the token prompt", lambda: present_alert(driver))
    alert.send_keys(TOKEN)
    alert.accept()
    wait_for("the controls to be enabled", lambda: driver.execute_script(
        "const i = [...document.querySelectorAll('#server-1 .rules input')];"
        "return i.length > 0 && i.every(x => !x.disabled)"))
    if driver.execute_script("return sessionStorage.getItem('paddock-marshal-token')") != TOKEN:
        fail("the token is not kept for the session")

    # Reverse Top on: the preview turns to the first three finishers reversed.
    # Races go on meanwhile, so the grid and the order are read at one time.
    driver.find_element(By.CSS_SELECTOR, "#server-1 .rule-reverse").click()

    def reversed_top():
        seen = driver.execute_script(
            "const users = sel => [...document.querySelectorAll(sel)].map(li => li.dataset.user);"
            "const h = [...document.querySelectorAll('#server-1 h3')].map(x => x.textContent);"
            "return {grid: users('#server-1 .grid li[data-user]'), finish: users('#server-1 .finish li[data-user]'),"
            " heads: h}")
        heading = any("Reverse Top 3" in h for h in seen["heads"])
        finish, grid = seen["finish"], seen["grid"]
        return heading and len(finish) >= 3 and grid[:3] == finish[:3][::-1]
    wait_for("the previewed grid to show the top three reversed", reversed_top)
    rules = json.load(urllib.request.urlopen(base + "/api/servers/1", timeout=10))["rules"]
    if rules["reverseTop"] != 1:
        fail("the API does not show Reverse Top on: %r" % rules)

    if screenshot:
        driver.execute_script("document.querySelector('#server-1 details').open = true")
        time.sleep(0.5)
        driver.save_screenshot(screenshot)
    print("browser test: ok")
finally:
    if driver is not None:
        driver.quit()
    for proc in procs:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
    shutil.rmtree(work, ignore_errors=True)
