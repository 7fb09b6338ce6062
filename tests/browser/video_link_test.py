"""The live video over a link of its own between two private networks: the robot's (quillon, quillon-sim)
and the viewer's (chromium). Viewers withdrawn at every moment of their negotiation leave quillon's
descriptors, threads and memory where they were; no more than four negotiate at once; no SSDP search for
a UPnP router ever leaves the robot; and over a link capped at 700 kbit/s the video plays, below the cap,
with no pictures crowding it.

    /usr/bin/python3 tests/browser/video_link_test.py --bin-dir build/default [unittest options]
"""
import argparse
import sys
import time
import unittest

import console_support as support
import narrow_link

BIN_DIR = None
CAPTURE = ('camera_pipeline videotestsrc is-live=true pattern=smpte horizontal-speed=4 ! '
           'video/x-raw,width=640,height=480,framerate=30/1')

# One viewer after another, each withdrawn at the moment given, over WebSockets of its own opened from a
# page of the console's origin. Moments: 'asked' (video_stop right after asking), 'offered' (after the
# offer), 'answered' (after the browser's answer), 'connected' (once WebRTC connected), 'gone' (the
# WebSocket closes after the offer, with no video_stop). Resolves with what each was told last.
VIEWERS = r"""
const done = arguments[arguments.length - 1];
const [url, moments] = arguments;
function viewer(moment) {
  return new Promise((resolve) => {
    const ws = new WebSocket(url);
    let pc = null, told = 'nothing';
    const finish = (why) => {
      if (pc) pc.close();
      if (moment !== 'gone' && ws.readyState === 1) ws.send(JSON.stringify({type: 'video_stop'}));
      setTimeout(() => { ws.close(); resolve(why); }, moment === 'asked' ? 0 : 50);
    };
    const timer = setTimeout(() => finish('timed out after ' + told), 20000);
    ws.onopen = () => {
      ws.send(JSON.stringify({type: 'video'}));
      if (moment === 'asked') { clearTimeout(timer); finish('asked'); }
    };
    ws.onmessage = async (event) => {
      if (typeof event.data !== 'string') return;
      const m = JSON.parse(event.data);
      if (m.type === 'video_end') { told = 'ended: ' + m.reason; clearTimeout(timer); finish(told); return; }
      if (m.type === 'candidate' && pc && m.candidate)
        pc.addIceCandidate({candidate: m.candidate, sdpMLineIndex: m.mline}).catch(() => {});
      if (m.type !== 'offer') return;
      told = 'offered';
      if (moment === 'offered' || moment === 'gone') {
        clearTimeout(timer);
        if (moment === 'gone') { ws.close(); resolve('gone'); } else finish('offered');
        return;
      }
      pc = new RTCPeerConnection({iceServers: []});
      pc.onicecandidate = (e) => ws.send(JSON.stringify({type: 'candidate',
        candidate: e.candidate ? e.candidate.candidate : '', mline: e.candidate ? e.candidate.sdpMLineIndex : 0}));
      pc.onconnectionstatechange = () => {
        if (pc.connectionState === 'connected' && moment === 'connected') { clearTimeout(timer); finish('connected'); }
      };
      await pc.setRemoteDescription({type: 'offer', sdp: m.sdp});
      const answer = await pc.createAnswer();
      await pc.setLocalDescription(answer);
      ws.send(JSON.stringify({type: 'answer', sdp: answer.sdp}));
      if (moment === 'answered') { clearTimeout(timer); finish('answered'); }
    };
  });
}
(async () => {
  const told = [];
  for (const moment of moments) told.push(await viewer(moment));
  done(told);
})();
"""

# Six viewers ask at once and never answer: what each is told first.
CROWD = r"""
const done = arguments[arguments.length - 1];
const [url, count] = arguments;
const sockets = [], told = [];
for (let i = 0; i < count; i++) {
  const ws = new WebSocket(url);
  sockets.push(ws);
  ws.onopen = () => ws.send(JSON.stringify({type: 'video'}));
  ws.onmessage = (event) => {
    if (typeof event.data !== 'string') return;
    const m = JSON.parse(event.data);
    if (m.type === 'offer' || m.type === 'video_end') {
      told.push(m.type === 'offer' ? 'offer' : m.reason);
      ws.onmessage = null;
      if (told.length === count) { sockets.forEach((s) => s.close()); done(told); }
    }
  };
}
"""


def facts(driver):
    return driver.execute_script("return Object.assign({}, window.quillonVideo.facts);")


class VideoLink(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ssdp = narrow_link.SsdpWatch()
        cls.rig = support.Rig(BIN_DIR, sim_arguments=['--camera-rate', '5'], config_lines=[CAPTURE],
                              launcher=narrow_link.robot_launcher(), host=narrow_link.ROBOT_ADDRESS)
        cls.driver = support.browser()
        base = 'http://%s:%d' % (narrow_link.ROBOT_ADDRESS, cls.rig.port)
        cls.socket_url = 'ws://%s:%d/ws?token=%s' % (narrow_link.ROBOT_ADDRESS, cls.rig.port, cls.rig.token)
        cls.driver.get(base + '/blank?token=' + cls.rig.token)  # the console's origin, without its page

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        narrow_link.cap(None)
        cls.rig.close()
        cls.ssdp.close()

    def viewers(self, moments):
        self.driver.set_script_timeout(30 + 25 * len(moments))
        return self.driver.execute_async_script(VIEWERS, self.socket_url, moments)

    def test_1_viewers_withdrawn_at_any_moment_release_what_they_held(self):
        # One whole viewer first: the encoder, GStreamer's threads and the DTLS certificate are made once.
        self.assertEqual(self.viewers(['connected']), ['connected'], self.rig.log()[-2000:])
        pid = self.rig.quillon.pid
        # The attack: asked and withdrawn 40 times a second from one page, then every other moment; twice.
        # The first round's figures are the second's baseline: GLib's and the allocator's pools, made in the
        # first, are kept; whatever a viewer leaked would show again.
        moments = ['asked'] * 40 + ['offered'] * 5 + ['gone'] * 5 + ['answered'] * 5 + ['connected'] * 3
        rounds = []
        for _ in range(2):
            told = self.viewers(moments)
            self.assertEqual(told.count('connected'), 3, told)
            self.assertFalse([t for t in told if t.startswith('timed out')], told)
            rounds.append(self.settled(pid))
        (descriptors, threads, resident), after = rounds
        # On a busy machine the last viewers may still be closing after a quiet second: their sockets are
        # waited for, as a leak would keep them for good.
        if after[0] > descriptors + 2:
            support.wait_until(lambda: narrow_link.process_figures(pid)[0] <= descriptors + 2, limit=30, step=0.5)
            after = rounds[1] = narrow_link.process_figures(pid)
        self.assertLessEqual(after[0], descriptors + 2, '%s: %s' % (rounds, narrow_link.descriptors_of(pid)))
        self.assertLessEqual(after[1], threads + 2, rounds)
        # Memory is not held to the same mark: each withdrawn viewer still costs some of it in GStreamer
        # (see the README); the figures are shown.
        sys.stderr.write('descriptors, threads, resident kB after each round: %s\n' % rounds)
        self.assertLess(descriptors, 64, narrow_link.descriptors_of(pid))
        self.assertEqual(self.ssdp.count, 0, self.ssdp.first)

    @staticmethod
    def settled(pid):
        """The process's figures once its descriptors and threads have stopped changing."""
        last = [None]

        def steady():
            figures = narrow_link.process_figures(pid)[:2]
            same = figures == last[0]
            last[0] = figures
            return same
        support.wait_until(steady, limit=20, step=1.0)
        return narrow_link.process_figures(pid)

    def test_2_at_most_four_viewers_negotiate_at_once(self):
        self.driver.set_script_timeout(60)
        told = self.driver.execute_async_script(CROWD, self.socket_url, 6)
        self.assertEqual(told.count('offer'), 4, told)
        self.assertEqual(len([t for t in told if 'connecting' in t]), 2, told)

    def test_3_over_a_capped_link_the_video_plays_below_the_cap(self):
        narrow_link.cap(700)
        driver = support.browser()
        self.addCleanup(driver.quit)
        driver.get(self.rig.url())
        self.assertTrue(support.wait_until(lambda: driver.execute_script(
            "return window.quillonVideo && window.quillonVideo.facts.source === 'video';"), limit=30),
            '%s\n%s' % (facts(driver) if driver.execute_script("return !!window.quillonVideo;") else '',
                        self.rig.log()[-2000:]))
        # Frames flow, at a rate the link carries, and no pictures ride beside them once the video shows.
        driver.execute_script("window.loads = 0; document.getElementById('camera').addEventListener("
                              "'load', () => window.loads++);")  # counted from here on
        start = facts(driver)['frames']
        self.assertTrue(support.wait_until(lambda: facts(driver)['frames'] - start >= 150 and facts(driver)['kbps'],
                                           limit=25), facts(driver))
        support.wait_until(lambda: facts(driver)['fps'] >= 10, limit=5)
        shown = facts(driver)
        self.assertGreaterEqual(shown['fps'], 10, shown)
        self.assertLess(shown['kbps'], 700, shown)
        self.assertEqual(shown['source'], 'video', shown)
        # Pictures on their way when the video took over may still come; then none.
        driver.execute_script("window.loads = 0;")
        frames = facts(driver)['frames']
        support.wait_until(lambda: facts(driver)['frames'] >= frames + 45, limit=10)
        self.assertEqual(driver.execute_script("return window.loads;"), 0)
        self.assertIn('link estimate', support.text_of(driver, 'video-facts'))
        self.assertEqual(self.ssdp.count, 0, self.ssdp.first)


if __name__ == '__main__':
    narrow_link.enter()
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--bin-dir', required=True)
    options, rest = parser.parse_known_args()
    BIN_DIR = options.bin_dir
    try:
        unittest.main(argv=[sys.argv[0], *rest])
    finally:
        narrow_link.leave()
