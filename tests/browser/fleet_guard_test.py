"""The fleet link and quillon-fleet against what an operator's mistake or an attacker on the robot's network
does, over a real Mosquitto broker started here: stale and oversized messages, named operators, a taken
client id, bad robot names, idle connections, guessed tokens, pages that never read, foreign console
links, a descriptor limit, and the page over TLS. Every figure checked is a count (descriptors, commands,
connections, CPU seconds against a spinning loop's), never a time that a busy machine would stretch.

    /usr/bin/python3 tests/browser/fleet_guard_test.py --bin-dir build/default [unittest options]
"""
import argparse
import os
import re
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

import console_support as support
import fleet_support as fleet

BIN_DIR = None
DRIVE = '{"keys":"w","by":"ann"}'


def folder_for(test):
    path = tempfile.mkdtemp(prefix='quillon-fleet-guard-')
    if not os.environ.get('QUILLON_KEEP_TEST_FOLDERS'):
        test.addCleanup(shutil.rmtree, path, True)
    return path


def start_robot(test, broker_url, name='robot1', user='robot1'):
    rig = support.Rig(BIN_DIR, config_lines=['mqtt_broker ' + broker_url, 'robot_name ' + name, 'mqtt_user ' + user,
                                             'mqtt_password %s-secret' % user, 'mqtt_keepalive 5'])
    test.addCleanup(rig.close)
    return rig


def on_broker(rig):
    return support.wait_until(lambda: 'Fleet: on the broker as' in rig.log(), 15)


def commands_after(rig, count, mark):
    """The commands from mark on, once count of them have come."""
    support.wait_until(lambda: len(rig.commands()) >= mark + count, 10)
    return rig.commands()[mark:]


def backward(command):
    return command.bytes[2] > 0x80 and command.bytes[4] < 0x80


class RobotOnTheBroker(unittest.TestCase):
    """The real quillon and quillon-sim, with the README's broker."""

    def setUp(self):
        self.folder = folder_for(self)
        # One user for each client that stays connected: the README's broker makes the user the client id.
        self.broker = fleet.Broker(self.folder, users=('robot1', 'robot2'), operators=('ann', 'bob', 'watcher'))
        self.addCleanup(self.broker.stop)

    def drive_until(self, stream, rig, line, condition, mark):
        return support.wait_until(lambda: stream.send(line) or any(condition(c) for c in rig.commands()[mark:]),
                                  10, step=0.1)

    def test_stale_drives_never_move_the_robot_and_every_stop_is_taken(self):
        self.broker.publish('ann', 'quillon/robot1/drive', '{"forward":1}', '-r')
        rig = start_robot(self, self.broker.url())
        self.assertTrue(on_broker(rig), rig.log())
        self.assertTrue(support.wait_until(
            lambda: 'Retained message on quillon/robot1/drive ignored' in rig.log(), 5), rig.log())
        mark = len(rig.commands())
        self.assertFalse(any(c.forward() for c in commands_after(rig, 10, mark)), 'the retained drive moved it')
        self.broker.clear('ann', 'quillon/robot1/drive')  # as the log line says

        stream = fleet.Stream(self.broker, 'ann', 'quillon/robot1/drive')
        self.addCleanup(stream.close)
        mark = len(rig.commands())
        self.assertTrue(self.drive_until(stream, rig, DRIVE, support.Command.forward, mark), 'live drives move it')
        # A stop of 100 kB, far past the drive messages' limit, while the drives go on: it holds.
        big = os.path.join(self.folder, 'stop.txt')
        with open(big, 'w') as out:
            out.write('stop ' * 20000)
        self.broker.publish_file('bob', 'quillon/robot1/stop', big)
        mark = len(rig.commands())
        self.assertTrue(self.drive_until(stream, rig, DRIVE, support.Command.neutral, mark))
        neutral_at = next(i for i, c in enumerate(rig.commands()[mark:]) if c.neutral()) + mark
        for _ in range(10):
            stream.send(DRIVE)
            commands_after(rig, 1, len(rig.commands()))
        self.assertTrue(all(c.neutral() for c in rig.commands()[neutral_at:]), 'a drive overtook the stop')

        # After a broker loss nobody drives until a fresh drive: the old one was never repeated.
        self.broker.stop()
        stream.close()
        self.assertTrue(support.wait_until(lambda: 'Fleet: broker lost' in rig.log(), 10))
        self.broker.start()
        self.assertTrue(support.wait_until(lambda: 'Fleet: broker back' in rig.log(), 20), rig.log())
        mark = len(rig.commands())
        self.assertTrue(all(c.neutral() for c in commands_after(rig, 10, mark)))

    def test_broker_connections_send_without_delay(self):
        rig = start_robot(self, self.broker.url())
        self.assertTrue(on_broker(rig), rig.log())
        server = FleetServer(self, self.folder, self.broker, ['--user', 'watcher', '--password', 'watcher-secret'])
        for process in (rig.quillon, server.process):
            nodelay = fleet.broker_socket_nodelay(process.pid, self.broker.port)
            if nodelay is None:
                self.skipTest('this system does not let the test read another process\'s socket')
            self.assertTrue(nodelay, 'Nagle is on for %d' % process.pid)

    def test_named_operators_are_drivers_of_their_own_within_a_bound(self):
        rig = start_robot(self, self.broker.url())
        self.assertTrue(on_broker(rig), rig.log())
        watcher = fleet.Watcher(self.broker, 'watcher', 'quillon/robot1/messages', self.folder)
        self.addCleanup(watcher.close)
        ann = fleet.Stream(self.broker, 'ann', 'quillon/robot1/drive')
        self.addCleanup(ann.close)
        mark = len(rig.commands())
        self.assertTrue(self.drive_until(ann, rig, DRIVE, support.Command.forward, mark))
        # Bob, a driver of his own, cannot take over while Ann drives; under one shared identity he would.
        bob = fleet.Stream(self.broker, 'bob', 'quillon/robot1/drive')
        self.addCleanup(bob.close)
        mark = len(rig.commands())
        for _ in range(10):
            ann.send(DRIVE)
            bob.send('{"keys":"s","by":"bob"}')
            commands_after(rig, 1, len(rig.commands()))
        self.assertFalse(any(backward(c) for c in rig.commands()[mark:]), 'bob took over from ann')
        self.assertTrue(any(c.forward() for c in rig.commands()[mark:]))
        # Sixteen names are known; a seventeenth is refused, and told so on the robot's messages.
        for number in range(14):
            bob.send('{"keys":"","by":"operator %d"}' % number)
        self.assertTrue(support.wait_until(
            lambda: bob.send('{"keys":"w","by":"late"}') or 'Fleet: drive by late refused' in watcher.text(), 10,
            step=0.2), watcher.text())

    def test_a_taken_client_id_is_told_and_the_readme_broker_refuses_it(self):
        rig = start_robot(self, self.broker.url())
        self.assertTrue(on_broker(rig), rig.log())
        # With the README's broker, another robot's user connecting as quillon-robot1 gets its own id.
        for _ in range(8):
            self.broker.client('mosquitto_sub', 'robot2', '-i', 'quillon-robot1', '-t', 'quillon/robot2/drive',
                               '-W', '1', stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).wait(10)
        self.assertNotIn('Fleet: broker lost', rig.log())
        rig.close()

        # A broker that lets anyone take the id: the robot is dropped again and again, and says why.
        os.mkdir(os.path.join(self.folder, 'bare'))
        bare = fleet.Broker(os.path.join(self.folder, 'bare'))
        self.addCleanup(bare.stop)
        exposed = start_robot(self, bare.url(), user='nobody')
        self.assertTrue(on_broker(exposed), exposed.log())
        intruder = bare.client('mosquitto_sub', 'x', '-i', 'quillon-robot1', '-t', 'x', stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        self.addCleanup(intruder.wait, 10)
        self.addCleanup(intruder.terminate)
        self.assertTrue(support.wait_until(
            lambda: "another client took this robot's client id quillon-robot1" in exposed.log(), 30),
            exposed.log())

    def test_an_mqtt5_takeover_is_told_at_once_and_the_robot_comes_back(self):
        """A broker that ends the connection with reason 142, played here; it listens only after the robot
        has started, so the robot's first attempt is refused at once and must be tried again."""
        port = support.free_port()
        rig = start_robot(self, 'mqtt://127.0.0.1:%d' % port)
        accepted = []
        server = socket.create_server(('127.0.0.1', port))
        self.addCleanup(server.close)

        def serve():
            while len(accepted) < 2:
                connection, _ = server.accept()
                accepted.append(connection)
                connection.recv(4096)                             # CONNECT
                connection.sendall(bytes([0x20, 3, 0, 0, 0]))     # CONNACK, success, no properties
                if len(accepted) == 1:
                    connection.sendall(bytes([0xE0, 2, 142, 0]))  # DISCONNECT, session taken over
        thread = threading.Thread(target=serve, daemon=True)
        thread.start()
        self.assertTrue(support.wait_until(
            lambda: "another client took this robot's client id quillon-robot1" in rig.log(), 15), rig.log())
        self.assertTrue(support.wait_until(lambda: len(accepted) == 2, 15), 'the robot never came back')
        for connection in accepted:
            connection.close()

    def test_a_name_the_page_cannot_show_gives_a_line_and_no_link(self):
        for name, fault in (('caf\udce9', 'is not UTF-8'), ('rtl\u202eevil', 'has an invisible')):
            rig = start_robot(self, self.broker.url(), name=name)
            self.assertTrue(support.wait_until(lambda: 'Fleet: robot_name ' + fault in rig.log(), 10), rig.log())
            self.assertNotIn('Fleet - Start', rig.log())
            rig.close()


class FleetServer:
    """quillon-fleet on a bare broker, with resource limits and TLS when asked."""

    def __init__(self, test, folder, broker, arguments=(), descriptors=None, token='guard-test-token'):
        self.port = support.free_port()
        self.token = token
        if token is not None:
            arguments = ('--token', token, *arguments)
        limit = None if descriptors is None else (lambda: resource.setrlimit(resource.RLIMIT_NOFILE,
                                                                              (descriptors, descriptors)))
        with open(os.path.join(folder, 'fleet-%d.out' % self.port), 'wb') as out:
            self.process = subprocess.Popen(
                [os.path.join(BIN_DIR, 'quillon-fleet'), '--broker', broker.url(), '--port', str(self.port),
                 '--address', '127.0.0.1', *arguments],
                stdout=out, stderr=subprocess.STDOUT, preexec_fn=limit)
        self.out = out.name
        test.addCleanup(self.close)
        if not support.wait_until(lambda: 'on the broker' in self.output(), 15):
            raise RuntimeError('quillon-fleet did not start: ' + self.output())
        if token is None:  # the one it made, from the address it prints
            self.token = re.search(r'\?token=(\S+)', self.output()).group(1)

    def output(self):
        with open(self.out, errors='replace') as text:
            return text.read()

    def status(self, token, tls=False):
        connection = socket.create_connection(('127.0.0.1', self.port), timeout=5)
        if tls:
            context = fleet.ssl.create_default_context()
            context.check_hostname, context.verify_mode = False, fleet.ssl.CERT_NONE
            connection = context.wrap_socket(connection)
        with connection:
            connection.sendall(('GET /?token=%s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n' % token).encode())
            words = connection.recv(64).split()
        return int(words[1]) if len(words) > 1 and words[1].isdigit() else 0

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)


def closed_count(clients, ended):
    for i, client in enumerate(clients):
        if not ended[i]:
            try:
                ended[i] = client.recv(1) == b''
            except BlockingIOError:
                pass
            except OSError:
                ended[i] = True
    return sum(ended)


def idle_clients(port, count):
    clients = []
    for i in range(count):
        client = socket.create_connection(('127.0.0.1', port), timeout=5)
        if i % 2:
            client.sendall(b'GET /')   # a request line that never ends
        client.setblocking(False)
        clients.append(client)
    return clients


class FleetPageUnderAttack(unittest.TestCase):
    def setUp(self):
        self.folder = folder_for(self)
        self.broker = fleet.Broker(self.folder)
        self.addCleanup(self.broker.stop)

    def test_idle_connections_guesses_and_pages_are_bounded(self):
        server = FleetServer(self, self.folder, self.broker)
        pid = server.process.pid
        before = fleet.descriptors(pid)
        clients = idle_clients(server.port, 200)
        self.addCleanup(lambda: [c.close() for c in clients])
        ended = [False] * len(clients)
        self.assertTrue(support.wait_until(lambda: closed_count(clients, ended) >= 200 - 32, 10), sum(ended))
        self.assertLessEqual(fleet.descriptors(pid), before + 32 + 2)
        self.assertTrue(support.wait_until(lambda: closed_count(clients, ended) == 200, 12), sum(ended))

        for i in range(5):
            self.assertEqual(server.status('wrong-%d' % i), 401)
        guesses = 5
        while guesses < 20 and server.status('wrong-%d' % guesses) != 429:
            guesses += 1
        self.assertLess(guesses, 20, 'guessing was never slowed')
        self.assertTrue(support.wait_until(lambda: server.status(server.token) == 200, 40))

        # Sixteen pages that never read; the seventeenth finds no place.
        pages = [fleet.PageSocket(server.port, server.token, receive_buffer=4096) for _ in range(16)]
        self.addCleanup(lambda: [p.close() for p in pages])
        self.assertEqual([p.status for p in pages], [101] * 16)
        refused = fleet.PageSocket(server.port, server.token)
        self.assertEqual(refused.status, 503)
        refused.close()
        rss = fleet.rss_megabytes(pid)
        # 30,000 telemetry messages of a kilobyte for three robots: what waits for each page is the newest
        # of each, not the flood.
        body = '{"time":1,"pad":"%s"}' % ('x' * 1000)
        streams = [fleet.Stream(self.broker, 'x', 'quillon/flood%d/telemetry' % n) for n in range(3)]
        for stream in streams:
            stream.process.stdin.write((body + '\n').encode() * 10000)
            stream.close()
        # As telemetry goes on, their writes stall, and they are closed: descriptors come back to where
        # they were.
        peak = [0.0]
        steady = fleet.Stream(self.broker, 'x', 'quillon/flood0/telemetry')
        self.addCleanup(steady.close)

        def pages_closed():
            for _ in range(20):
                steady.send(body)
            peak[0] = max(peak[0], fleet.rss_megabytes(pid))
            return fleet.descriptors(pid) <= before + 1
        self.assertTrue(support.wait_until(pages_closed, 45, step=0.1), fleet.descriptors(pid))
        if not fleet.sanitized(pid):
            self.assertLess(peak[0] - rss, 40, 'memory grew with the flood')
        self.assertTrue(support.wait_until(lambda: pages[0].events() is None, 5))

    def test_a_token_the_address_cannot_carry_is_refused_and_a_made_one_admits(self):
        command = [os.path.join(BIN_DIR, 'quillon-fleet'), '--broker', self.broker.url(),
                   '--port', str(support.free_port()), '--address', '127.0.0.1']
        for token in ('short', 'two&parts', 'x' * 129):
            refused = subprocess.run(command + ['--token', token], capture_output=True, text=True, timeout=10)
            self.assertEqual(refused.returncode, 2, token)
            self.assertIn('a token is 8 to 128 letters', refused.stderr)
        server = FleetServer(self, self.folder, self.broker, token=None)
        self.assertRegex(server.token, '^[0-9a-f]{32}$')
        self.assertTrue(support.wait_until(lambda: server.status(server.token) == 200, 10))
        self.assertEqual(server.status('0' * 32), 401)

    def test_accepting_at_the_descriptor_limit_pauses_instead_of_spinning(self):
        server = FleetServer(self, self.folder, self.broker, descriptors=32)
        pid = server.process.pid
        if fleet.sanitized(pid):
            self.skipTest('the sanitizers check memory through pipes of their own, which a full table refuses')
        used = fleet.cpu_seconds(pid)
        clients = idle_clients(server.port, 60)
        self.addCleanup(lambda: [c.close() for c in clients])
        self.assertTrue(support.wait_until(lambda: 'accepting a connection failed' in server.output(), 5))
        ended = [False] * len(clients)
        # The first ones end at the 5 s limit and free their descriptors for the rest, which end too.
        self.assertTrue(support.wait_until(lambda: closed_count(clients, ended) == len(clients), 40), sum(ended))
        self.assertLess(fleet.cpu_seconds(pid) - used, 1.0, 'the accept loop spun')
        self.assertEqual(server.status(server.token), 200)

    def test_the_page_over_tls_with_every_name_and_only_web_links(self):
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'key.pem', '-out',
                        'cert.pem', '-days', '2', '-subj', '/CN=localhost'], cwd=self.folder, check=True,
                       capture_output=True)
        cert, key = os.path.join(self.folder, 'cert.pem'), os.path.join(self.folder, 'key.pem')
        alone = subprocess.run([os.path.join(BIN_DIR, 'quillon-fleet'), '--broker', self.broker.url(), '--port',
                                '1', '--cert', cert], capture_output=True)
        self.assertEqual(alone.returncode, 2, '--cert without --key')
        server = FleetServer(self, self.folder, self.broker, ['--cert', cert, '--key', key])
        self.assertIn('quillon-fleet: https://127.0.0.1:%d/?token=' % server.port, server.output())
        self.assertEqual(server.status(server.token, tls=True), 200)
        self.assertEqual(server.status(server.token), 0, 'plain HTTP was answered')
        quoted = 'say "hi" \\ there'
        for name, console in ((quoted, 'javascript:alert(1)'), ('rover', 'https://rover:8080/?token=t')):
            self.broker.publish('x', 'quillon/%s/status' % name,
                                '{"state":"online","started":1,"console":"%s"}' % console, '-r')
        page = fleet.PageSocket(server.port, server.token, tls=True)
        self.addCleanup(page.close)
        self.assertEqual(page.status, 101)
        seen = {}
        while len(seen) < 2:
            events = page.events()
            self.assertIsNotNone(events, seen)
            seen.update({e['robot']: e['data'] for e in events if e['topic'] == 'status'})
        self.assertIsNone(seen[quoted]['console'], 'a javascript: link reached the page')
        self.assertEqual(seen['rover']['console'], 'https://rover:8080/?token=t')

if __name__ == '__main__':
    support.own_network()
    parser = argparse.ArgumentParser()
    parser.add_argument('--bin-dir', required=True, help='the folder holding quillon, quillon-sim, quillon-fleet')
    options, rest = parser.parse_known_args()
    BIN_DIR = options.bin_dir
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
