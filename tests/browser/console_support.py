"""The real quillon with its web console against quillon-sim, for the browser tests and the web benchmark:
a working folder, the two programs, the simulated board's record of the commands it received, headless
chromium through Debian's chromedriver, and a bare WebSocket upgrade for checking access.

Run as a program, it takes the README's screenshot of the console driving the simulated robot:
    /usr/bin/python3 tests/browser/console_support.py --bin-dir build/page --screenshot docs/web-console.png
"""
import argparse
import base64
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'


def own_network():
    """Runs this script again in a network namespace of its own, with a loopback interface and a veth pair
    with private addresses, where that is allowed: quillon's operator link has a fixed port, and on a shared
    machine another quillon or a test's client on that port would otherwise meet ours; and WebRTC's ICE
    gathers no loopback candidates, so the video needs an address of another kind. Returns where it cannot;
    never returns where it can."""
    if os.environ.get('QUILLON_OWN_NETWORK') or not shutil.which('unshare') or not shutil.which('ip'):
        return
    if subprocess.run(['unshare', '--user', '--map-root-user', '--net', 'true'],
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
        return
    os.environ['QUILLON_OWN_NETWORK'] = '1'
    veth = ('ip link add quillon0 type veth peer name quillon1 && ip addr add 10.200.0.1/24 dev quillon0 && '
            'ip addr add 10.200.0.2/24 dev quillon1 && ip link set quillon0 up && ip link set quillon1 up')
    os.execvp('unshare', ['unshare', '--user', '--map-root-user', '--net', 'sh', '-c',
                          'ip link set lo up && { %s || true; } && exec "$@"' % veth, 'sh', sys.executable, *sys.argv])


def wait_until(condition, limit=10.0, step=0.01):
    """Polls until condition() is true; returns its last value."""
    end = time.monotonic() + limit
    while True:
        value = condition()
        if value or time.monotonic() >= end:
            return value
        time.sleep(step)


def page_has_polled(driver):
    """Returns once the page has drawn two more frames: the gamepad is read on every frame."""
    driver.execute_async_script(
        'const done = arguments[arguments.length - 1]; requestAnimationFrame(() => requestAnimationFrame(done));')


def free_port():
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


class Command:
    """One command packet the simulated board received: device 1, 8 payload bytes, checksum."""

    def __init__(self, time_, data):
        self.time = time_
        self.bytes = data

    def motors(self):
        return self.bytes[2:6]

    def neutral(self):
        return self.motors() == [0x80, 0x80, 0x80, 0x80]

    def forward(self):
        """Both sides forward: the left byte runs forward below 0x80, the right one above."""
        return self.bytes[2] < 0x80 and self.bytes[4] > 0x80

    def text(self):
        return ' '.join('%02X' % b for b in self.bytes)


def read_commands(record_path):
    commands = []
    try:
        with open(record_path) as record:
            lines = record.readlines()
    except FileNotFoundError:
        return commands
    for line in lines:
        words = line.split()
        if not words or words[0].startswith('#') or not line.endswith('\n'):
            continue
        try:
            data = [int(word, 16) for word in words[1:]]
            command = Command(float(words[0]), data)
        except ValueError:
            continue
        if len(data) == 11 and data[0] == 0x01 and data[1] == 0x08:
            commands.append(command)
    return commands


class Rig:
    """quillon --headless with the console on a free port, in a fresh folder, served by quillon-sim. With a
    launcher (a command prefix such as nsenter's) both programs run through it, and host is where the
    console is reached."""

    def __init__(self, bin_dir, token='browser-test-token', sim_arguments=(), config_lines=(), port=None,
                 launcher=(), host='127.0.0.1'):
        self.bin_dir = os.path.abspath(bin_dir)
        self.launcher = list(launcher)
        self.host = host
        self.folder = tempfile.mkdtemp(prefix='quillon-browser-')
        self.token = token
        self.port = port or free_port()
        self.record = self.file('bus.txt')
        self.sim = self._spawn('quillon-sim', ['--write-config', self.folder, '--record', self.record,
                                               '--no-stdin', '--quiet', *sim_arguments])
        self.quillon = None
        if not wait_until(lambda: self._read('config.txt').endswith('\n')):
            raise RuntimeError('quillon-sim wrote no config.txt')
        config_text = self._read('config.txt')
        # A free port may be taken by another program before quillon binds it: quillon then says so in its
        # log, and starts again on another (unless the port was asked for).
        for attempt in range(5):
            with open(self.file('config.txt'), 'w', errors='surrogateescape') as config:
                config.write(config_text + 'web_port %d\n' % self.port)
                if token is not None:
                    config.write('web_token %s\n' % token)
                for line in config_lines:
                    config.write(line + '\n')
            self.quillon = self._spawn('quillon', ['--headless'])
            if not wait_until(self._console_said, limit=15):
                self.close()
                raise RuntimeError('the console said nothing of port %d' % self.port)
            if port or 'Web console: unable to listen' not in self.log():
                break
            self.quillon.send_signal(signal.SIGTERM)
            self.quillon.wait(10)
            self.port = free_port()
        if not wait_until(self._console_answers, limit=15):
            self.close()
            raise RuntimeError('the console did not open on port %d' % self.port)

    def _console_said(self):
        if self.quillon.poll() is not None:
            raise RuntimeError('quillon ended: ' + self.log())
        log = self.log()
        return 'Web console: http' in log or 'Web console: unable to listen' in log

    def _spawn(self, program, arguments):
        with open(self.file('.%s.out' % program), 'wb') as out:
            return subprocess.Popen([*self.launcher, os.path.join(self.bin_dir, program), *arguments], cwd=self.folder,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)

    def _read(self, name):
        try:
            with open(self.file(name), errors='replace') as text:
                return text.read()
        except FileNotFoundError:
            return ''

    def _console_answers(self):
        if self.quillon.poll() is not None:
            raise RuntimeError('quillon ended: ' + self.log())
        try:
            socket.create_connection((self.host, self.port), timeout=0.2).close()
            return True
        except OSError:
            return False

    def file(self, name):
        return os.path.join(self.folder, name)

    def log(self):
        return self._read('log.txt')

    def url(self, token=None, scheme='http'):
        return '%s://%s:%d/?token=%s' % (scheme, self.host, self.port, self.token if token is None else token)

    def commands(self):
        return read_commands(self.record)

    def close(self):
        for process in (self.quillon, self.sim):
            if process is None or process.poll() is not None:
                continue
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if not os.environ.get('QUILLON_KEEP_TEST_FOLDERS'):
            shutil.rmtree(self.folder, ignore_errors=True)


def browser(width=1280, height=900, trust_any_certificate=False, webrtc_udp=True):
    """Headless chromium driven by Debian's chromedriver; nothing is downloaded. WebRTC may use local
    addresses as they are (no mDNS names) and loopback; webrtc_udp=False blocks its UDP, as a firewall would."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    if trust_any_certificate:
        options.add_argument('--ignore-certificate-errors')
    options.add_argument('--allow-loopback-in-peer-connection')
    options.add_argument('--disable-features=WebRtcHideLocalIpsWithMdns')
    options.add_argument('--autoplay-policy=no-user-gesture-required')
    if not webrtc_udp:
        options.add_argument('--force-webrtc-ip-handling-policy=disable_non_proxied_udp')
    for argument in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                     '--no-first-run', '--disable-extensions', '--disable-background-networking',
                     '--disable-background-timer-throttling', '--disable-renderer-backgrounding',
                     '--disable-backgrounding-occluded-windows', '--window-size=%d,%d' % (width, height)):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


def open_console(driver, url, limit=10):
    """Loads the page and waits until its WebSocket is open and the first state has arrived."""
    driver.get(url)
    shown = wait_until(lambda: driver.execute_script(
        "const c = document.getElementById('connection');"
        "const s = document.getElementById('serial-rate');"
        "return c && c.dataset.state === 'open' && s.textContent !== '\\u2013';"), limit)
    if not shown:
        raise RuntimeError('the console did not connect: ' + driver.page_source[:400])


def text_of(driver, element_id):
    return driver.execute_script("return document.getElementById(arguments[0]).textContent;", element_id)


def hold_websocket(port, token):
    """A WebSocket that takes a browser place and never reads: the open connection, once upgraded."""
    connection = socket.create_connection(('127.0.0.1', port), timeout=5)
    status = websocket_upgrade(port, token, connection=connection)
    if status != 101:
        connection.close()
        raise RuntimeError('no browser place: %d' % status)
    return connection


def websocket_upgrade(port, token, origin=None, path='/ws', connection=None):
    """Asks for a WebSocket upgrade by hand; returns the HTTP status code of the answer. The connection is
    closed afterwards unless it was handed in."""
    key = base64.b64encode(os.urandom(16)).decode()
    origin = origin or 'http://127.0.0.1:%d' % port
    query = '' if token is None else '?token=' + token
    request = ('GET %s%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n'
               'Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\nOrigin: %s\r\n\r\n'
               % (path, query, port, key, origin))
    own = connection is None
    connection = connection or socket.create_connection(('127.0.0.1', port), timeout=5)
    connection.sendall(request.encode())
    answer = b''
    while b'\r\n' not in answer:
        chunk = connection.recv(4096)
        if not chunk:
            break
        answer += chunk
    if own:
        connection.close()
    words = answer.split(b'\r\n', 1)[0].split()
    return int(words[1]) if len(words) >= 2 and words[1].isdigit() else 0


def take_screenshot(bin_dir, path):
    """The console driving the simulated robot towards a wall, as a laptop browser shows it."""
    from selenium.webdriver.common.action_chains import ActionChains
    rig = Rig(bin_dir, sim_arguments=['--pose', '1.6,1.2,10'])
    driver = None
    try:
        driver = browser(1280, 1000)
        open_console(driver, rig.url())
        wait_until(lambda: text_of(driver, 'serial-rate') not in ('0', '\u2013') and rig.commands(), 15)
        ActionChains(driver).key_down('w').perform()
        mark = len(rig.commands())
        wait_until(lambda: len(rig.commands()) >= mark + 70, 10)   # seven seconds of driving towards the wall
        driver.save_screenshot(path)
        ActionChains(driver).key_up('w').perform()
    finally:
        if driver is not None:
            driver.quit()
        rig.close()


if __name__ == '__main__':
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--bin-dir', required=True, help='the folder holding quillon and quillon-sim')
    parser.add_argument('--screenshot', required=True, help='the PNG to write')
    options = parser.parse_args()
    take_screenshot(options.bin_dir, options.screenshot)
