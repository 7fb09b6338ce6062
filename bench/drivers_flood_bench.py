#!/usr/bin/python3
"""A browser with the token floods the console with STOP messages, reconnecting whenever it is closed,
against the real quillon and quillon-sim. Prints figures and never fails on them:
  - the operator link's round trip meanwhile (quillon-operator --bench, repeated; goal under 50 ms);
  - quillon's memory growth over the flood (VmRSS; goal under 10 MB);
  - the log's growth, both files (goal under 100 kB);
  - how many STOP messages were sent and how many connections the console closed.

    /usr/bin/python3 bench/drivers_flood_bench.py [--bin-dir build/default] [--seconds 60] [--flooders 1]
"""
import argparse
import os
import re
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'browser'))
import console_support as support  # noqa: E402

STOP = b'{"type":"stop"}'


def masked_frame(payload):
    """One client-to-server text frame (clients must mask; a zero mask keeps the bytes as they are)."""
    return bytes([0x81, 0x80 | len(payload)]) + b'\0\0\0\0' + payload


class Flooder:
    """Sends STOP as fast as the socket takes it; opens a new connection each time the console closes one."""

    def __init__(self, rig):
        self.rig = rig
        self.sent = 0
        self.connections = 0
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _connect(self):
        connection = socket.create_connection(('127.0.0.1', self.rig.port), timeout=5)
        connection.sendall(('GET /ws?token=%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n'
                            'Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n'
                            'Sec-WebSocket-Version: 13\r\n\r\n' % (self.rig.token, self.rig.port)).encode())
        answer = b''
        while b'\r\n\r\n' not in answer:
            chunk = connection.recv(4096)
            if not chunk:
                raise OSError('closed during the upgrade')
            answer += chunk
        if not answer.startswith(b'HTTP/1.1 101'):
            raise OSError(answer.split(b'\r\n', 1)[0].decode(errors='replace'))
        return connection

    def _run(self):
        burst = masked_frame(STOP) * 256
        while self.running:
            try:
                connection = self._connect()
                self.connections += 1
                threading.Thread(target=self._drain, args=(connection,), daemon=True).start()
                while self.running:
                    connection.sendall(burst)
                    self.sent += 256
            except OSError:
                time.sleep(0.01)

    @staticmethod
    def _drain(connection):
        try:
            while connection.recv(65536):
                pass
        except OSError:
            pass

    def stop(self):
        self.running = False
        self.thread.join(5)


def resident_kib(pid):
    with open('/proc/%d/status' % pid) as status:
        for line in status:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


def log_bytes(rig):
    return sum(os.path.getsize(rig.file(name)) for name in ('log.txt', 'log.1.txt') if os.path.exists(rig.file(name)))


def round_trips(rig, bin_dir, count=200):
    """One quillon-operator --bench run: (median, 99th percentile) in ms, or None."""
    import subprocess
    result = subprocess.run([os.path.join(bin_dir, 'quillon-operator'), '--bench', str(count)], cwd=rig.folder,
                            capture_output=True, text=True, timeout=120)
    figures = [re.search(pattern + r': ([0-9.]+) us', result.stdout) for pattern in ('median', '99th percentile')]
    if not all(figures):
        return None
    return tuple(float(found.group(1)) / 1000.0 for found in figures)


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..')
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--bin-dir', default=os.path.join(root, 'build', 'default'))
    parser.add_argument('--seconds', type=float, default=60.0)
    parser.add_argument('--flooders', type=int, default=1)
    options = parser.parse_args()
    options.bin_dir = os.path.abspath(options.bin_dir)
    for program in ('quillon', 'quillon-sim', 'quillon-operator'):
        if not os.access(os.path.join(options.bin_dir, program), os.X_OK):
            print('drivers_flood_bench: skipped, %s is missing' % program)
            return 0
    rig = support.Rig(options.bin_dir)
    try:
        pid = rig.quillon.pid
        time.sleep(1)
        quiet = round_trips(rig, options.bin_dir)
        memory, logged = resident_kib(pid), log_bytes(rig)
        flooders = [Flooder(rig) for _ in range(options.flooders)]
        trips = []
        end = time.monotonic() + options.seconds
        while time.monotonic() < end:
            trip = round_trips(rig, options.bin_dir)
            if trip:
                trips.append(trip)
        for flooder in flooders:
            flooder.stop()
        grown_memory = (resident_kib(pid) - memory) / 1024.0
        grown_log = (log_bytes(rig) - logged) / 1024.0
        print('operator link, no flood:      %s' % ('median %.2f ms, 99th percentile %.2f ms' % quiet
                                                   if quiet else 'not measured'))
        if trips:
            print('operator link, under flood:   median %.2f ms; the worst run\'s 99th percentile %.2f ms, over %d runs '
                  '(goal: under 50 ms)' % (sorted(t[0] for t in trips)[len(trips) // 2], max(t[1] for t in trips),
                                           len(trips)))
        else:
            print('operator link, under flood:   no figures')
        print('memory growth:                %.1f MB (goal: under 10 MB)' % grown_memory)
        print('log growth:                   %.1f kB (goal: under 100 kB)' % grown_log)
        print('STOP messages sent:           %d over %d connections in %.0f s'
              % (sum(f.sent for f in flooders), sum(f.connections for f in flooders), options.seconds))
    finally:
        rig.close()
    return 0


if __name__ == '__main__':
    sys.exit(main())
