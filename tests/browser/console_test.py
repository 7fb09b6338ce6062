"""The web console in a real browser: headless chromium opens the page served by the real quillon, which
drives quillon-sim's simulated board; what the board receives is read from the sim's record.

    /usr/bin/python3 tests/browser/console_test.py --bin-dir build/default [unittest options]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

import console_support as support

BIN_DIR = None
SOURCE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..')
STOP_LIMIT = 0.6    # seconds from letting go to the neutral command at the board
FULL_TARGET = 93.6  # the target of a side at full forward from the page


def touch(driver, kind, selector=None):
    """One finger on the touch screen: touchStart or touchMove at the middle of the element, or touchEnd."""
    points = []
    if selector:
        x, y = driver.execute_script("const r = document.querySelector(arguments[0]).getBoundingClientRect();"
                                     "return [r.x + r.width / 2, r.y + r.height / 2];", selector)
        points = [{'x': x, 'y': y, 'id': 1}]
    driver.execute_cdp_cmd('Input.dispatchTouchEvent', {'type': kind, 'touchPoints': points})


class Console(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Facing the east wall a metre away, a little askew: both range channels read something, and not the
        # same, so neither line of the plot hides the other.
        cls.rig = support.Rig(BIN_DIR, sim_arguments=['--pose', '3.0,1.5,10'])

    @classmethod
    def tearDownClass(cls):
        cls.rig.close()

    def setUp(self):
        self.browsers = []

    def tearDown(self):
        for driver in self.browsers:
            driver.quit()
        # Leaving frees control; let the board settle before the next case.
        support.wait_until(lambda: self.latest_command_neutral(), limit=3)

    def open(self):
        driver = support.browser()
        self.browsers.append(driver)
        support.open_console(driver, self.rig.url())
        return driver

    def latest_command_neutral(self):
        commands = self.rig.commands()
        return bool(commands) and commands[-1].neutral()

    def wait_for_forward(self):
        mark = len(self.rig.commands())
        self.assertTrue(support.wait_until(lambda: any(c.forward() for c in self.rig.commands()[mark:]), 3),
                        'the board received no forward command')

    def assert_stops_within_limit(self, action, what):
        """Runs action (on a thread of its own, since closing a browser takes a while) and checks that the
        board gets the neutral command within the limit and keeps getting it."""
        mark = len(self.rig.commands())
        start = time.monotonic()
        worker = threading.Thread(target=action)
        worker.start()
        neutral_at = support.wait_until(
            lambda: next((i for i, c in enumerate(self.rig.commands()[mark:], mark) if c.neutral()), None), 3)
        elapsed = time.monotonic() - start
        worker.join()
        self.assertIsNotNone(neutral_at, what + ': the board never got 80 80 80 80')
        self.assertLessEqual(elapsed, STOP_LIMIT, what + ': %.3f s to 80 80 80 80' % elapsed)
        print('%s: %.3f s' % (what, elapsed), file=sys.stderr)
        # Longer than the silence limit (six commands at 10 Hz): nothing drives on after it.
        support.wait_until(lambda: len(self.rig.commands()) >= neutral_at + 7, 3)
        moving = [c.text() for c in self.rig.commands()[neutral_at:] if not c.neutral()]
        self.assertEqual(moving, [], what + ': the robot moved again')

    def test_page_shows_the_simulated_robots_live_values(self):
        driver = self.open()
        self.assertTrue(support.wait_until(lambda: float(support.text_of(driver, 'serial-rate')) >= 5, 5),
                        'serial rate ' + support.text_of(driver, 'serial-rate'))
        analog = driver.execute_script(
            "return Array.from(document.querySelectorAll('#analog-bars .value'), e => e.textContent);")
        self.assertEqual(len(analog), 8)
        self.assertGreater(float(analog[0]), 0.01, analog)
        self.assertGreater(float(analog[1]), 0.01, analog)
        self.assertEqual(analog[2:], ['0.0000'] * 6)
        self.assertEqual(support.text_of(driver, 'remote'), 'Local mode')
        self.assertEqual(support.text_of(driver, 'auto'), 'Manual mode')
        self.assertEqual(support.text_of(driver, 'driver'), 'nobody')
        self.assertEqual(support.text_of(driver, 'left-target'), '0')

        lines = driver.execute_script(
            "return Array.from(document.querySelectorAll('#messages li'), e => e.textContent);")
        self.assertTrue(lines, 'no message lines')
        self.assertIn(lines[-1], self.rig.log(), 'the newest message line is not in the log')
        self.assertIn('Web console: http://', self.rig.log(), "the log does not give the console's address")
        self.assertNotIn(self.rig.token, self.rig.log(), 'the token is in the log')

        self.assertTrue(support.wait_until(lambda: driver.execute_script(
            "const i = document.getElementById('camera');"
            "return i.src.startsWith('blob:') && i.complete && i.naturalWidth > 0;"), 10), 'no camera picture')
        self.assertGreater(float(support.text_of(driver, 'camera-rate')), 0)
        self.assertTrue(support.wait_until(
            lambda: support.text_of(driver, 'update-rate').split()[0].isdigit() and
            int(support.text_of(driver, 'update-rate').split()[0]) >= 10, 5),
            'updates a second: ' + support.text_of(driver, 'update-rate'))
        # The plot draws channel 0 in its own colour, a longer line with every second of samples.
        plotted = lambda: driver.execute_script(
            "const c = document.getElementById('plot');"
            "const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data; let n = 0;"
            "for (let i = 0; i < d.length; i += 4)"
            "  if (Math.abs(d[i] - 31) + Math.abs(d[i + 1] - 79) + Math.abs(d[i + 2] - 216) < 30) n++;"
            "return n;")
        self.assertTrue(support.wait_until(lambda: plotted() > 20, 10), 'channel 0 is not plotted: %d' % plotted())

    def test_w_held_drives_forward_and_letting_go_stops(self):
        driver = self.open()
        keys = ActionChains(driver)
        keys.key_down('w').perform()
        self.wait_for_forward()
        self.assertTrue(support.wait_until(lambda: support.text_of(driver, 'driver') == 'you', 1),
                        'driving: %s; %s' % (support.text_of(driver, 'driver'), support.text_of(driver, 'notice')))
        self.assertTrue(support.wait_until(lambda: support.text_of(driver, 'remote') == 'Remote mode', 2))
        # Proportional from the page: W alone goes straight, at the slider's speed.
        left, right = support.text_of(driver, 'left-target'), support.text_of(driver, 'right-target')
        self.assertEqual(left, right)
        self.assertGreater(int(left), 0)
        self.assert_stops_within_limit(lambda: ActionChains(driver).key_up('w').perform(), 'W released')

    def test_stop_button_space_bar_and_a_finger_sliding_off_stop_the_robot(self):
        driver = self.open()
        ActionChains(driver).key_down('w').perform()
        self.wait_for_forward()
        stop = driver.find_element(By.ID, 'stop')
        self.assert_stops_within_limit(stop.click, 'STOP button')
        ActionChains(driver).key_up('w').perform()

        # A finger on the touch button W, then the space bar; then a finger that slides off the button.
        driver.execute_cdp_cmd('Emulation.setTouchEmulationEnabled', {'enabled': True, 'maxTouchPoints': 1})
        touch(driver, 'touchStart', '.dir[data-key="w"]')
        self.wait_for_forward()
        self.assert_stops_within_limit(lambda: ActionChains(driver).key_down(' ').perform(), 'space bar')
        ActionChains(driver).key_up(' ').perform()
        touch(driver, 'touchEnd')
        touch(driver, 'touchStart', '.dir[data-key="w"]')
        self.wait_for_forward()
        self.assert_stops_within_limit(lambda: touch(driver, 'touchMove', '#gamepad'), 'finger slid off')
        touch(driver, 'touchEnd')

    def test_a_gamepads_stick_and_d_pad_drive_and_its_b_button_stops(self):
        driver = self.open()
        driver.execute_script(
            "window.testPad = {id: 'test pad', index: 0, connected: true, mapping: 'standard',"
            "  axes: [0, 0, 0, 0], buttons: Array.from({length: 17}, () => ({pressed: false, value: 0}))};"
            "Object.defineProperty(Navigator.prototype, 'getGamepads', {value: () => [window.testPad]});"
            "window.dispatchEvent(new Event('gamepadconnected'));")
        self.assertTrue(support.wait_until(lambda: support.text_of(driver, 'gamepad') == 'gamepad: test pad', 2))
        driver.execute_script("window.testPad.axes[1] = -1;")   # the stick pushed forward
        self.wait_for_forward()
        self.assert_stops_within_limit(lambda: driver.execute_script("window.testPad.axes[1] = 0;"),
                                       'stick centred')
        driver.execute_script("window.testPad.buttons[12].pressed = true;")   # d-pad up
        self.wait_for_forward()
        # B stops; the d-pad, still held, drives again only after it has been let go.
        self.assert_stops_within_limit(lambda: driver.execute_script("window.testPad.buttons[1].pressed = true;"),
                                       'B button')
        driver.execute_script("window.testPad.buttons[1].pressed = false; window.testPad.buttons[12].pressed = false;")
        support.page_has_polled(driver)   # the page has seen both let go
        driver.execute_script("window.testPad.buttons[12].pressed = true;")
        self.wait_for_forward()
        driver.execute_script("window.testPad.buttons[12].pressed = false;")

    def test_another_tab_and_closing_the_browser_mid_drive_stop_the_robot(self):
        driver = self.open()
        console = driver.current_window_handle
        ActionChains(driver).key_down('w').perform()
        self.wait_for_forward()
        stops = self.rig.log().count('STOP from browser')
        self.assert_stops_within_limit(lambda: driver.switch_to.new_window('tab'), 'another tab')
        self.assertGreater(self.rig.log().count('STOP from browser'), stops, 'the hidden page sent no stop')
        driver.close()
        driver.switch_to.window(console)
        ActionChains(driver).key_up('w').key_down('w').perform()
        self.wait_for_forward()
        self.browsers.remove(driver)
        self.assert_stops_within_limit(driver.quit, 'browser closed')

    def test_a_second_browser_watches_while_the_first_drives_and_its_stop_stops(self):
        first = self.open()
        second = self.open()
        ActionChains(first).key_down('w').perform()
        self.wait_for_forward()
        self.assertTrue(support.wait_until(lambda: support.text_of(second, 'driver') == 'a browser', 2))
        notice = second.find_element(By.ID, 'notice')
        self.assertTrue(notice.is_displayed() and 'Another browser' in notice.text, notice.text)

        # D alone from the second would turn on the spot: the right side would run backwards.
        mark = len(self.rig.commands())
        ActionChains(second).key_down('d').perform()
        support.wait_until(lambda: len(self.rig.commands()) >= mark + 10, 3)   # a second of commands
        ActionChains(second).key_up('d').perform()
        during = self.rig.commands()[mark:]
        self.assertTrue(during and all(c.forward() for c in during), [c.text() for c in during])

        # Any viewer's STOP stops the robot, though the first still holds W.
        self.assert_stops_within_limit(second.find_element(By.ID, 'stop').click, "the second's STOP")
        self.assertTrue(support.wait_until(lambda: 'let go' in first.find_element(By.ID, 'notice').text, 2))
        ActionChains(first).key_up('w').perform()
        ActionChains(second).key_down('w').perform()
        self.wait_for_forward()
        # The page learns it with the next state message, up to 50 ms after the board may have moved.
        self.assertTrue(support.wait_until(lambda: support.text_of(second, 'driver') == 'you', 1))
        self.assertTrue(support.wait_until(lambda: support.text_of(first, 'driver') == 'a browser', 2))
        self.assert_stops_within_limit(lambda: ActionChains(second).key_up('w').perform(), 'second released')

    def test_the_pad_works_from_the_keyboard_and_says_what_it_does(self):
        driver = self.open()
        driver.execute_script("document.querySelector('.dir[data-key=\"w\"]').focus();")
        ActionChains(driver).key_down(Keys.ENTER).perform()
        self.wait_for_forward()
        pressed = lambda: driver.execute_script(
            "return document.querySelector('.dir[data-key=\"w\"]').getAttribute('aria-pressed');")
        self.assertEqual((pressed(), support.text_of(driver, 'pad-status')), ('true', 'Driving forward'))
        self.assertEqual(driver.find_element(By.ID, 'pad-status').get_attribute('aria-live'), 'assertive')
        self.assert_stops_within_limit(lambda: ActionChains(driver).key_up(Keys.ENTER).perform(), 'Enter released')
        self.assertEqual((pressed(), support.text_of(driver, 'pad-status')), ('false', 'Released'))

    def test_the_ninth_browser_is_told_the_console_is_full_and_gets_in_when_a_place_frees(self):
        held = [support.hold_websocket(self.rig.port, self.rig.token) for _ in range(8)]
        self.addCleanup(lambda: [connection.close() for connection in held])
        driver = support.browser()
        self.browsers.append(driver)
        driver.get(self.rig.url())
        self.assertTrue(support.wait_until(lambda: 'console is full' in support.text_of(driver, 'notice'), 10),
                        support.text_of(driver, 'notice'))
        held.pop().close()
        self.assertTrue(support.wait_until(lambda: support.text_of(driver, 'connection') == 'connected', 10))
        self.assertTrue(support.wait_until(lambda: support.text_of(driver, 'notice') == '', 2))

    def test_a_wrong_token_gets_401_and_no_websocket(self):
        # The access rules in full are the C++ web console test's; here the browser's own view of them.
        with self.assertRaises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(self.rig.url('wrong'), timeout=5)
        self.assertEqual(refused.exception.code, 401)
        self.assertEqual(support.websocket_upgrade(self.rig.port, 'wrong'), 401)
        self.assertEqual(support.websocket_upgrade(self.rig.port, self.rig.token), 101, 'the right token')

        driver = support.browser()
        self.browsers.append(driver)
        driver.get(self.rig.url('wrong'))
        self.assertEqual(driver.find_elements(By.ID, 'connection'), [], 'the console was served')


class Teleop(unittest.TestCase):
    """Commands on change, and the page's proportional driving: the stick, the slider, the arrow keys."""

    @classmethod
    def setUpClass(cls):
        cls.rig = support.Rig(BIN_DIR, sim_arguments=['--pose', '1.5,1.5,0'], config_lines=['command_on_change 1'])
        cls.driver = support.browser()
        support.open_console(cls.driver, cls.rig.url())

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.rig.close()

    def targets(self):
        return support.text_of(self.driver, 'left-target'), support.text_of(self.driver, 'right-target')

    def board_after(self, mark, test, what, limit=1.0):
        """The first command from index mark on that passes test."""
        found = support.wait_until(lambda: next((c for c in self.rig.commands()[mark:] if test(c)), None), limit)
        self.assertIsNotNone(found, what)
        return found

    def test_the_stick_drives_straight_at_the_sliders_share_of_full_speed(self):
        driver = self.driver
        driver.execute_script("const s = document.getElementById('max-speed'); s.value = '60';"
                              "s.dispatchEvent(new Event('input'));")
        radius = driver.execute_script("return document.getElementById('stick').getBoundingClientRect().width / 2;")
        stick = driver.find_element(By.ID, 'stick')
        driver.execute_script("arguments[0].scrollIntoView({block: 'center'});", stick)   # whole, so its centre
        # Pushed beyond the top edge (the circle keeps it at full), then half way.
        for offset, share in ((-1.2 * radius, 1.0), (-0.5 * radius, 0.5)):
            ActionChains(driver).move_to_element(stick).click_and_hold().move_by_offset(0, offset).perform()
            expected = round(FULL_TARGET * 0.6 * share)
            self.assertTrue(support.wait_until(lambda: self.targets()[0] not in ('0', '\u2013') and
                                               abs(int(self.targets()[0]) - expected) <= 1, 2),
                            'share %.1f: targets %s, expected %d' % (share, self.targets(), expected))
            self.assertEqual(self.targets()[0], self.targets()[1], 'share %.1f' % share)
            # The board gets both sides at the same speed, forward.
            command = self.board_after(len(self.rig.commands()), lambda c: c.forward(), 'no forward command')
            self.assertEqual(0x80 - command.bytes[2], command.bytes[4] - 0x80, command.text())
            mark = len(self.rig.commands())
            ActionChains(driver).release().perform()
            self.board_after(mark, lambda c: c.neutral(), 'letting go of the stick did not stop the robot')
        driver.refresh()
        support.open_console(driver, self.rig.url())
        self.assertEqual(driver.execute_script("return document.getElementById('max-speed').value;"), '60',
                         'the slider is not kept')

    def test_keys_reach_the_board_at_once_and_stop_brings_neutral_bytes(self):
        for key in ('w', Keys.ARROW_UP):
            mark = len(self.rig.commands())
            ActionChains(self.driver).key_down(key).perform()
            moving = self.board_after(mark, lambda c: c.forward(), 'no forward motor bytes for %r' % key)
            self.assertEqual(0x80 - moving.bytes[2], moving.bytes[4] - 0x80, 'not straight: ' + moving.text())
            mark = len(self.rig.commands())
            self.driver.find_element(By.ID, 'stop').click()
            self.board_after(mark, lambda c: c.neutral(), 'STOP did not bring 80 80 80 80')
            ActionChains(self.driver).key_up(key).perform()
        # Between the cycle's commands, extra ones: closer together than 100 ms while the speed ramps.
        times = [c.time for c in self.rig.commands()[-40:]]
        self.assertLess(min(b - a for a, b in zip(times, times[1:])), 0.05, 'no command came on change')


class ComingBack(unittest.TestCase):
    def test_the_page_reconnects_when_quillon_comes_back(self):
        rig = support.Rig(BIN_DIR)
        self.addCleanup(lambda: rig.close())
        driver = support.browser(390, 844)   # a phone
        self.addCleanup(driver.quit)
        support.open_console(driver, rig.url())
        self.assertTrue(support.wait_until(lambda: driver.execute_script(
            "return document.getElementById('camera').complete && !!document.getElementById('camera').naturalWidth;"),
            10), 'no camera picture')
        ActionChains(driver).key_down('w').perform()
        self.assertTrue(support.wait_until(lambda: support.text_of(driver, 'driver') == 'you', 3))
        pad_top = "return document.getElementById('pad').getBoundingClientRect().top;"
        before = driver.execute_script(pad_top)
        rig.close()
        self.assertTrue(support.wait_until(lambda: support.text_of(driver, 'connection') == 'disconnected', 3))
        self.assertIn('trying again', support.text_of(driver, 'notice'))
        # Nothing live is kept: nobody named as driving, the picture marked old; the pad did not move.
        self.assertEqual(support.text_of(driver, 'driver'), 'unknown')
        self.assertTrue(driver.find_element(By.ID, 'picture-age').is_displayed())
        self.assertRegex(support.text_of(driver, 'picture-age'), r'^picture from \d+ s ago$')
        self.assertEqual(driver.execute_script(pad_top), before, 'the pad moved when the notice appeared')
        ActionChains(driver).key_up('w').perform()
        rig = support.Rig(BIN_DIR, port=rig.port)
        self.assertTrue(support.wait_until(
            lambda: support.text_of(driver, 'connection') == 'connected' and
            support.text_of(driver, 'serial-rate') not in ('0', '\u2013'), 10), 'no reconnection')


class SecureConsole(unittest.TestCase):
    def test_the_readmes_certificate_serves_the_console_over_https_only(self):
        with open(os.path.join(SOURCE_DIR, 'README.md')) as readme:
            command = next(line for line in readme.read().splitlines() if line.startswith('openssl req'))
        folder = tempfile.mkdtemp(prefix='quillon-tls-')
        self.addCleanup(shutil.rmtree, folder, True)
        made = subprocess.run(command, shell=True, cwd=folder, capture_output=True, text=True)
        self.assertEqual(made.returncode, 0, made.stderr)
        rig = support.Rig(BIN_DIR, config_lines=['web_cert ' + os.path.join(folder, 'cert.pem'),
                                                 'web_key ' + os.path.join(folder, 'key.pem')])
        self.addCleanup(rig.close)
        driver = support.browser(trust_any_certificate=True)
        self.addCleanup(driver.quit)
        support.open_console(driver, rig.url(scheme='https'))   # the page, then its wss connection
        self.assertTrue(driver.current_url.startswith('https://'))
        # Plain http gets a plain answer pointing to https://.
        with self.assertRaises(urllib.error.HTTPError) as plain:
            urllib.request.urlopen(rig.url(), timeout=5)
        self.assertEqual(plain.exception.code, 400)
        self.assertIn('https://127.0.0.1:%d/' % rig.port, plain.exception.read().decode())


if __name__ == '__main__':
    support.own_network()
    parser = argparse.ArgumentParser()
    parser.add_argument('--bin-dir', required=True, help='the folder holding quillon and quillon-sim')
    options, rest = parser.parse_known_args()
    BIN_DIR = options.bin_dir
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
