#!/usr/bin/python3
"""The fleet at scale: quillon-fleet-load plays N robots (one MQTT connection each, 2 telemetry messages a
second) on a Mosquitto broker started here; quillon-fleet serves the fleet page to headless chromium.
Prints, for each N, the broker's and quillon-fleet's CPU share (percent of one core) and memory (RSS),
and the delay from a robot's publish to the page's update, measured in the page (median, 99th percentile).
Prints figures and never fails on them.

    /usr/bin/python3 bench/fleet_bench.py [--bin-dir build/default] [--robots 100,1000,5000] [--seconds 20]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'browser'))
import console_support as support  # noqa: E402
from fleet_support import rss_megabytes  # noqa: E402
from web_bench import cpu_seconds, percentile  # noqa: E402


def measure(options, folder, robots):
    """One run with a fresh broker and quillon-fleet; returns the figures."""
    port, page_port = support.free_port(), support.free_port()
    conf = os.path.join(folder, 'mosquitto-%d.conf' % robots)
    with open(conf, 'w') as out:
        out.write('listener %d 127.0.0.1\nallow_anonymous true\npersistence false\nmax_queued_messages 100000\n' % port)
    broker = subprocess.Popen(['/usr/sbin/mosquitto', '-c', conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    fleet = subprocess.Popen([os.path.join(options.bin_dir, 'quillon-fleet'), '--broker', 'mqtt://127.0.0.1:%d' % port,
                              '--port', str(page_port), '--address', '127.0.0.1', '--token', 'bench-token'],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    driver = support.browser()
    load = None
    try:
        load = subprocess.Popen([os.path.join(options.bin_dir, 'bench', 'quillon-fleet-load'), '--broker',
                                 'mqtt://127.0.0.1:%d' % port, '--robots', str(robots), '--rate', '2',
                                 '--seconds', '3600'], stdout=subprocess.PIPE, text=True)
        load.stdout.readline()  # every robot connected
        driver.get('http://127.0.0.1:%d/?token=bench-token' % page_port)
        support.wait_until(lambda: driver.execute_script('return document.querySelectorAll(".card").length;')
                           >= robots, limit=30)
        time.sleep(3)
        driver.execute_script('window.fleetDelays = [];')
        start = time.monotonic()
        used = {p.pid: cpu_seconds(p.pid) for p in (broker, fleet)}
        time.sleep(options.seconds)
        elapsed = time.monotonic() - start
        share = {p.pid: 100.0 * (cpu_seconds(p.pid) - used[p.pid]) / elapsed for p in (broker, fleet)}
        delays = driver.execute_script('return window.fleetDelays;')
        return {'broker_cpu': share[broker.pid], 'broker_mb': rss_megabytes(broker.pid),
                'fleet_cpu': share[fleet.pid], 'fleet_mb': rss_megabytes(fleet.pid),
                'updates': len(delays) / elapsed,
                'median_ms': 1000 * percentile(delays, 0.5) if delays else float('nan'),
                'p99_ms': 1000 * percentile(delays, 0.99) if delays else float('nan')}
    finally:
        driver.quit()
        for process in (load, fleet, broker):
            if process is not None and process.poll() is None:
                process.terminate()
                process.wait(30)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--bin-dir', default='build/default')
    parser.add_argument('--robots', default='100,1000,5000')
    parser.add_argument('--seconds', type=float, default=20.0)
    options = parser.parse_args()
    folder = tempfile.mkdtemp(prefix='quillon-fleet-bench-')
    print('%7s %12s %12s %12s %12s %10s %10s %10s' % ('robots', 'broker CPU%', 'broker MB', 'fleet CPU%',
                                                       'fleet MB', 'updates/s', 'median ms', 'p99 ms'))
    try:
        for robots in [int(n) for n in options.robots.split(',')]:
            r = measure(options, folder, robots)
            print('%7d %12.1f %12.1f %12.1f %12.1f %10.0f %10.1f %10.1f' % (
                robots, r['broker_cpu'], r['broker_mb'], r['fleet_cpu'], r['fleet_mb'], r['updates'],
                r['median_ms'], r['p99_ms']), flush=True)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == '__main__':
    main()
