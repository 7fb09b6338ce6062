"""Two private networks joined by a veth pair, for trying the live video over a narrow link: the robot's
side (quillon and quillon-sim, started through `robot_launcher()`) and the viewer's side (this script,
chromium, chromedriver). The robot's end can be capped with tc's token bucket filter, and everything that
leaves the robot is watched for SSDP (UPnP) searches.

    import narrow_link
    narrow_link.enter()          # first thing: runs this script again inside the viewer's network
"""
import os
import shutil
import socket
import struct
import subprocess
import sys
import threading

ROBOT_ADDRESS = '10.201.0.1'
VIEWER_ADDRESS = '10.201.0.2'
ROBOT_DEVICE = 'qrobot0'
VIEWER_DEVICE = 'qview0'


def enter():
    """Runs this script again as the viewer, in a network of its own joined to the robot's; returns once
    there. Exits with 0 and a line saying why where namespaces cannot be made."""
    if os.environ.get('QUILLON_ROBOT_NET'):
        return
    if not shutil.which('unshare') or not shutil.which('nsenter') or not shutil.which('tc'):
        print('narrow link: unshare, nsenter or tc missing; skipped')
        sys.exit(0)
    if subprocess.run(['unshare', '--user', '--map-root-user', '--net', 'true'],
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
        print('narrow link: network namespaces are not allowed here; skipped')
        sys.exit(0)
    # The outer shell is the robot's network; a sleeper keeps each network alive while the script runs in
    # the viewer's, and the script ends both sleepers when it is done.
    script = (
        'set -e; ip link set lo up; '
        'sleep 100000 & robot=$!; unshare --net sleep 100000 & viewer=$!; '
        'while [ "$(readlink /proc/$viewer/ns/net)" = "$(readlink /proc/$$/ns/net)" ]; do :; done; '
        'ip link add %(r)s type veth peer name %(v)s; ip link set %(v)s netns $viewer; '
        'ip addr add %(ra)s/24 dev %(r)s; ip link set %(r)s up; '
        'nsenter --net=/proc/$viewer/ns/net sh -c "ip link set lo up; ip addr add %(va)s/24 dev %(v)s; '
        'ip link set %(v)s up"; '
        'export QUILLON_ROBOT_NET=/proc/$robot/ns/net QUILLON_LINK_SLEEPERS="$robot $viewer"; '
        'exec nsenter --net=/proc/$viewer/ns/net "$@"'
        % {'r': ROBOT_DEVICE, 'v': VIEWER_DEVICE, 'ra': ROBOT_ADDRESS, 'va': VIEWER_ADDRESS})
    os.execvp('unshare', ['unshare', '--user', '--map-root-user', '--net', 'sh', '-c', script, 'sh',
                          sys.executable, *sys.argv])


def leave():
    """Ends the two sleepers that keep the networks alive."""
    for pid in os.environ.get('QUILLON_LINK_SLEEPERS', '').split():
        try:
            os.kill(int(pid), 15)
        except (OSError, ValueError):
            pass


def robot_launcher():
    """The command prefix that runs a program in the robot's network."""
    return ['nsenter', '--net=' + os.environ['QUILLON_ROBOT_NET']]


def robot_command(*words):
    return subprocess.run([*robot_launcher(), *words], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True)


def cap(kbps):
    """Caps what leaves the robot at kbps, behind a queue of 200 ms, as a Wi-Fi link at its edge would;
    None lifts the cap."""
    if kbps is None:
        robot_command('tc', 'qdisc', 'del', 'dev', ROBOT_DEVICE, 'root')
        return
    done = robot_command('tc', 'qdisc', 'replace', 'dev', ROBOT_DEVICE, 'root', 'tbf', 'rate', '%dkbit' % kbps,
                         'burst', '10kb', 'latency', '200ms')
    if done.returncode != 0:
        raise RuntimeError('tc refused the cap: ' + done.stdout)


class SsdpWatch:
    """Counts the SSDP datagrams (UDP to port 1900) that leave the robot, as seen at the viewer's end of
    the link, from the moment it is made until it is closed."""

    def __init__(self):
        self.count = 0
        self.first = b''
        self.socket = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
        self.socket.bind((VIEWER_DEVICE, 0))
        self.socket.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                frame = self.socket.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            if len(frame) < 34 or frame[12:14] != b'\x08\x00' or frame[23] != 17:
                continue
            start = 14 + (frame[14] & 0x0F) * 4
            if len(frame) >= start + 8 and struct.unpack('!H', frame[start + 2:start + 4])[0] == 1900:
                self.count += 1
                self.first = self.first or frame[start + 8:start + 120]

    def close(self):
        self.running = False
        self.thread.join()
        self.socket.close()


def process_figures(pid):
    """Descriptors, threads and resident kilobytes of a process."""
    descriptors = len(os.listdir('/proc/%d/fd' % pid))
    threads = len(os.listdir('/proc/%d/task' % pid))
    resident = 0
    with open('/proc/%d/status' % pid) as status:
        for line in status:
            if line.startswith('VmRSS:'):
                resident = int(line.split()[1])
    return descriptors, threads, resident


def descriptors_of(pid):
    """What each descriptor of a process is open on, for a message."""
    found = []
    for name in os.listdir('/proc/%d/fd' % pid):
        try:
            found.append(os.readlink('/proc/%d/fd/%s' % (pid, name)))
        except OSError:
            pass
    return sorted(found)
