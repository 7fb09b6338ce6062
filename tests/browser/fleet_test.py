"""The fleet over a real Mosquitto broker: three real quillon, each with its own quillon-sim, publish to a
broker this test starts with its own password file and ACL; quillon-fleet shows them in headless chromium,
drives one of them, sees one vanish, and lives through the broker going away and coming back.

    /usr/bin/python3 tests/browser/fleet_test.py --bin-dir build/default [unittest options]
    /usr/bin/python3 tests/browser/fleet_test.py --bin-dir build/default --screenshot docs/fleet.png
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from selenium.webdriver.common.action_chains import ActionChains

import console_support as support
import fleet_support as support_fleet

BIN_DIR = None
STOP_LIMIT = 0.6   # seconds from letting go to the neutral command at the board
KEEPALIVE = 5      # every robot's mqtt_keepalive, the least there is
ROBOTS = ('robot1', 'robot2', 'robot3')
POSES = ('1.6,1.2,10', '3.0,1.5,0', '1.0,2.0,90')  # three views of the simulated room


def only_own_topics(broker, robot, other):
    """True when an operator sees the robot's message on its own topic but never the one it sends on the
    other robot's topic (sent first each time, until the own one is seen)."""
    watcher = support_fleet.Watcher(broker, 'operator', 'quillon/+/messages', broker.folder)
    try:
        def seen():
            broker.publish(robot, 'quillon/%s/messages' % other, 'intruder')
            broker.publish(robot, 'quillon/%s/messages' % robot, 'own topic')
            return 'quillon/%s/messages own topic' % robot in watcher.text()
        own = support.wait_until(seen, limit=10, step=0.2)
    finally:
        watcher.close()
    return own and 'intruder' not in watcher.text()


def robot_config(broker, name, number):
    # Each link listens on a loopback address of its own, so the three share port 32459.
    return ['listen_address 127.0.0.%d' % (number + 1), 'mqtt_broker mqtt://127.0.0.1:%d' % broker.port,
            'robot_name ' + name, 'mqtt_user ' + name, 'mqtt_password %s-secret' % name,
            'mqtt_keepalive %d' % KEEPALIVE, 'mqtt_rate 5']


class Fleet:
    """The broker, three robots and quillon-fleet."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix='quillon-fleet-')
        self.broker, self.fleet, self.robots = None, None, {}
        try:
            self.broker = support_fleet.Broker(self.folder, users=(*ROBOTS, 'fleet'), operators=('operator',))
            for number, name in enumerate(ROBOTS, 1):
                self.robots[name] = support.Rig(BIN_DIR, sim_arguments=['--pose', POSES[number - 1]],
                                                  config_lines=robot_config(self.broker, name, number))
        except Exception:
            self.close()
            raise
        self.port = support.free_port()
        self.token = 'fleet-test-token'
        with open(os.path.join(self.folder, 'fleet.out'), 'wb') as out:
            self.fleet = subprocess.Popen(
                [os.path.join(BIN_DIR, 'quillon-fleet'), '--broker', 'mqtt://127.0.0.1:%d' % self.broker.port,
                 '--port', str(self.port), '--address', '127.0.0.1', '--token', self.token,
                 '--user', 'fleet', '--password', 'fleet-secret'], stdout=out, stderr=subprocess.STDOUT)

    def url(self):
        return 'http://127.0.0.1:%d/?token=%s' % (self.port, self.token)

    def close(self):
        if self.fleet is not None and self.fleet.poll() is None:
            self.fleet.terminate()
            self.fleet.wait(10)
        for rig in self.robots.values():
            rig.close()
        if self.broker is not None:
            self.broker.stop()
        if not os.environ.get('QUILLON_KEEP_TEST_FOLDERS'):
            shutil.rmtree(self.folder, ignore_errors=True)


def cards(driver):
    """Every card's fields by robot name."""
    return driver.execute_script(
        "const out = {};"
        "document.querySelectorAll('.card').forEach(c => out[c.dataset.robot] = {"
        "  state: c.dataset.state, serial: c.querySelector('.serial-rate').textContent,"
        "  driver: c.querySelector('.driver').textContent, message: c.querySelector('.message').textContent,"
        "  updated: Number(c.dataset.updated || 0)});"
        "return out;")


def all_online(driver, names=ROBOTS, after=0):
    shown = cards(driver)
    return all(name in shown and shown[name]['state'] == 'online' and shown[name]['serial'].endswith('/s')
               and shown[name]['updated'] > after for name in names)


class FleetJourney(unittest.TestCase):
    def setUp(self):
        self.fleet = Fleet()
        self.addCleanup(self.fleet.close)
        self.driver = support.browser()
        self.addCleanup(self.driver.quit)
        self.driver.get(self.fleet.url())
        self.assertTrue(support.wait_until(lambda: all_online(self.driver), limit=20),
                        'not every robot online: %s' % cards(self.driver))

    def hold(self, key, down):
        chain = ActionChains(self.driver)
        (chain.key_down(key) if down else chain.key_up(key)).perform()

    def choose(self, name):
        self.driver.execute_script(
            "document.querySelector('.card[data-robot=\"' + arguments[0] + '\"] .drive').click();", name)

    def forward_since(self, name, mark):
        return any(c.forward() for c in self.fleet.robots[name].commands()[mark:])

    def neutral_within(self, name, action, limit):
        """Runs action, then the time until the robot's board gets the neutral command (None if not)."""
        rig = self.fleet.robots[name]
        mark = len(rig.commands())
        start = time.monotonic()
        action()
        reached = support.wait_until(lambda: any(c.neutral() for c in rig.commands()[mark:]), limit)
        return time.monotonic() - start if reached else None

    def test_fleet_journey(self):
        # A robot's console answers from here, so its card opens it.
        self.assertTrue(support.wait_until(lambda: self.driver.execute_script(
            "return document.querySelector('.card[data-robot=\"robot1\"] .console')"
            ".getAttribute('aria-disabled') === 'false';"), 5))
        marks = {name: len(rig.commands()) for name, rig in self.fleet.robots.items()}
        # Driving robot 2 moves its board only; letting go stops it within the limit.
        self.choose('robot2')
        self.hold('w', True)
        self.assertTrue(support.wait_until(lambda: self.forward_since('robot2', marks['robot2']), 3))
        self.assertTrue(support.wait_until(lambda: cards(self.driver)['robot2']['driver'] == 'mqtt', 3))
        stopped = self.neutral_within('robot2', lambda: self.hold('w', False), 2)
        self.assertIsNotNone(stopped)
        self.assertLess(stopped, STOP_LIMIT)
        for name in ('robot1', 'robot3'):
            self.assertFalse(self.forward_since(name, marks[name]), name + ' moved')

        # The ACL keeps a robot to its own topics: robot1's word on robot2's topic never arrives.
        self.assertTrue(only_own_topics(self.fleet.broker, 'robot1', 'robot2'))
        # Malformed drive messages are dropped; the robot goes on.
        self.fleet.broker.publish('operator', 'quillon/robot1/drive', '{"forward": 7')

        # A robot killed outright is shown offline within its keepalive and a half.
        killed = time.monotonic()
        self.fleet.robots['robot3'].quillon.send_signal(signal.SIGKILL)
        self.assertTrue(support.wait_until(lambda: cards(self.driver)['robot3']['state'] == 'offline',
                                           KEEPALIVE * 1.5 + 1))
        self.assertLess(time.monotonic() - killed, KEEPALIVE * 1.5 + 0.5)

        # The broker goes while robot 2 is driven: the robot stops though the key is still held.
        self.hold('w', True)
        self.assertTrue(support.wait_until(lambda: cards(self.driver)['robot2']['driver'] == 'mqtt', 3))
        self.assertIsNotNone(self.neutral_within('robot2', self.fleet.broker.stop, 2))
        self.hold('w', False)
        self.assertTrue(support.wait_until(lambda: 'Fleet: broker lost' in self.fleet.robots['robot1'].log(), 5))
        # Back again: every live robot's card comes back, nothing else restarted.
        restarted = self.driver.execute_script('return Date.now();')
        self.fleet.broker.start()
        self.assertTrue(support.wait_until(lambda: all_online(self.driver, ROBOTS[:2], restarted), limit=40),
                        'cards not back: %s' % cards(self.driver))
        self.assertTrue(support.wait_until(lambda: 'Fleet: broker back' in self.fleet.robots['robot2'].log(), 5))


def take_screenshot(path):
    fleet = Fleet()
    driver = support.browser(1280, 720)
    try:
        driver.get(fleet.url())
        support.wait_until(lambda: all_online(driver), limit=20)
        time.sleep(8)  # the first pictures (one every 5 s) and steady rates
        driver.save_screenshot(path)
    finally:
        driver.quit()
        fleet.close()


if __name__ == '__main__':
    support.own_network()
    parser = argparse.ArgumentParser()
    parser.add_argument('--bin-dir', required=True, help='the folder holding quillon, quillon-sim, quillon-fleet')
    parser.add_argument('--screenshot', help='only write a PNG of the fleet page with three robots')
    options, rest = parser.parse_known_args()
    BIN_DIR = options.bin_dir
    if options.screenshot:
        take_screenshot(options.screenshot)
    else:
        unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
