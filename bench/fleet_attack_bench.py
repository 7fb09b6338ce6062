#!/usr/bin/python3
"""The fleet under attack, and a STOP over the broker. A Mosquitto broker, a real quillon with quillon-sim
(on the broker, commands on change) and quillon-fleet run here; each attack runs in turn, and for each the
bench prints quillon-fleet's and quillon's memory (VmRSS before and at its peak) and CPU share, their
descriptors at its end, and the operator link's round trip during the attack (quillon-operator --bench,
2,000 round trips again and again while the attack runs: the median of their medians, the worst 99th
percentile):
  - idle: connections to quillon-fleet that never show the token (half send part of a request line);
  - guesses: requests with wrong tokens, one connection after another, as fast as they are answered;
  - pages: 16 pages that never read while 30,000 telemetry messages of a kilobyte arrive;
  - drive flood: 200,000 drive messages to the robot (malformed, oversized and valid, by 40 names);
  - big stops: 200 stop messages of 100 kB.
Then the time from a STOP published right behind a drive message to 80 80 80 80 on the bus, with the
broker's set_tcp_nodelay false and true. Prints figures and never fails on them.

    /usr/bin/python3 bench/fleet_attack_bench.py [--bin-dir build/default] [--stops 60] [--stops-only]
"""
import argparse
import os
import random
import re
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'browser'))
import console_support as support  # noqa: E402
import fleet_support as fleet  # noqa: E402
from web_bench import BoardClock, percentile  # noqa: E402


class RawPublisher:
    """A bare MQTT 3.1.1 client that only publishes at QoS 0, with Nagle off on its side: what leaves it
    goes at once, so the time measured is the broker's and the robot's."""

    def __init__(self, port, client_id):
        self.socket = socket.create_connection(('127.0.0.1', port))
        self.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        name = client_id.encode()
        body = b'\x00\x04MQTT\x04\x02\x00\x3c' + struct.pack('!H', len(name)) + name
        self.socket.sendall(b'\x10' + self.length(len(body)) + body)
        self.socket.recv(4)  # CONNACK

    @staticmethod
    def length(value):
        out = b''
        while True:
            byte, value = value % 128, value // 128
            out += bytes([byte | (0x80 if value else 0)])
            if not value:
                return out

    def packet(self, topic, payload):
        body = struct.pack('!H', len(topic)) + topic.encode() + payload.encode()
        return b'\x30' + self.length(len(body)) + body

    def publish(self, *messages):
        """Each (topic, payload) in one write."""
        self.socket.sendall(b''.join(self.packet(t, p) for t, p in messages))

    def close(self):
        self.socket.close()


class Watch:
    """Peak memory and CPU of processes while an attack runs."""

    def __init__(self, processes):
        self.processes = processes
        self.rss = {name: fleet.rss_megabytes(p.pid) for name, p in processes.items()}
        self.peak = dict(self.rss)
        self.cpu = {name: fleet.cpu_seconds(p.pid) for name, p in processes.items()}
        self.start = time.monotonic()
        self.running = True
        self.thread = threading.Thread(target=self.sample, daemon=True)
        self.thread.start()

    def sample(self):
        while self.running:
            for name, p in self.processes.items():
                self.peak[name] = max(self.peak[name], fleet.rss_megabytes(p.pid))
            time.sleep(0.05)

    def end(self):
        self.running = False
        self.thread.join()
        elapsed = time.monotonic() - self.start
        return {name: (self.rss[name], self.peak[name],
                       100.0 * (fleet.cpu_seconds(p.pid) - self.cpu[name]) / elapsed, fleet.descriptors(p.pid))
                for name, p in self.processes.items()}


def round_trips(options):
    """The operator link's round trip (median, 99th percentile, ms) over 2,000 stop messages."""
    out = subprocess.run([os.path.join(options.bin_dir, 'quillon-operator'), '--bench', '2000'],
                         capture_output=True, text=True, timeout=120).stdout
    found = [re.search(r'^%s: ([0-9.]+) us' % name, out, re.M) for name in ('median', '99th percentile')]
    return tuple(float(f.group(1)) / 1000.0 if f else float('nan') for f in found)


def attack_idle(bench):
    held = []
    for i in range(2000):
        s = socket.create_connection(('127.0.0.1', bench.page_port))
        if i % 2:
            s.send(b'GET /')
        held.append(s)
    return lambda: [s.close() for s in held]


def attack_guesses(bench):
    end = time.monotonic() + 8
    count = 0
    while time.monotonic() < end:
        with socket.create_connection(('127.0.0.1', bench.page_port)) as s:
            s.sendall(b'GET /?token=guess-%d HTTP/1.1\r\nHost: x\r\n\r\n' % count)
            s.recv(64)
        count += 1
    return lambda: None


def page(bench):
    """A page that never reads, once this address may show its token again after the guesses."""
    end = time.monotonic() + 60
    while True:
        socket_ = fleet.PageSocket(bench.page_port, 'bench-token')
        if socket_.status == 101 or time.monotonic() > end:
            return socket_
        socket_.close()
        time.sleep(1)


def attack_pages(bench):
    pages = [page(bench) for _ in range(16)]
    body = '{"time":1,"pad":"%s"}\n' % ('x' * 1000)
    for n in range(3):
        stream = fleet.Stream(bench.broker, 'x', 'quillon/flood%d/telemetry' % n)
        stream.process.stdin.write(body.encode() * 10000)
        stream.close()
    return lambda: [p.close() for p in pages]


def attack_drive_flood(bench):
    publisher = RawPublisher(bench.broker.port, 'flood')
    kinds = ['{"forward":0.5,"by":"op%d"}', '{"forward":7}', '{"keys":"wx"}', '{' + 'x' * 400 + '}', 'not json']
    for batch in range(2000):
        publisher.publish(*[('quillon/robot1/drive', random.choice(kinds).replace('%d', str(batch % 40)))
                            for _ in range(100)])
    return publisher.close


def attack_big_stops(bench):
    publisher = RawPublisher(bench.broker.port, 'stopper')
    for _ in range(200):
        publisher.publish(('quillon/robot1/stop', 's' * 100000))
    return publisher.close


class Bench:
    def __init__(self, options, folder, nodelay):
        self.broker = fleet.Broker(folder, extra='set_tcp_nodelay %s\n' % ('true' if nodelay else 'false'))
        self.rig = support.Rig(options.bin_dir, config_lines=[
            'mqtt_broker ' + self.broker.url(), 'robot_name robot1', 'command_on_change 1'])
        support.wait_until(lambda: 'Fleet: on the broker' in self.rig.log(), 15)
        self.page_port = support.free_port()
        self.fleet = subprocess.Popen([os.path.join(options.bin_dir, 'quillon-fleet'), '--broker', self.broker.url(),
                                       '--port', str(self.page_port), '--address', '127.0.0.1', '--token',
                                       'bench-token'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        support.wait_until(lambda: fleet.descriptors(self.fleet.pid) > 5, 5)
        time.sleep(1)

    def close(self):
        if self.fleet.poll() is None:
            self.fleet.terminate()
            self.fleet.wait(10)
        self.rig.close()
        self.broker.stop()


def attacks(options, bench):
    print('%-12s %-14s %9s %9s %7s %6s %20s' % ('attack', 'program', 'RSS MB', 'peak MB', 'CPU %', 'fds', 'link RTT ms'))
    quiet = round_trips(options)
    print('%-12s %-14s %9s %9s %7s %6s %9.2f %9.2f' % ('none', '', '', '', '', '', *quiet))
    processes = {'quillon-fleet': bench.fleet, 'quillon': bench.rig.quillon}
    for name, attack in (('idle', attack_idle), ('guesses', attack_guesses), ('pages', attack_pages),
                         ('drive flood', attack_drive_flood), ('big stops', attack_big_stops)):
        watch = Watch(processes)
        undo = []
        thread = threading.Thread(target=lambda: undo.append(attack(bench)))
        thread.start()
        trips = [round_trips(options)]
        while thread.is_alive():
            trips.append(round_trips(options))
        thread.join()
        figures = watch.end()
        link = (statistics.median(t[0] for t in trips), max(t[1] for t in trips))
        undo[0]()
        for program, (rss, peak, cpu, fds) in figures.items():
            print('%-12s %-14s %9.1f %9.1f %7.1f %6d %9.2f %9.2f' % (name, program, rss, peak, cpu, fds, *link),
                  flush=True)
        time.sleep(2)


def stop_latencies(bench, count):
    """From a STOP published right behind a drive message to the first 80 80 80 80 at the board, ms."""
    clock = BoardClock(bench.rig)
    publisher = RawPublisher(bench.broker.port, 'operator')
    drive = ('quillon/robot1/drive', '{"keys":"w","by":"ann"}')
    stops = []
    for _ in range(count):
        mark = len(bench.rig.commands())
        deadline = time.monotonic() + 3
        while clock.first_after(mark, lambda c: c.forward(), 0.1) is None and time.monotonic() < deadline:
            publisher.publish(drive)
        time.sleep(random.uniform(0.02, 0.09))
        mark = len(bench.rig.commands())
        start = time.monotonic()
        publisher.publish(drive, ('quillon/robot1/stop', '{"by":"ann"}'))
        stopped = clock.first_after(mark, lambda c: c.neutral())
        if stopped is not None:
            stops.append(1000 * (stopped - start))
        publisher.publish(('quillon/robot1/drive', '{"keys":"","by":"ann"}'))
        time.sleep(0.3)
    publisher.close()
    return stops


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--bin-dir', default='build/default')
    parser.add_argument('--stops', type=int, default=60)
    parser.add_argument('--stops-only', action='store_true')
    options = parser.parse_args()
    folder = tempfile.mkdtemp(prefix='quillon-fleet-attack-')
    try:
        for nodelay in (False, True):
            os.makedirs(os.path.join(folder, str(nodelay)))
            bench = Bench(options, os.path.join(folder, str(nodelay)), nodelay)
            try:
                stops = stop_latencies(bench, options.stops)
                if stops:
                    print('STOP right behind a drive, broker set_tcp_nodelay %-5s: median %5.1f ms, 99th percentile '
                          '%5.1f ms, worst %5.1f ms, %d of %d over 20 ms'
                          % (str(nodelay).lower(), statistics.median(stops), percentile(stops, 0.99), max(stops),
                             sum(1 for s in stops if s > 20), len(stops)), flush=True)
                if nodelay and not options.stops_only:
                    attacks(options, bench)
            finally:
                bench.close()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == '__main__':
    support.own_network()
    main()
