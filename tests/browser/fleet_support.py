"""The fleet's test fixtures: Debian's mosquitto on a free loopback port with a configuration of the test's
choosing (by default the README's, with its password file and ACL), the broker's command-line clients, and
a small WebSocket client for quillon-fleet's page socket. Used by the fleet tests and the fleet benchmarks.
"""
import base64
import getpass
import json
import os
import signal
import socket
import ssl
import struct
import subprocess

import console_support as support

SOURCE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..')


def readme_block(marker, inside=False):
    """The README's fenced block that follows the line holding marker, or that holds it: the test runs what
    the README shows."""
    with open(os.path.join(SOURCE_DIR, 'README.md')) as readme:
        text = readme.read()
    at = text.index(marker)
    start = (text.rindex('```', 0, at) if inside else text.index('```', at)) + 3
    start = text.index('\n', start) + 1
    return text[start:text.index('```', start)]


class Broker:
    """mosquitto in folder. With users, the README's listener settings, password file (each user's password
    is the name and '-secret') and ACL, with operators beside its own (each reads and drives as the ACL's
    first user does); without, anonymous clients on a bare listener. extra is more configuration."""

    def __init__(self, folder, users=(), operators=(), extra=''):
        self.folder = folder
        self.port = support.free_port()
        lines = ['user %s' % getpass.getuser(), 'listener %d 127.0.0.1' % self.port, 'persistence false']
        if users:
            passwords = os.path.join(folder, 'passwords')
            for user in (*users, *operators):
                subprocess.run(['mosquitto_passwd', '-b', *([] if os.path.exists(passwords) else ['-c']),
                                passwords, user, user + '-secret'], check=True, capture_output=True)
            acl_text = readme_block('quillon ACL')
            own = acl_text.split('\n\n')[0].split('\n', 1)[1]  # the README's operator block, after its comment
            first = own.split('\n', 1)[0]
            with open(os.path.join(folder, 'acl'), 'w') as acl:
                acl.write(acl_text + ''.join('\n' + own.replace(first, 'user ' + name) for name in operators))
            # The README's settings, but for its own listener line and file paths.
            for line in readme_block('/etc/mosquitto/conf.d/quillon.conf', inside=True).splitlines():
                if line.startswith(('listener', 'password_file', 'acl_file', '#')) or not line.strip():
                    continue
                lines.append(line)
            lines += ['password_file ' + passwords, 'acl_file ' + os.path.join(folder, 'acl')]
        else:
            lines.append('allow_anonymous true')
        self.conf = os.path.join(folder, 'mosquitto.conf')
        with open(self.conf, 'w') as conf:
            # Run by root (or in a user namespace), mosquitto would try to become the mosquitto user.
            conf.write('\n'.join(lines) + '\n' + extra)
        self.users = set(users) | set(operators)
        self.process = None
        self.start()

    def start(self):
        with open(os.path.join(self.folder, 'mosquitto.out'), 'ab') as out:
            self.process = subprocess.Popen(['mosquitto', '-c', self.conf], stdout=out, stderr=subprocess.STDOUT)
        if not support.wait_until(self.answers, limit=10):
            self.stop()
            raise RuntimeError('mosquitto did not start')

    def answers(self):
        try:
            socket.create_connection(('127.0.0.1', self.port), timeout=0.2).close()
            return True
        except OSError:
            return False

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)

    def url(self):
        return 'mqtt://127.0.0.1:%d' % self.port

    def credentials(self, user):
        return ['-u', user, '-P', user + '-secret'] if user in self.users else []

    def client(self, program, user, *arguments, **popen):
        """A mosquitto_pub or mosquitto_sub process on this broker."""
        return subprocess.Popen([program, '-p', str(self.port), *self.credentials(user), *arguments], **popen)

    def publish(self, user, topic, message, *options):
        subprocess.run(['mosquitto_pub', '-p', str(self.port), *self.credentials(user), '-t', topic,
                        *options, '-m', message], check=True, timeout=10)

    def clear(self, user, topic):
        """Removes the topic's retained message."""
        subprocess.run(['mosquitto_pub', '-p', str(self.port), *self.credentials(user), '-t', topic, '-r', '-n'],
                       check=True, timeout=10)

    def publish_file(self, user, topic, path, *options):
        subprocess.run(['mosquitto_pub', '-p', str(self.port), *self.credentials(user), '-t', topic,
                        *options, '-f', path], check=True, timeout=10)


class Stream:
    """mosquitto_pub -l: every line written is one message, sent at once."""

    def __init__(self, broker, user, topic, *options):
        self.process = broker.client('mosquitto_pub', user, '-t', topic, '-l', *options, stdin=subprocess.PIPE)

    def send(self, line):
        self.process.stdin.write(line.encode() + b'\n')
        self.process.stdin.flush()

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(10)


class Watcher:
    """mosquitto_sub -v on a topic filter, writing what it sees to a file."""

    def __init__(self, broker, user, topic, folder, name='seen.txt'):
        self.path = os.path.join(folder, name)
        with open(self.path, 'wb') as out:
            self.process = broker.client('mosquitto_sub', user, '-v', '-t', topic, stdout=out)

    def text(self):
        with open(self.path, errors='replace') as seen:
            return seen.read()

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(10)


class PageSocket:
    """A fleet page's WebSocket, by hand: the upgrade's status, then text frames both ways. A small
    receive buffer makes a page that never reads stall the server's writes soon."""

    def __init__(self, port, token, tls=False, origin=None, receive_buffer=None):
        raw = socket.socket()
        if receive_buffer:
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        raw.settimeout(10)
        raw.connect(('127.0.0.1', port))
        if tls:
            context = ssl.create_default_context()
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            raw = context.wrap_socket(raw)
        self.connection = raw
        key = base64.b64encode(os.urandom(16)).decode()
        origin = origin or '%s://127.0.0.1:%d' % ('https' if tls else 'http', port)
        raw.sendall(('GET /ws?token=%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n'
                     'Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n'
                     'Origin: %s\r\n\r\n' % (token, port, key, origin)).encode())
        head = b''
        while b'\r\n\r\n' not in head:
            chunk = raw.recv(1)
            if not chunk:
                break
            head += chunk
        words = head.split(b'\r\n', 1)[0].split()
        self.status = int(words[1]) if len(words) >= 2 and words[1].isdigit() else 0

    def _exactly(self, count):
        data = b''
        while len(data) < count:
            chunk = self.connection.recv(count - len(data))
            if not chunk:
                raise ConnectionError('closed')
            data += chunk
        return data

    def events(self):
        """The next text frame's events (a JSON array), or None when the connection closed."""
        try:
            first, second = self._exactly(2)
            length = second & 0x7F
            if length == 126:
                length = struct.unpack('!H', self._exactly(2))[0]
            elif length == 127:
                length = struct.unpack('!Q', self._exactly(8))[0]
            payload = self._exactly(length)
        except (ConnectionError, OSError):
            return None
        return json.loads(payload) if first & 0x0F == 1 else []

    def send(self, text):
        data = text.encode()
        mask = os.urandom(4)
        header = bytes([0x81, 0x80 | len(data)]) if len(data) < 126 else bytes([0x81, 0xFE]) + struct.pack('!H', len(data))
        self.connection.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def close(self):
        self.connection.close()


def sanitized(pid):
    """Whether the process runs under the address sanitizer, whose figures (memory kept aside for a while,
    descriptors the undefined-behaviour checks need for themselves) differ from the program's own."""
    with open('/proc/%d/maps' % pid) as maps:
        return 'libasan' in maps.read()


def descriptors(pid):
    return len(os.listdir('/proc/%d/fd' % pid))


def rss_megabytes(pid):
    with open('/proc/%d/status' % pid) as status:
        for line in status:
            if line.startswith('VmRSS:'):
                return int(line.split()[1]) / 1024.0
    return 0.0


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as stat:
        fields = stat.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def broker_socket_nodelay(pid, broker_port):
    """Whether the process's connection to the broker has TCP_NODELAY set, read from a copy of its socket
    (pidfd_getfd); None where the system does not allow that."""
    import ctypes
    inodes = set()
    with open('/proc/net/tcp') as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if int(fields[2].split(':')[1], 16) == broker_port and fields[3] == '01':  # ESTABLISHED
                inodes.add(fields[9])
    libc = ctypes.CDLL(None, use_errno=True)
    pidfd = libc.syscall(434, pid, 0)  # pidfd_open
    if pidfd < 0:
        return None
    try:
        for name in os.listdir('/proc/%d/fd' % pid):
            link = os.readlink('/proc/%d/fd/%s' % (pid, name))
            if link.startswith('socket:[') and link[8:-1] in inodes:
                copy = libc.syscall(438, pidfd, int(name), 0)  # pidfd_getfd
                if copy < 0:
                    return None
                with socket.socket(fileno=copy) as sock:
                    return sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY) != 0
    finally:
        os.close(pidfd)
    return None
