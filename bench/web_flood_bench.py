#!/usr/bin/python3
"""The web console under a flood of TLS handshakes that never finish, with the real quillon and
quillon-sim on loopback. Prints figures and never fails on them:
  - quillon's memory (VmRSS, and its peak VmHWM) before, while the connections are held, and after;
  - its CPU share while they are opened and while they are held;
  - the time a browser with the token takes for its page over https during the flood.
Goal: 16,000 stalled handshakes cost less than 50 MB and 5 % of a core; the browser is served within 1 s.

    /usr/bin/python3 bench/web_flood_bench.py [--bin-dir build/default] [--connections 16000]
"""
import argparse
import os
import resource
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'browser'))
import console_support as support  # noqa: E402
from web_bench import cpu_seconds  # noqa: E402


def memory_kb(pid, field):
    with open('/proc/%d/status' % pid) as status:
        for line in status:
            if line.startswith(field + ':'):
                return int(line.split()[1])
    return 0


def browser_fetch(rig):
    """Seconds for the page over https with the token, or None when it failed."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    start = time.monotonic()
    try:
        with socket.create_connection(('127.0.0.1', rig.port), timeout=5) as raw:
            with context.wrap_socket(raw) as tls:
                tls.sendall(('GET /?token=%s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n'
                             % rig.token).encode())
                answer = b''
                while len(answer) < 12:
                    chunk = tls.recv(4096)
                    if not chunk:
                        break
                    answer += chunk
    except OSError:
        return None
    return time.monotonic() - start if answer.startswith(b'HTTP/1.1 200') else None


def flood(port, count, held):
    """Opens count connections that stall in the handshake: half send nothing, half a record header."""
    for i in range(count):
        s = socket.socket()
        try:
            s.connect(('127.0.0.1', port))
            if i % 2:
                s.send(b'\x16\x03\x01\x02\x00')
        except OSError:
            s.close()
            continue
        held.append(s)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--bin-dir', default='build/default')
    parser.add_argument('--connections', type=int, default=16000)
    options = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    count = min(options.connections, hard - 100)
    keys = tempfile.mkdtemp(prefix='quillon-flood-')
    subprocess.run('openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=quillon -keyout key.pem '
                   '-out cert.pem', shell=True, cwd=keys, check=True, capture_output=True)
    rig = support.Rig(options.bin_dir, config_lines=['web_cert ' + os.path.join(keys, 'cert.pem'),
                                                     'web_key ' + os.path.join(keys, 'key.pem')])
    pid = rig.quillon.pid
    try:
        before = memory_kb(pid, 'VmRSS')
        held = []
        cpu_start, wall_start = cpu_seconds(pid), time.monotonic()
        opener = threading.Thread(target=flood, args=(rig.port, count, held))
        opener.start()
        during = []
        while opener.is_alive():
            during.append(browser_fetch(rig))
        opener.join()
        opening = time.monotonic() - wall_start
        opening_cpu = 100 * (cpu_seconds(pid) - cpu_start) / opening
        cpu_start, wall_start = cpu_seconds(pid), time.monotonic()
        time.sleep(5)
        holding_cpu = 100 * (cpu_seconds(pid) - cpu_start) / (time.monotonic() - wall_start)
        while_held = memory_kb(pid, 'VmRSS')
        held_fetch = browser_fetch(rig)
        for s in held:
            s.close()
        time.sleep(1)
        after = memory_kb(pid, 'VmRSS')
        peak = memory_kb(pid, 'VmHWM')
        served = [t for t in during if t is not None]
        print('%d stalled TLS handshakes opened in %.1f s (%d connected)' % (count, opening, len(held)))
        print('  memory     before %6.1f MB   held %6.1f MB   after %6.1f MB   peak %6.1f MB   (goal: < 50 MB more)'
              % (before / 1024, while_held / 1024, after / 1024, peak / 1024))
        print('  cpu        %.1f %% of a core while opening, %.1f %% while held   (goal: < 5 %%)'
              % (opening_cpu, holding_cpu))
        if served:
            served.sort()
            print('  browser    %d of %d page loads served during the flood: median %.3f s, 99th percentile %.3f s, '
                  'slowest %.3f s; after it %s   (goal: < 1 s)'
                  % (len(served), len(during), served[len(served) // 2], served[int(0.99 * (len(served) - 1))],
                     served[-1], 'failed' if held_fetch is None else '%.3f s' % held_fetch))
        else:
            print('  browser    no page load served during the flood (%d tried)' % len(during))
    finally:
        rig.close()


if __name__ == '__main__':
    main()
