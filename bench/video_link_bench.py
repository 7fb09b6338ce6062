#!/usr/bin/python3
"""The live video over a narrow link, with the real quillon, quillon-sim and headless chromium in two private
networks joined by a veth pair (tests/browser/narrow_link.py), the robot's side capped with tc's token
bucket filter (a 200 ms queue). For VP8 and H.264 it prints, and never fails on them:
  - 700 kbit/s: frames a second decoded, the browser's own count of freezes and their time per 10 s, and
    glass to glass (median, 95th percentile; the picture that carries its own time, as in video_bench.py);
  - 300 kbit/s: seconds from connecting to the first frame, and frames a second decoded;
  - the cap lifted after 700 kbit/s: seconds until the encoder is above 1,200 kbit/s;
  - 700 kbit/s with the video running: the page's STOP (space bar) to neutral motor bytes at the board,
    with command_on_change 1 (the steady 100 ms cycle alone would add a median of 50 ms, video or not);
  - 2 % of the video's packets lost, no cap: frames a second decoded and the longest freeze. This kernel's
    tc has no netem, so the loss is quillon's own, for tests only (web_video_test_loss 2): each peer drops
    that share of what it sends, after its store of packets to send again, as a lossy link would.

    /usr/bin/python3 bench/video_link_bench.py [--bin-dir build/default] [--seconds 20]
        [--codec vp8|h264]... [--row capped|latency|narrow|lossy]...
"""
import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'browser'))
import console_support as support  # noqa: E402
import narrow_link  # noqa: E402
from video_bench import CLOCK_SOURCE, MOVING_SOURCE, READ_CLOCK, ClockSender  # noqa: E402
from web_bench import percentile, stop_latencies  # noqa: E402

# The browser's own counts for the video, from its statistics.
INBOUND = """
const done = arguments[arguments.length - 1];
const peer = window.quillonVideo.peer();
if (!peer) { done(null); return; }
peer.getStats().then((reports) => {
  let found = null;
  reports.forEach((r) => { if (r.type === 'inbound-rtp' && r.kind === 'video') found = r; });
  done(found && {frames: found.framesDecoded, freezes: found.freezeCount || 0,
                 frozen: found.totalFreezesDuration || 0, at: found.timestamp});
}).catch(() => done(null));
"""

# The longest time between two frames the video showed, from here on.
LONGEST_GAP = """
window.longestGap = 0;
const video = document.getElementById('video');
let last = 0;
function shown(now) {
  if (last) window.longestGap = Math.max(window.longestGap, now - last);
  last = now;
  video.requestVideoFrameCallback(shown);
}
video.requestVideoFrameCallback(shown);
"""


class Run:
    def __init__(self, options, codec, source, extra=()):
        self.sender = ClockSender(address=narrow_link.ROBOT_ADDRESS) if source == CLOCK_SOURCE else None
        self.rig = support.Rig(options.bin_dir, sim_arguments=['--no-camera'],
                               config_lines=[source, 'web_video_codec ' + codec, *extra],
                               launcher=narrow_link.robot_launcher(), host=narrow_link.ROBOT_ADDRESS)
        self.driver = support.browser(800, 700)

    def close(self):
        self.driver.quit()
        self.rig.close()
        if self.sender:
            self.sender.close()
        narrow_link.cap(None)

    def facts(self):
        return self.driver.execute_script("return Object.assign({}, window.quillonVideo.facts);")

    def inbound(self):
        return self.driver.execute_async_script(INBOUND)

    def watch(self):
        """Opens the console; the seconds from WebRTC connecting to the first frame decoded."""
        self.driver.get(self.rig.url())
        support.wait_until(lambda: self.driver.execute_script(
            "return window.quillonVideo && window.quillonVideo.connectedAt() > 0;"), limit=40)
        support.wait_until(lambda: self.facts()['frames'] > 0, limit=40, step=0.02)
        return self.driver.execute_script(
            "return (performance.now() - window.quillonVideo.connectedAt()) / 1000;")

    def over(self, seconds):
        """Frames a second decoded, freezes and frozen seconds per 10 s, over the next seconds."""
        support.wait_until(self.inbound, limit=20)
        first = self.inbound()
        time.sleep(seconds)
        last = self.inbound()
        if not first or not last:
            return 0, 0, 0
        elapsed = (last['at'] - first['at']) / 1000
        return ((last['frames'] - first['frames']) / elapsed, (last['freezes'] - first['freezes']) * 10 / elapsed,
                (last['frozen'] - first['frozen']) * 10 / elapsed)

    def latency(self, frames=150):
        self.driver.execute_script(READ_CLOCK)
        support.wait_until(lambda: self.driver.execute_script("return window.latencies.length;") >= frames, limit=20)
        values = self.driver.execute_script("return window.latencies;")
        return (statistics.median(values), percentile(values, 0.95)) if values else (float('nan'),) * 2


def capped(options, codec):
    """The rates with a moving picture, which fills what the encoder may send."""
    narrow_link.cap(700)
    run = Run(options, codec, MOVING_SOURCE, ['command_on_change 1'])
    try:
        run.watch()
        time.sleep(20)  # the estimate settles: the pictures queued before the video started go first
        fps, freezes, frozen = run.over(options.seconds)
        shown = run.facts()
        print('%-5s 700 kbit/s: %4.1f frames a second decoded, %.1f freezes and %.2f s frozen per 10 s (sent at %s '
              'kbit/s, link estimate %s, %dx%d)' % (codec, fps, freezes, frozen, shown['kbps'], shown['estimate'],
                                                     shown['width'], shown['height']), flush=True)
        stops = stop_latencies(run.rig, run.driver, 20)
        if stops:
            print('%-5s 700 kbit/s, video running: STOP to neutral motor bytes median %.1f ms, worst %.1f ms over %d'
                  % (codec, statistics.median(stops), max(stops), len(stops)), flush=True)
        narrow_link.cap(None)
        lifted = time.monotonic()
        support.wait_until(lambda: (run.facts()['kbps'] or 0) > 1200, limit=40, step=0.1)
        print('%-5s cap lifted: above 1,200 kbit/s after %.1f s (%s kbit/s)'
              % (codec, time.monotonic() - lifted, run.facts()['kbps']), flush=True)
    finally:
        run.close()


def latency(options, codec):
    """Glass to glass at 700 kbit/s, with the picture that carries its own time."""
    narrow_link.cap(700)
    run = Run(options, codec, CLOCK_SOURCE)
    try:
        run.watch()
        time.sleep(5)
        median, p95 = run.latency()
        print('%-5s 700 kbit/s: glass to glass median %.0f ms, 95th percentile %.0f ms'
              % (codec, median, p95), flush=True)
    finally:
        run.close()


def narrow(options, codec):
    narrow_link.cap(300)
    run = Run(options, codec, MOVING_SOURCE)
    try:
        first = run.watch()
        time.sleep(5)
        fps, freezes, frozen = run.over(options.seconds)
        print('%-5s 300 kbit/s: first frame %.1f s after connecting, %4.1f frames a second decoded, %.2f s frozen '
              'per 10 s' % (codec, first, fps, frozen), flush=True)
    finally:
        run.close()


def lossy(options, codec):
    """No cap, 2 % of the video's packets lost on their way: the frames and the longest freeze."""
    run = Run(options, codec, MOVING_SOURCE, ['web_video_test_loss 2'])
    try:
        run.watch()
        time.sleep(5)
        run.driver.execute_script(LONGEST_GAP)
        fps, freezes, frozen = run.over(options.seconds)
        longest = run.driver.execute_script("return window.longestGap;")
        shown = run.facts()
        print('%-5s 2 %% lost: %4.1f frames a second decoded, %.1f freezes and %.2f s frozen per 10 s, longest gap '
              'between frames %.0f ms (sent at %s kbit/s, %s %% lost, %dx%d)'
              % (codec, fps, freezes, frozen, longest, shown['kbps'], shown['lost'], shown['width'], shown['height']),
              flush=True)
    finally:
        run.close()


ROWS = {'capped': capped, 'latency': latency, 'narrow': narrow, 'lossy': lossy}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--bin-dir', default=os.path.join(os.path.dirname(os.path.abspath(__file__)), '..',
                                                          'build', 'default'))
    parser.add_argument('--seconds', type=float, default=20)
    parser.add_argument('--codec', action='append', choices=('vp8', 'h264'))
    parser.add_argument('--row', action='append', choices=tuple(ROWS))
    options = parser.parse_args()
    for codec in options.codec or ('vp8', 'h264'):
        for row in options.row or tuple(ROWS):
            ROWS[row](options, codec)
    return 0


if __name__ == '__main__':
    narrow_link.enter()
    try:
        sys.exit(main())
    finally:
        narrow_link.leave()
