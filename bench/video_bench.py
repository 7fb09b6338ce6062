#!/usr/bin/python3
"""The console's live video, with the real quillon, quillon-sim and headless chromium, for VP8 and H.264 in
one run. Prints figures and never fails on them:
  - glass-to-glass latency in the browser, median and 95th percentile over --frames frames at 640 x 480 and
    30 fps. The source's frames carry the wall-clock time they were made: this script sends each one as a
    32 x 24 grey picture over UDP (quillon's capture: udpsrc, scaled up to 640 x 480 in blocks of 20 x 20),
    whose top row holds the time in milliseconds as 32 black or white blocks and whose second row holds the
    same bits inverted. The page reads both rows back from every frame it shows (requestVideoFrameCallback,
    a canvas) and takes the time it expects the frame on screen, minus the time in it.
  - the encoder's CPU share: quillon's threads that convert, encode and packetise (the "quillon_encode"
    queue's thread and those it starts), with videotestsrc's moving pattern at 640 x 480 and 30 fps;
  - scaling: quillon's CPU share with eight browsers watching over one.

    /usr/bin/python3 bench/video_bench.py [--bin-dir build/default] [--frames 300] [--seconds 10]
"""
import argparse
import os
import socket
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'browser'))
import console_support as support  # noqa: E402
from web_bench import cpu_share, percentile  # noqa: E402

CLOCK_PORT = 40555
CLOCK_SOURCE = ('camera_pipeline udpsrc port=%d caps="video/x-raw,format=GRAY8,width=32,height=24,'
                'framerate=30/1" ! videoscale method=nearest-neighbour ! video/x-raw,width=640,height=480'
                % CLOCK_PORT)
MOVING_SOURCE = ('camera_pipeline videotestsrc is-live=true pattern=smpte horizontal-speed=4 ! '
                 'video/x-raw,width=640,height=480,framerate=30/1')

# In the page: every frame the video shows, its time read back, against the time it is expected on screen.
READ_CLOCK = """
window.latencies = [];
const video = document.getElementById('video');
const canvas = document.createElement('canvas');
canvas.width = 640; canvas.height = 480;
const g = canvas.getContext('2d', { willReadFrequently: true });
function read(now, meta) {
  g.drawImage(video, 0, 0, 640, 480);
  const rows = g.getImageData(0, 0, 640, 40).data;
  let time = 0, valid = true;
  for (let bit = 0; bit < 32; bit++) {
    const x = bit * 20 + 10;
    const one = rows[(10 * 640 + x) * 4] > 128, inverted = rows[(30 * 640 + x) * 4] > 128;
    valid = valid && one !== inverted;
    time = time * 2 + (one ? 1 : 0);
  }
  if (valid) {
    const shown = (performance.timeOrigin + meta.expectedDisplayTime) % 4294967296;
    window.latencies.push((shown - time + 4294967296) % 4294967296);
  }
  video.requestVideoFrameCallback(read);
}
video.requestVideoFrameCallback(read);
"""


class ClockSender:
    """Sends the time-carrying pictures at 30 a second until closed."""

    def __init__(self, address='127.0.0.1'):
        self.address = address
        self.running = True
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        next_at = time.monotonic()
        while self.running:
            now_ms = int(time.time() * 1000) % 4294967296
            bits = [(now_ms >> (31 - bit)) & 1 for bit in range(32)]
            picture = bytes(255 if b else 0 for b in bits) + bytes(0 if b else 255 for b in bits) + bytes([128]) * (32 * 22)
            self.socket.sendto(picture, (self.address, CLOCK_PORT))
            next_at += 1 / 30
            time.sleep(max(0.0, next_at - time.monotonic()))

    def close(self):
        self.running = False
        self.thread.join()
        self.socket.close()


def thread_cpu(pid):
    """CPU seconds of each of the process's threads, by thread id, with its name."""
    times = {}
    for task in os.listdir('/proc/%d/task' % pid):
        try:
            with open('/proc/%d/task/%s/stat' % (pid, task)) as stat:
                text = stat.read()
        except OSError:
            continue
        name = text[text.index('(') + 1:text.rindex(')')]
        fields = text.rsplit(')', 1)[1].split()
        times[task] = (name, (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK'))
    return times


def encoder_share(pid, seconds):
    """Percent of one core the encoding threads used over the next seconds."""
    before, start = thread_cpu(pid), time.monotonic()
    time.sleep(seconds)
    after, elapsed = thread_cpu(pid), time.monotonic() - start
    used = sum(t - before.get(task, (name, 0.0))[1] for task, (name, t) in after.items()
               if name.startswith('quillon_encode'))
    return 100.0 * used / elapsed


def watch(driver, rig, limit=40):
    support.open_console(driver, rig.url())
    if not support.wait_until(lambda: driver.execute_script("return window.quillonVideo.facts.source;") == 'video',
                              limit):
        raise RuntimeError('no video: %s' % driver.execute_script("return window.quillonVideo.facts;"))


def latency(options, codec):
    sender = ClockSender()
    rig = support.Rig(options.bin_dir, sim_arguments=['--no-camera'],
                      config_lines=[CLOCK_SOURCE, 'web_video_codec ' + codec])
    driver = None
    try:
        driver = support.browser(800, 700)
        watch(driver, rig)
        time.sleep(2)  # past the first key frame and the jitter buffer's start
        driver.execute_script(READ_CLOCK)
        support.wait_until(lambda: driver.execute_script("return window.latencies.length;") >= options.frames,
                           limit=options.frames / 10)
        values = driver.execute_script("return window.latencies;")
        fps = driver.execute_script("return window.quillonVideo.facts.fps;")
        if len(values) < options.frames // 2:
            return '%s: only %d frames read back in time' % (codec, len(values))
        return ('%-5s glass to glass over %d frames: median %5.1f ms, 95th percentile %5.1f ms (page shows %.1f fps)'
                % (codec, len(values), statistics.median(values), percentile(values, 0.95), fps))
    finally:
        if driver is not None:
            driver.quit()
        rig.close()
        sender.close()


def cpu(options, codec):
    rig = support.Rig(options.bin_dir, sim_arguments=['--no-camera'],
                      config_lines=[MOVING_SOURCE, 'web_video_codec ' + codec])
    driver = None
    pid = rig.quillon.pid
    try:
        driver = support.browser(800, 700)
        watch(driver, rig)
        time.sleep(2)
        encode = encoder_share(pid, options.seconds)
        one = cpu_share(pid, options.seconds)
        for _ in range(7):
            driver.switch_to.new_window('tab')
            watch(driver, rig)
        time.sleep(2)
        eight = cpu_share(pid, options.seconds)
        return ('%-5s encoder threads %5.1f %% of a core; quillon %5.1f %% with 1 viewer, %5.1f %% with 8: '
                '%+5.1f points' % (codec, encode, one, eight, eight - one))
    finally:
        if driver is not None:
            driver.quit()
        rig.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--bin-dir', default=os.path.join(os.path.dirname(os.path.abspath(__file__)), '..',
                                                          'build', 'default'))
    parser.add_argument('--frames', type=int, default=300)
    parser.add_argument('--seconds', type=float, default=10)
    options = parser.parse_args()
    for codec in ('vp8', 'h264'):
        print(latency(options, codec), flush=True)
        print(cpu(options, codec), flush=True)
    return 0


if __name__ == '__main__':
    support.own_network()
    sys.exit(main())
