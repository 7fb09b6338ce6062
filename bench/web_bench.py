#!/usr/bin/python3
"""The web console's costs, with the real quillon, quillon-sim and headless chromium. Prints figures and
never fails on them:
  - the time from a key press in the browser to the first forward motor bytes at the simulated board, and
    from the release to 80 80 80 80 (median and 99th percentile);
  - the state updates a second the page sees;
  - quillon's CPU share with no browser, one and eight watching (from /proc/PID/stat);
  - the operator link's round trip (quillon-operator --bench) with no browser and with eight;
  - with command_on_change 1: key press to the first forward motor bytes, and STOP (the space bar) to
    80 80 80 80 (median and 99th percentile, WebDriver's own delivery included).

    /usr/bin/python3 bench/web_bench.py [--bin-dir build/default] [--presses 60] [--seconds 10] [--on-change-only]
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'browser'))
import console_support as support  # noqa: E402


def percentile(values, share):
    ordered = sorted(values)
    rank = max(1, min(len(ordered), int(-(-share * len(ordered) // 1))))
    return ordered[rank - 1]


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as stat:
        fields = stat.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def cpu_share(pid, seconds):
    """Percent of one core the process used over the next seconds."""
    start, used = time.monotonic(), cpu_seconds(pid)
    time.sleep(seconds)
    return 100.0 * (cpu_seconds(pid) - used) / (time.monotonic() - start)


class BoardClock:
    """Maps the sim's record times (CLOCK_MONOTONIC since its start) onto time.monotonic(): the start is
    the smallest gap seen between a line's appearing in the record and its own time."""

    def __init__(self, rig, seconds=2.0):
        self.rig = rig
        self.start = float('inf')
        seen = len(rig.commands())
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            commands = rig.commands()
            now = time.monotonic()
            for command in commands[seen:]:
                self.start = min(self.start, now - command.time)
            seen = len(commands)
            time.sleep(0.001)

    def first_after(self, mark, test, limit=3.0):
        """The monotonic time of the first command from index mark on that passes test; None on time-out."""
        found = support.wait_until(lambda: next((c for c in self.rig.commands()[mark:] if test(c)), None),
                                   limit, step=0.005)
        return None if found is None else self.start + found.time


def key_latencies(rig, driver, presses):
    from selenium.webdriver.common.action_chains import ActionChains
    import random
    clock = BoardClock(rig)
    press, release, injection, page = [], [], [], []
    # When the page saw each key, on the wall clock, to tell the program's share from WebDriver's.
    driver.execute_script("document.addEventListener('keydown', (e) => { window.keyAt = performance.timeOrigin"
                          " + e.timeStamp; }, true);")
    wall_minus_monotonic = time.time() - time.monotonic()
    for _ in range(presses):
        time.sleep(random.uniform(0.05, 0.25))   # every phase of the controller's 100 ms cycle
        mark = len(rig.commands())
        start = time.monotonic()
        ActionChains(driver).key_down('w').perform()
        injection.append(1000 * (time.monotonic() - start))
        moving = clock.first_after(mark, lambda c: not c.neutral())
        time.sleep(random.uniform(0.15, 0.3))
        mark = len(rig.commands())
        let_go = time.monotonic()
        ActionChains(driver).key_up('w').perform()
        stopped = clock.first_after(mark, lambda c: c.neutral())
        if moving is not None:
            press.append(1000 * (moving - start))
            page.append(1000 * moving - (driver.execute_script("return window.keyAt;") - 1000 * wall_minus_monotonic))
        if stopped is not None:
            release.append(1000 * (stopped - let_go))
    return press, release, injection, page


def stop_latencies(rig, driver, presses):
    """From the space bar (the page's STOP) while W is held to the first 80 80 80 80 at the board."""
    from selenium.webdriver.common.action_chains import ActionChains
    import random
    clock = BoardClock(rig)
    stops = []
    for _ in range(presses):
        mark = len(rig.commands())
        ActionChains(driver).key_down('w').perform()
        clock.first_after(mark, lambda c: not c.neutral())
        time.sleep(random.uniform(0.05, 0.25))
        mark = len(rig.commands())
        start = time.monotonic()
        ActionChains(driver).key_down(' ').perform()
        stopped = clock.first_after(mark, lambda c: c.neutral())
        ActionChains(driver).key_up(' ').key_up('w').perform()
        if stopped is not None:
            stops.append(1000 * (stopped - start))
        time.sleep(0.1)
    return stops


def on_change_figures(options):
    """The shortest way from a key to the motors: a quillon with command_on_change 1."""
    rig = support.Rig(options.bin_dir, config_lines=['command_on_change 1'])
    driver = None
    try:
        driver = support.browser()
        support.open_console(driver, rig.url())
        # The slider's default, then full speed: the speed ramp reaches the first motor step sooner the
        # higher the target.
        for percent in (None, 100):
            if percent is not None:
                driver.execute_script("const s = document.getElementById('max-speed'); s.value = arguments[0];"
                                      "s.dispatchEvent(new Event('input'));", str(percent))
            press, release, injection, page = key_latencies(rig, driver, options.presses)
            if press:
                print('on change, key press to motor bytes at %s: median %5.1f ms, 99th percentile %5.1f ms over '
                      '%d presses (goal: 20 ms, 40 ms); WebDriver delivers the key in a median %.1f ms; from the '
                      'page\'s key event a median %.1f ms'
                      % ('the default speed' if percent is None else 'full speed', statistics.median(press),
                         percentile(press, 0.99), len(press), statistics.median(injection), statistics.median(page)))
            if release:
                print('on change, key release to 80 80 80 80: median %5.1f ms, 99th percentile %5.1f ms'
                      % (statistics.median(release), percentile(release, 0.99)))
        stops = stop_latencies(rig, driver, options.presses)
        if stops:
            print('on change, STOP to 80 80 80 80:        median %5.1f ms, 99th percentile %5.1f ms, '
                  'worst %5.1f ms (goal: 20 ms)' % (statistics.median(stops), percentile(stops, 0.99), max(stops)))
    finally:
        if driver is not None:
            driver.quit()
        rig.close()


def machine_cpu():
    with open('/proc/stat') as stat:
        fields = [int(value) for value in stat.readline().split()[1:]]
    return fields[3] + fields[4], sum(fields)   # idle and iowait, total


def machine_load(action):
    """Runs action; returns its result and the share of all cores busy meanwhile, in percent."""
    idle, total = machine_cpu()
    result = action()
    idle_after, total_after = machine_cpu()
    return result, 100.0 * (1 - (idle_after - idle) / max(1, total_after - total))


class Watcher:
    """A bare WebSocket client that takes every message and reads none: quillon's side of a watching
    browser, without the browser's own load on this machine."""

    def __init__(self, rig):
        import socket
        import threading
        self.connection = socket.create_connection(('127.0.0.1', rig.port))
        key = 'cXVpbGxvbi13ZWItYmVuY2g='
        self.connection.sendall(('GET /ws?token=%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n'
                                 'Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n'
                                 % (rig.token, rig.port, key)).encode())
        self.reader = threading.Thread(target=self._drain, daemon=True)
        self.reader.start()

    def _drain(self):
        try:
            while self.connection.recv(65536):
                pass
        except OSError:
            pass

    def close(self):
        self.connection.close()


def update_rate(driver, seconds):
    rates = []
    for _ in range(int(seconds)):
        time.sleep(1.0)
        rates.append(int(support.text_of(driver, 'update-rate').split()[0]))
    return statistics.mean(rates)


def operator_round_trip(rig, bin_dir, folder, count=1000):
    if 'Network Online' not in rig.log():
        return 'not measured: the operator port was taken by another program'
    result = subprocess.run([os.path.join(bin_dir, 'quillon-operator'), '--bench', str(count)], cwd=folder,
                            capture_output=True, text=True, timeout=120)
    median = re.search(r'median: ([0-9.]+) us', result.stdout)
    p99 = re.search(r'99th percentile: ([0-9.]+) us', result.stdout)
    if not median or not p99:
        return 'no figures (%s)' % (result.stderr.strip() or result.stdout.strip())
    return 'median %s us, 99th percentile %s us' % (median.group(1), p99.group(1))


def open_windows(driver, url, count):
    """Opens count more windows of the console in the same browser."""
    for _ in range(count):
        driver.switch_to.new_window('window')
        support.open_console(driver, url)


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..')
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--bin-dir', default=os.path.join(root, 'build', 'default'))
    parser.add_argument('--presses', type=int, default=60)
    parser.add_argument('--seconds', type=float, default=10.0, help='length of each CPU measurement')
    parser.add_argument('--on-change-only', action='store_true', help='only the command_on_change 1 figures')
    options = parser.parse_args()
    options.bin_dir = os.path.abspath(options.bin_dir)
    for needed in (support.CHROMIUM, support.CHROMEDRIVER, os.path.join(options.bin_dir, 'quillon')):
        if not os.access(needed, os.X_OK):
            print('web_bench: skipped, %s is missing' % needed)
            return 0
    if options.on_change_only:
        on_change_figures(options)
        return 0

    rig = support.Rig(options.bin_dir)
    driver = None
    try:
        pid = rig.quillon.pid
        time.sleep(2)
        print('quillon CPU, no browser:     %5.2f %% of a core' % cpu_share(pid, options.seconds))
        print('operator link, no browser:   ' + operator_round_trip(rig, options.bin_dir, rig.folder))

        driver = support.browser()
        support.open_console(driver, rig.url())
        print('quillon CPU, 1 browser:      %5.2f %% of a core' % cpu_share(pid, options.seconds))
        print('updates the page sees:       %5.1f a second (goal: 10 or more)' % update_rate(driver, 5))

        press, release, injection = key_latencies(rig, driver, options.presses)
        if press:
            print('key press to motor bytes:    median %5.1f ms, 99th percentile %5.1f ms over %d presses '
                  '(goal: 60 ms, 120 ms)' % (statistics.median(press), percentile(press, 0.99), len(press)))
            print('  of which WebDriver takes:  median %5.1f ms to deliver the key to the page'
                  % statistics.median(injection))
        if release:
            print('key release to 80 80 80 80:  median %5.1f ms, 99th percentile %5.1f ms'
                  % (statistics.median(release), percentile(release, 0.99)))

        open_windows(driver, rig.url(), 7)
        time.sleep(1)
        share, load = machine_load(lambda: cpu_share(pid, options.seconds))
        print('quillon CPU, 8 browsers:     %5.2f %% of a core (goal: at most 2 points above none); '
              'all cores %.0f %% busy' % (share, load))
        trip, load = machine_load(lambda: operator_round_trip(rig, options.bin_dir, rig.folder))
        print('operator link, 8 browsers:   %s; all cores %.0f %% busy' % (trip, load))
        driver.quit()
        driver = None

        watchers = [Watcher(rig) for _ in range(8)]
        time.sleep(1)
        share, load = machine_load(lambda: cpu_share(pid, options.seconds))
        print('quillon CPU, 8 bare WebSocket clients: %5.2f %% of a core; all cores %.0f %% busy' % (share, load))
        trip, load = machine_load(lambda: operator_round_trip(rig, options.bin_dir, rig.folder))
        print('operator link, 8 bare WebSocket clients: %s; all cores %.0f %% busy' % (trip, load))
        for watcher in watchers:
            watcher.close()
    finally:
        if driver is not None:
            driver.quit()
        rig.close()
    on_change_figures(options)
    return 0


if __name__ == '__main__':
    support.own_network()
    sys.exit(main())
