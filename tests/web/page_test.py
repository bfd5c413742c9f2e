#!/usr/bin/python3
"""The gateway's web page in a real headless Chromium, against the real hub, node and gateway.

Run in the test namespace, guarded: tests/isolated.sh tests/guarded.sh page_test.py BUILD_DIR
Screenshots at desktop and phone width are left in BUILD_DIR/tests/.
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import zlib
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build/debug")
PAGE = "http://127.0.0.1:8470/"
COMPUTER = socket.gethostname().split(".")[0]


def wait_for(what, limit=30.0):
    """What `what` returns once it is true, or None when `limit` seconds pass first."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        found = what()
        if found:
            return found
        time.sleep(0.1)
    return None


def xap_port_held():
    """Whether anything on this computer is bound to UDP port 3639."""
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        if not os.path.exists(table):
            continue
        with open(table) as lines:
            if any(line.split()[1].endswith(":0E37") for line in list(lines)[1:]):
                return True
    return False


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


class PageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="varnix-web-")
        # The veth pair's far end stands for the LAN's other computers: it takes datagrams
        # from this host's own address, as they would.
        with open("/proc/sys/net/ipv4/conf/varnix1/accept_local", "w") as setting:
            setting.write("1")
        node = os.path.join(cls.folder, "node")
        gateway = os.path.join(cls.folder, "gateway")
        for folder in (node, gateway):
            os.makedirs(os.path.join(folder, "Config"))
            with open(os.path.join(folder, "Config", "qelXap.ini"), "w") as ini:
                ini.write("[Interface]\r\nBroadcastAddress=127.0.0.1\r\n")
        with open(os.path.join(node, "Config", "settings.ini"), "w") as ini:
            ini.write("[Computer]\r\nCloseWaitSeconds=1\r\n")
        # Declared on the computer alone, and failing at once: the node gives up on it.
        cls.failing = os.path.join(cls.folder, "vxwebfail")
        shutil.copy("/bin/false", cls.failing)
        with open(os.path.join(node, "Config", "programs.ini"), "w") as ini:
            ini.write(f"[Program Failing]\r\nPath={cls.failing}\r\n")
        # The halt reaches a stand-in that records it, first on the node's PATH.
        os.makedirs(os.path.join(node, "bin"))
        cls.calls = os.path.join(cls.folder, "systemctl.calls")
        standin = os.path.join(node, "bin", "systemctl")
        with open(standin, "w") as script:
            script.write(f"#!/bin/sh\necho \"$@\" >> '{cls.calls}'\n")
        os.chmod(standin, 0o755)
        cls.program = os.path.join(cls.folder, "vxwebsleep")
        shutil.copy("/bin/sleep", cls.program)
        # A path that is HTML: it must show as text and run nothing.
        cls.hostile = os.path.join(cls.folder, "<img src=x onerror=window.pwned=1>")
        shutil.copy("/bin/sleep", cls.hostile)
        with open(os.path.join(gateway, "Config", "gateway.ini"), "w") as ini:
            # Strangers are forgotten 17 s after they fall silent, so that a flood of them
            # leaves the other tests alone.
            ini.write("[Mqtt]\nBroker=\nForgetAfter=0.0002\n[Web]\nListen=127.0.0.1:8470\n"
                      "[Xap]\nEchoSeconds=5\n"
                      f"[Program Helper]\nComputer=*\nPath={cls.program}\nParameter=600\n")
        for name in ("varnix", "varnix-relay", "varnixctl"):
            shutil.copy(os.path.join(BUILD, name), node)
        shutil.copy(os.path.join(BUILD, "varnix-gateway"), gateway)
        log = open(os.path.join(cls.folder, "programs.log"), "w")
        cls.children = [subprocess.Popen(
            [os.path.join(BUILD, "varnix-hub"), "--state", os.path.join(cls.folder, "hub.txt")],
            stdout=log, stderr=log)]
        # The node takes port 3639 itself when it looks before the hub holds it.
        if not wait_for(xap_port_held, 10):
            raise RuntimeError("the hub did not take UDP port 3639")
        cls.node_folder, cls.log = node, log
        cls.start_node()
        # varnixctl keeps what it learns in a state folder of the test's own.
        cls.ctl_env = dict(os.environ, XDG_STATE_HOME=os.path.join(cls.folder, "state"))
        cls.children.append(subprocess.Popen(["./varnix-gateway"], cwd=gateway, stdout=log,
                                             stderr=log))
        cls.ctl = os.path.join(node, "varnixctl")
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        # evil.example stands for another site whose name its owner points at this computer.
        for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                         "--window-size=1280,900", "--host-resolver-rules=MAP evil.example 127.0.0.1"):
            options.add_argument(argument)
        cls.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        assert wait_for(lambda: cls.state()["nodes"], 20), "the gateway never saw the node"

    @classmethod
    def start_node(cls):
        # A processor's sensor of the test's own, whatever this machine shows.
        sensor = os.path.join(cls.folder, "sys", "class", "hwmon", "hwmon0")
        os.makedirs(sensor, exist_ok=True)
        for name, text in (("name", "k10temp"), ("temp1_input", "47125"), ("temp1_label", "Tctl")):
            with open(os.path.join(sensor, name), "w") as file:
                file.write(text + "\n")
        # No bus: a notice is refused here, and said, rather than shown on this machine's screen.
        env = dict(os.environ, PATH=os.path.join(cls.node_folder, "bin") + ":/usr/bin:/bin",
                   VARNIX_SYSFS=os.path.join(cls.folder, "sys"),
                   DBUS_SYSTEM_BUS_ADDRESS="unix:path=" + os.path.join(cls.folder, "no-bus"))
        cls.node = subprocess.Popen(["./varnix"], cwd=cls.node_folder, env=env, stdout=cls.log,
                                    stderr=cls.log)
        cls.children.append(cls.node)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        for child in reversed(cls.children):
            child.terminate()
            child.wait(10)
        subprocess.run(["pkill", "-f", cls.folder], check=False)
        shutil.rmtree(cls.folder, ignore_errors=True)

    @classmethod
    def state(cls):
        with urllib.request.urlopen(PAGE + "api/nodes", timeout=5) as answer:
            return json.load(answer)

    # The page redraws itself at every event: rows are read, and buttons found and clicked, in
    # one step of the page's own script, so that no element goes stale between two steps.
    def row_text(self, path):
        return self.browser.execute_script("""
            for (const row of document.querySelectorAll('li[data-path]')) {
              if (row.dataset.path === arguments[0]) return row.innerText;
            }
            return null;""", path)

    def click(self, scope_selector, label):
        return self.browser.execute_script("""
            for (const scope of document.querySelectorAll(arguments[0])) {
              for (const b of scope.querySelectorAll('button')) {
                if (b.textContent === arguments[1]) { b.click(); return true; }
              }
            }
            return false;""", scope_selector, label)

    def test_the_page_follows_the_node_live_and_acts_on_it(self):
        # Started through varnixctl: on the page within 2 s of its report, no reload.
        self.browser.get(PAGE)
        WebDriverWait(self.browser, 20).until(
            lambda b: b.find_elements(By.CSS_SELECTOR, f'section[data-computer="{COMPUTER}"]'))
        subprocess.run([self.ctl, "start", self.program, "600"], check=True, capture_output=True)
        pid = wait_for(lambda: next((p["pid"] for n in self.state()["nodes"]
                                     for p in n["programs"]
                                     if p["path"] == self.program and p["pid"]), None))
        self.assertTrue(pid)
        self.assertTrue(wait_for(lambda: str(pid) in (self.row_text(self.program) or ""), 2.5),
                        self.row_text(self.program))
        self.assertIn("running", self.row_text(self.program))

        # Stop ends it, and the row says so without a reload.
        self.browser.execute_script("window.notReloaded = true")
        self.assertTrue(self.browser.execute_script("""
            for (const row of document.querySelectorAll('li[data-path]')) {
              if (row.dataset.path !== arguments[0]) continue;
              for (const b of row.querySelectorAll('button')) {
                if (b.textContent === 'Stop') { b.click(); return true; }
              }
            }
            return false;""", self.program))
        self.assertTrue(wait_for(lambda: not alive(pid), 20), "still running")
        self.assertTrue(wait_for(lambda: "running" not in (self.row_text(self.program) or "running"),
                                 10), self.row_text(self.program))
        self.assertTrue(self.browser.execute_script("return window.notReloaded === true"))

        # A path that is markup is shown as text, and its script never runs.
        started = subprocess.run([self.ctl, "start", self.hostile, "600"], capture_output=True, text=True)
        self.assertEqual(started.returncode, 0, started.stdout + started.stderr)
        self.assertTrue(wait_for(lambda: self.row_text(self.hostile), 10))
        self.assertIsNone(self.browser.execute_script("return window.pwned"))
        self.assertEqual(self.browser.find_elements(By.CSS_SELECTOR, "li img"), [])
        subprocess.run([self.ctl, "stop", self.hostile], check=False, capture_output=True)

        # A notice is written in a dialog of the page, and reaches the node, which says why it
        # could not show it: this computer has no bus.
        self.assertTrue(self.click(f'section[data-computer="{COMPUTER}"]', "Send notice"))
        self.browser.find_element(By.ID, "notice-text").send_keys("Dinner is ready")
        self.browser.find_element(By.ID, "notice-actions").send_keys("Yes;No")
        self.browser.find_element(By.ID, "notice-ok").click()
        korvane = os.path.join(self.node_folder, "Data", "Korvane.txt")
        self.assertTrue(wait_for(lambda: "A notice was not shown: D-Bus: cannot reach"
                                 in open(korvane, errors="replace").read(), 10))

        # Shut down asks first, naming the computer; only then does the halt come.
        self.assertTrue(self.click(f'section[data-computer="{COMPUTER}"]', "Shut down"))
        dialog = self.browser.find_element(By.ID, "confirm")
        self.assertTrue(dialog.is_displayed())
        self.assertIn(f"Shut down {COMPUTER}", dialog.text)
        time.sleep(1)
        self.assertFalse(os.path.exists(self.calls), "halted before the confirmation")
        self.browser.find_element(By.ID, "confirm-ok").click()
        self.assertTrue(wait_for(lambda: os.path.exists(self.calls), 20))
        with open(self.calls) as calls:
            self.assertEqual(calls.read(), "poweroff\n")

    def test_a_declared_program_the_node_gave_up_on_says_so(self):
        # Nothing of it is in gateway.ini: the node's list brings it, with its buttons.
        self.browser.get(PAGE)
        self.assertTrue(wait_for(lambda: "gave up (exit 1)" in (self.row_text(self.failing) or ""),
                                 60), self.row_text(self.failing))
        self.assertIn("Failing", self.row_text(self.failing))

    def test_a_programs_log_opens_as_text_and_follows_what_it_says(self):
        # What a program prints may be markup: shown as text, run never.
        talker = os.path.join(self.folder, "vxwebtalk")
        with open(talker, "w") as script:
            script.write("#!/bin/sh\necho '<img src=x onerror=window.pwned=2> hello'\n"
                         "echo 'a warning' >&2\nsleep 3\necho 'said later'\nexec sleep 600\n")
        os.chmod(talker, 0o755)
        subprocess.run([self.ctl, "start", talker], check=True, capture_output=True)
        self.browser.get(PAGE)
        self.assertTrue(wait_for(lambda: self.row_text(talker), 10))
        self.assertTrue(self.browser.execute_script("""
            const row = [...document.querySelectorAll('li[data-path]')]
                .find(r => r.dataset.path === arguments[0]);
            const log = row && [...row.querySelectorAll('button')].find(b => b.textContent === 'Log');
            if (log) log.click();
            return !!log;""", talker))
        lines = self.browser.find_element(By.ID, "log-lines")
        self.assertTrue(wait_for(lambda: "hello" in lines.text, 10), lines.text)
        self.assertIn("out <img src=x onerror=window.pwned=2> hello", lines.text)
        self.assertIn("err a warning", lines.text)
        self.assertEqual(self.browser.find_elements(By.CSS_SELECTOR, "#log img"), [])
        self.assertIsNone(self.browser.execute_script("return window.pwned"))
        self.assertIn("vxwebtalk on " + COMPUTER, self.browser.find_element(By.ID, "log").text)
        # The time of day (the full stamp on hover), and the error stream's lines marked.
        self.assertRegex(self.browser.execute_script(
            "return document.querySelector('#log-lines time').textContent"), r"^\d\d:\d\d:\d\d$")
        self.assertIn("a warning", self.browser.execute_script(
            "return [...document.querySelectorAll('#log-lines .line.err')].map(l => l.textContent).join()"))
        self.assertNotIn("a warning", self.browser.execute_script(
            "return [...document.querySelectorAll('#log-lines .line:not(.err)')].map(l => l.textContent).join()"))

        # The dialog takes the width of the screen, so that lines do not wrap needlessly.
        def wide(width):
            used = self.browser.execute_script(
                "return document.getElementById('log').getBoundingClientRect().width")
            self.assertGreater(used, width * 0.9, f"the log dialog at {width} px")
        self.shoot("log", wide)
        # Still open, it shows what comes later without being asked again.
        self.assertTrue(wait_for(lambda: "said later" in lines.text, 10), lines.text)
        self.browser.find_element(By.CSS_SELECTOR, "#log button").click()
        subprocess.run([self.ctl, "stop", talker], check=False, capture_output=True)

    def node_state(self):
        return next((n for n in self.state()["nodes"] if n["computer"] == COMPUTER), {})

    def buttons(self, scope):
        """The labels of the buttons shown in `scope`, each with whether it can be pressed."""
        return self.browser.execute_script("""
            const scope = document.querySelector(arguments[0]);
            return scope ? [...scope.querySelectorAll(':scope > .actions button')]
                .map(b => [b.textContent, !b.disabled]) : null;""", scope)

    def layout_faults(self):
        """What does not fit the screen: sideways scrolling, and buttons too small to touch."""
        return self.browser.execute_script("""
            const faults = [];
            if (document.documentElement.scrollWidth > window.innerWidth)
              faults.push('scrolls sideways: ' + document.documentElement.scrollWidth + ' > ' +
                          window.innerWidth);
            for (const b of document.querySelectorAll('main button, main summary')) {
              if (!b.checkVisibility()) continue;  // in a menu that is closed
              const box = b.getBoundingClientRect();
              if (box.height < 44 || box.width < 44) faults.push(b.textContent + ' is ' +
                  box.width.toFixed(0) + 'x' + box.height.toFixed(0));
              if (box.right > window.innerWidth) faults.push(b.textContent + ' is off screen');
            }
            return faults;""")

    def shoot(self, name, check=None):
        """Screenshots at a phone's width and a desktop's, light, each checked to fit; kept
        beside the build for people to look at."""
        shots = os.path.join(BUILD, "tests", "screenshots")
        os.makedirs(shots, exist_ok=True)
        for width, height, mobile in ((390, 844, True), (1280, 800, False)):
            self.browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})
            self.assertEqual(self.layout_faults(), [], f"{name} at {width} px")
            if check:
                check(width)
            path = os.path.join(shots, f"web-{name}-{width}.png")
            self.browser.save_screenshot(path)
            print("screenshot:", path)
        self.browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

    def program_buttons(self):
        return self.browser.execute_script("""
            const row = [...document.querySelectorAll('li[data-path]')]
                .find(r => r.dataset.path === arguments[0]);
            return row ? [...row.querySelectorAll('button')].map(b => b.textContent) : null;""",
                                           self.program)

    def test_each_computer_is_a_card_that_fits_a_phone_in_light_and_dark(self):
        card = f'section[data-computer="{COMPUTER}"]'
        self.browser.get(PAGE)
        self.assertTrue(wait_for(lambda: self.node_state().get("figures", {}).get("cpu") is not None,
                                 20), self.node_state())
        self.assertTrue(wait_for(lambda: self.program_buttons() is not None, 10))
        # Only what makes sense for the state: Start when it does not run; Stop and Restart
        # when it does.
        self.assertEqual(self.program_buttons(), ["Start", "Log"])
        self.browser.execute_script("""
            [...document.querySelectorAll('li[data-path]')].find(r => r.dataset.path === arguments[0])
              .querySelector('button').click();""", self.program)
        self.assertTrue(wait_for(lambda: self.program_buttons() == ["Stop", "Restart", "Log"], 20),
                        self.program_buttons())
        text = self.browser.find_element(By.CSS_SELECTOR, card).text
        self.assertIn("Helper", text)
        # Who is at it, or why nobody can say: here the node finds no system bus.
        for label in ("CPU", "Memory", "Disk free", "Up", "47.1 °C", "At it",
                      "not known: D-Bus: cannot reach"):
            self.assertIn(label, text)
        self.assertNotIn("not known: not known", text)
        # Everyday actions first; the rest, and Wake for a computer that is on, in one menu.
        self.assertEqual([label for label, _ in self.buttons(card)],
                         ["Lock", "Screen off", "Sleep", "Hibernate", "Log off", "Reboot",
                          "Shut down", "Wake", "Send notice"])
        # Said once for the page, calmly, with how to sign; not on every card.
        self.assertIn("access.key", self.browser.find_element(By.ID, "signing").text)
        self.assertNotIn("sign", text)
        self.assertNotIn("Using xAP port", text, "the node's start-up notice is no event to read")
        shots = os.path.join(BUILD, "tests")
        os.makedirs(shots, exist_ok=True)
        for name, width, height, mobile in (("phone", 390, 844, True),
                                            ("desktop", 1280, 800, False)):
            self.browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})
            for scheme in ("light", "dark"):
                self.browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {
                    "features": [{"name": "prefers-color-scheme", "value": scheme}]})
                self.assertEqual(self.browser.execute_script("return window.innerWidth"), width)
                self.assertEqual(self.layout_faults(), [], f"{name}, {scheme}")
                self.browser.save_screenshot(os.path.join(shots, f"web-page-{name}-{scheme}.png"))
        self.browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
        self.browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})

        # On a wide screen the computer's actions are one row, and the menu opens in place.
        def one_row(width):
            if width < 1000:
                return
            heights = self.browser.execute_script("""
                const actions = document.querySelector(arguments[0] + ' > .actions');
                return actions.getBoundingClientRect().height;""", card)
            self.assertLess(heights, 60, "the computer's actions wrap")
        self.shoot("online", one_row)
        self.browser.execute_script(
            "document.querySelector(arguments[0] + ' details.power').open = true;", card)
        self.shoot("power-menu")
        subprocess.run([self.ctl, "stop", self.program], check=False, capture_output=True)

    def test_wake_reaches_the_far_end_of_the_lan_exactly_and_works_while_offline(self):
        link = subprocess.run(["ip", "-o", "link", "show", "varnix0"], capture_output=True,
                              text=True, check=True).stdout
        mac = link.split("link/ether ")[1].split()[0]
        expected = b"\xff" * 6 + bytes.fromhex(mac.replace(":", "")) * 16
        card = f'section[data-computer="{COMPUTER}"]'
        self.assertTrue(wait_for(lambda: self.node_state().get("wakeable"), 20), self.node_state())
        # Where a sleeping computer's card would be: the veth pair's far end.
        listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b"varnix1")
        listener.bind(("", 9))
        listener.settimeout(10)
        try:
            self.browser.get(PAGE)
            self.assertTrue(wait_for(lambda: self.buttons(card), 10))
            self.assertTrue(self.click(card, "Wake"))
            packet, (sender, _) = listener.recvfrom(2048)
            self.assertEqual(packet, expected)
            self.assertEqual(sender, "10.254.0.1")
            # varnixctl asks the node for its card first, and keeps it.
            woke = subprocess.run([self.ctl, "wake", COMPUTER], env=self.ctl_env,
                                  capture_output=True, text=True, timeout=30)
            self.assertEqual(woke.returncode, 0, woke.stderr)
            self.assertIn(f"the magic packet for {mac} went to 10.254.0.255", woke.stdout)
            self.assertEqual(listener.recvfrom(2048)[0], expected)

            # The node gone: offline, its programs as last known, every action but Wake off.
            self.node.terminate()
            self.node.wait(10)
            self.assertTrue(wait_for(lambda: not self.node_state().get("online", True), 30))
            self.assertTrue(wait_for(lambda: (self.buttons(card) or [[0, 1]])[1][1] is False, 5))
            self.assertEqual([label for label, enabled in self.buttons(card) if enabled], ["Wake"])
            self.assertEqual(self.buttons(card)[0], ["Wake", True], "first for a computer off")
            text = self.browser.find_element(By.CSS_SELECTOR, card).text
            self.assertIn("offline", text)
            # Its figures as last known, with when; the up-time stopped there.
            self.assertIn("Last known, ", text)
            self.assertTrue(self.browser.execute_script(
                "return !!document.querySelector(arguments[0] + ' dl.figures.stale')", card))
            self.shoot("offline")
            time.sleep(1.1)  # the gateway sends one packet a second for a card, however pressed
            self.assertTrue(self.click(card, "Wake"))
            self.assertEqual(listener.recvfrom(2048)[0], expected)
            # varnixctl wakes by the card it kept, the node silent.
            woke = subprocess.run([self.ctl, "wake", COMPUTER, "--timeout", "0.5"],
                                  env=self.ctl_env, capture_output=True, text=True, timeout=30)
            self.assertEqual(woke.returncode, 0, woke.stderr)
            self.assertEqual(listener.recvfrom(2048)[0], expected)
        finally:
            listener.close()
            if self.node.poll() is not None:
                self.start_node()
                wait_for(lambda: self.node_state().get("online"), 30)

    def test_a_post_without_the_token_is_refused(self):
        request = urllib.request.Request(
            PAGE + "api/action", method="POST",
            data=json.dumps({"computer": COMPUTER, "action": "reboot"}).encode(),
            headers={"Content-Type": "application/json"})
        with self.assertRaises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(request, timeout=5)
        self.assertEqual(refused.exception.code, 403)
        with urllib.request.urlopen(PAGE, timeout=5) as page:
            self.assertIn("script-src 'self'", page.headers["Content-Security-Policy"])
            self.assertEqual(page.headers["X-Content-Type-Options"], "nosniff")

    def test_a_name_the_page_does_not_answer_to_gets_nothing(self):
        # A page of another site, its name rebound to this computer, reads nothing of it.
        self.browser.get("http://evil.example:8470/")
        self.assertIn("does not answer to that name", self.browser.page_source)
        self.assertNotIn("token", self.browser.page_source)
        status = self.browser.execute_async_script(
            "fetch('/api/nodes').then(r => arguments[0](r.status))")
        self.assertEqual(status, 421)
        for method, path in (("GET", ""), ("GET", "api/nodes"), ("GET", "events"),
                             ("POST", "api/action")):
            request = urllib.request.Request(
                PAGE + path, method=method, headers={"Host": "evil.example:8470"},
                data=json.dumps({"computer": COMPUTER, "action": "lock"}).encode()
                if method == "POST" else None)
            with self.assertRaises(urllib.error.HTTPError) as refused:
                urllib.request.urlopen(request, timeout=5)
            self.assertEqual(refused.exception.code, 421, path)

    def test_a_flood_of_made_up_nodes_leaves_the_page_live_and_bounded(self):
        # Fifty made-up computers, then a thousand events of 60 KB from made-up ones.
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        header = "xap-header\n{{\nv=12\nhop=1\nuid=FF000800\nclass={}\nsource=qel.Process.{}\n}}\n"
        for i in range(50):
            beat = "xap-hbeat" + header[len("xap-header"):].format("xap-hbeat.alive", f"flood{i}")
            sender.sendto(beat.encode(), ("127.0.0.1", 3639))
        text = "x" * 60000
        for i in range(1000):
            sender.sendto((header.format("Homeseer.Event", f"flood{i}") +
                           f"Event.Log\n{{\nData={text}\n}}\n").encode(), ("127.0.0.1", 3639))
            if i % 100 == 99:
                time.sleep(0.05)  # within what the hub's socket buffers take
        sender.close()
        self.assertTrue(wait_for(lambda: len(self.state()["nodes"]) > 50, 20))
        with urllib.request.urlopen(PAGE + "api/nodes", timeout=5) as answer:
            body = answer.read()
        self.assertLessEqual(len(body), 1024 * 1024)
        state = json.loads(body)
        self.assertEqual(state["nodes"][0]["computer"], COMPUTER, "the computer that answers first")
        self.assertTrue(all(len(event["text"]) < 600 for node in state["nodes"]
                            for event in node["events"]))
        # A page opened now is live within two seconds.
        self.browser.get(PAGE)
        started = time.monotonic()
        live = wait_for(lambda: self.browser.find_element(By.ID, "status").text == "Live", 2)
        self.assertTrue(live, f"not live after {time.monotonic() - started:.1f} s")
        # Silent, they are forgotten again.
        self.assertTrue(wait_for(lambda: len(self.state()["nodes"]) == 1, 60))

    def test_requests_sent_slowly_are_cut_off_and_the_page_still_answers(self):
        # Three LAN addresses each open eight connections and keep them busy with a header
        # line, or once the headers are in a byte of the body, every two seconds. No address
        # holds more than a browser's six; the deadline of the whole request, not idleness,
        # ends the rest; and a fourth address is served meanwhile.
        for last in (11, 12, 13, 14):
            subprocess.run(["ip", "addr", "add", f"10.254.0.{last}/24", "dev", "varnix0"],
                           stderr=subprocess.DEVNULL, check=False)
        slow = []
        for index in range(24):
            connection = socket.create_connection(
                ("127.0.0.1", 8470), timeout=5, source_address=(f"10.254.0.{11 + index % 3}", 0))
            posting = index % 2 == 0
            connection.sendall(
                b"POST /api/action HTTP/1.1\r\nHost: 127.0.0.1:8470\r\n"
                b"Content-Type: application/json\r\nContent-Length: 900\r\n\r\n" if posting
                else b"GET / HTTP/1.1\r\nHost: 127.0.0.1:8470\r\n")
            slow.append((connection, posting))

        def served_from_another_address():
            with socket.create_connection(("127.0.0.1", 8470), timeout=5,
                                          source_address=("10.254.0.14", 0)) as connection:
                connection.sendall(b"GET /api/nodes HTTP/1.1\r\nHost: 127.0.0.1:8470\r\n"
                                   b"Connection: close\r\n\r\n")
                return connection.recv(12) == b"HTTP/1.1 200"

        started = time.monotonic()
        ended = {}
        while len(ended) < len(slow) and time.monotonic() - started < 20:
            for index, (connection, posting) in enumerate(slow):
                if index in ended:
                    continue
                try:
                    connection.sendall(b" " if posting else b"X-Slow: 1\r\n")
                    connection.settimeout(0.05)
                    if connection.recv(1) == b"":
                        ended[index] = time.monotonic() - started
                except socket.timeout:
                    pass
                except OSError:
                    ended[index] = time.monotonic() - started
            self.assertTrue(served_from_another_address())
            time.sleep(2)
        elapsed = time.monotonic() - started
        for connection, _ in slow:
            connection.close()
        self.assertEqual(len(ended), len(slow), f"{len(ended)} ended in {elapsed:.0f} s")
        self.assertLess(elapsed, 15)
        at_once = sum(1 for seconds in ended.values() if seconds < 1)
        self.assertGreaterEqual(at_once, 6, "two of each address's eight, refused at once")

    def test_two_host_headers_are_refused(self):
        with socket.create_connection(("127.0.0.1", 8470), timeout=5) as connection:
            connection.sendall(b"GET /api/nodes HTTP/1.1\r\nHost: 127.0.0.1:8470\r\n"
                               b"Host: evil.example\r\nConnection: close\r\n\r\n")
            answer = b""
            while chunk := connection.recv(4096):
                answer += chunk
        self.assertTrue(answer.startswith(b"HTTP/1.1 400"), answer[:40])

    def test_a_browser_that_takes_gzip_gets_it_and_each_event_at_once(self):
        def get(path, encoding):
            request = urllib.request.Request(PAGE + path, headers={"Accept-Encoding": encoding})
            return urllib.request.urlopen(request, timeout=5)
        with get("app.js", "br;q=1, gzip;q=0.5") as packed, get("app.js", "gzip;q=0") as plain:
            self.assertEqual(packed.headers["Content-Encoding"], "gzip")
            self.assertIsNone(plain.headers["Content-Encoding"])
            self.assertEqual(zlib.decompress(packed.read(), 16 + zlib.MAX_WBITS), plain.read())
        # The stream is flushed after each event: its first decodes whole before any other.
        with get("events", "gzip") as stream:
            self.assertEqual(stream.headers["Content-Encoding"], "gzip")
            decoder = zlib.decompressobj(16 + zlib.MAX_WBITS)
            text = ""
            while not text.endswith("\n\n"):
                text += decoder.decompress(stream.read1(65536)).decode()
            self.assertTrue(text.startswith("retry: 3000\ndata: {"), text[:40])
            nodes = json.loads(text.split("data: ", 1)[1])["nodes"]
            self.assertEqual([node["computer"] for node in nodes], [COMPUTER])

    def test_https_serves_the_same_with_the_configured_certificate(self):
        folder = os.path.join(self.folder, "tls")
        os.makedirs(os.path.join(folder, "Config"))
        cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                        "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1"],
                       check=True, capture_output=True)
        with open(os.path.join(folder, "Config", "gateway.ini"), "w") as ini:
            ini.write("[Mqtt]\nBroker=\n[Web]\nListen=127.0.0.1:8471\n"
                      f"CertificateFile={cert}\nKeyFile={key}\n")
        shutil.copy(os.path.join(self.folder, "gateway", "Config", "qelXap.ini"),
                    os.path.join(folder, "Config"))
        shutil.copy(os.path.join(BUILD, "varnix-gateway"), folder)
        gateway = subprocess.Popen(["./varnix-gateway"], cwd=folder, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        try:
            import ssl
            context = ssl.create_default_context(cafile=cert)
            context.check_hostname = False
            answer = wait_for(lambda: self.fetch("https://127.0.0.1:8471/api/nodes", context), 10)
            self.assertIn('"nodes"', answer or "")
            # TLS 1.2 and newer only, even to a client that would take the old ones.
            def handshake(version):
                return subprocess.run(
                    ["openssl", "s_client", "-connect", "127.0.0.1:8471", version,
                     "-cipher", "DEFAULT@SECLEVEL=0"],
                    input=b"", capture_output=True, timeout=20).returncode
            self.assertNotEqual(handshake("-tls1"), 0)
            self.assertNotEqual(handshake("-tls1_1"), 0)
            self.assertEqual(handshake("-tls1_2"), 0)
        finally:
            gateway.terminate()
            gateway.wait(10)

    @staticmethod
    def fetch(url, context):
        try:
            with urllib.request.urlopen(url, timeout=5, context=context) as answer:
                return answer.read().decode()
        except (urllib.error.URLError, ConnectionError):
            return None


if __name__ == "__main__":
    unittest.main(verbosity=2)
