// What the attacks on the Foxglove connection once did, run again against the real quillon and
// quillon-sim, with figures to compare: quillon's resident memory (largest seen), CPU share, descriptors
// and threads, and the operator link's round trip (median and 99th percentile) during each attack.
// Prints figures and never fails on them:
//   - a client that subscribes to the log 1,152 times over (18 messages of 64), then stops reading
//     (measured until quillon closes it: its own buffers fill first);
//   - a client that publishes Twists as fast as it can, reconnecting whenever it is closed.
//
//   node bench/foxglove_attack_bench.mjs [--bin-dir build/default] [--seconds 20]
import fs from 'node:fs';
import net from 'node:net';
import { parseArgs } from 'node:util';
import { FoxgloveClient, Rig, WebSocket, waitFor } from '../tests/node/quillon_rig.mjs';

const { values: options } = parseArgs({ options: { 'bin-dir': { type: 'string', default: 'build/default' },
                                                   seconds: { type: 'string', default: '20' } } });
const seconds = Number(options.seconds);
const capture = 'camera_pipeline videotestsrc is-live=true pattern=snow ! video/x-raw,width=320,height=240,framerate=30/1';

const cpuSeconds = (pid) => {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(')').at(-1).trim().split(/\s+/);
  return (Number(fields[11]) + Number(fields[12])) / 100;
};
const residentMb = (pid) => Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]) / 1024;
const count = (folder) => fs.readdirSync(folder).length;
const percentile = (values, share) => {
  const ordered = [...values].sort((a, b) => a - b);
  return ordered[Math.max(0, Math.min(ordered.length - 1, Math.ceil(share * ordered.length) - 1))] ?? NaN;
};

// The operator link's round trip, 20 times a second, until stopped: a neutral control message and its
// 21-byte telemetry answer.
function linkProbe() {
  const times = [];
  const socket = net.connect(32459, '127.0.0.1');
  let waiting = 0, sentAt = 0;
  socket.on('data', (data) => {
    waiting -= data.length;
    if (waiting <= 0 && sentAt) { times.push(performance.now() - sentAt); sentAt = 0; }
  });
  socket.on('error', () => {});
  const timer = setInterval(() => {
    if (sentAt) return;  // the last one is still out
    waiting = 21;
    sentAt = performance.now();
    socket.write(Buffer.from([0x30, 0x00, 0x00, 0x80, 0x80, 0x80, 0x80, 0x00]));
  }, 50);
  return { stop: () => { clearInterval(timer); socket.destroy(); return times; } };
}

// Runs the attack for the bench's seconds and reports what quillon did meanwhile.
async function measure(rig, name, attack) {
  const pid = rig.quillon.pid;
  const before = { fds: count(`/proc/${pid}/fd`), threads: count(`/proc/${pid}/task`), mb: residentMb(pid) };
  const probe = linkProbe();
  const cpuStart = cpuSeconds(pid), start = performance.now();
  let largest = before.mb;
  const sampler = setInterval(() => { largest = Math.max(largest, residentMb(pid)); }, 200);
  const stopAttack = await attack();
  // An attack with an end of its own (quillon closing the client) runs until then, a minute at most.
  const limit = stopAttack.ended ? 60 : seconds;
  await Promise.race([new Promise((resolve) => setTimeout(resolve, limit * 1000)), stopAttack.ended ?? new Promise(() => {})]);
  const note = stopAttack();
  const cpu = (100 * (cpuSeconds(pid) - cpuStart)) / ((performance.now() - start) / 1000);
  clearInterval(sampler);
  const times = probe.stop();
  await waitFor(() => count(`/proc/${pid}/fd`) <= before.fds, 15);
  console.log(`${name}: ${note}`);
  console.log(`  quillon: ${cpu.toFixed(1)} % of a core, resident ${before.mb.toFixed(1)} -> largest ` +
              `${largest.toFixed(1)} MB, afterwards ${residentMb(pid).toFixed(1)} MB; descriptors ${before.fds} -> ` +
              `${count(`/proc/${pid}/fd`)}, threads ${before.threads} -> ${count(`/proc/${pid}/task`)}`);
  console.log(`  link round trip: median ${percentile(times, 0.5).toFixed(2)} ms, 99th percentile ` +
              `${percentile(times, 0.99).toFixed(2)} ms over ${times.length} messages`);
}

function client(rig) {
  return new FoxgloveClient({ ws: new WebSocket(rig.url(), [FoxgloveClient.SUPPORTED_SUBPROTOCOL]) });
}

async function stalledSubscriber(rig) {
  const ws = new WebSocket(rig.url(), [FoxgloveClient.SUPPORTED_SUBPROTOCOL]);
  await new Promise((resolve) => ws.once('open', resolve));
  for (let message = 0; message < 18; message++) {
    const subscriptions = [];
    for (let i = 0; i < 64; i++)
      subscriptions.push({ id: message * 64 + i, channelId: i < 4 ? i + 1 : 3 });
    ws.send(JSON.stringify({ op: 'subscribe', subscriptions }));
  }
  ws.pause();  // reads nothing from here on
  const started = performance.now();
  let closed = 0;
  const stop = () => {
    ws.terminate();
    return closed ? `closed by quillon after ${((closed - started) / 1000).toFixed(1)} s` : 'still open after a minute';
  };
  // A paused client does not see its close: the log says when quillon closed it.
  stop.ended = waitFor(() => rig.read('log.txt').includes('read nothing for'), 60, 50)
    .then((seen) => { closed = seen ? performance.now() : 0; });
  return stop;
}

async function twistFlood(rig) {
  let sent = 0, closes = 0, going = true;
  const twist = Buffer.from(JSON.stringify({ linear: { x: 0.3 }, angular: { z: 0 } }));
  const run = async () => {
    while (going) {
      const c = client(rig);
      const open = await new Promise((resolve) => { c.on('open', () => resolve(true)); c.on('error', () => resolve(false)); });
      if (!open) continue;
      const channel = c.advertise({ topic: '/cmd_vel', encoding: 'json', schemaName: 'geometry_msgs/Twist' });
      const ended = new Promise((resolve) => c.on('close', resolve));
      for (let burst = 0; going && burst < 1000; burst++) {
        for (let i = 0; i < 100; i++) c.sendMessage(channel, twist);
        sent += 100;
        await new Promise((resolve) => setImmediate(resolve));
        if (await Promise.race([ended.then(() => true), Promise.resolve(false)])) break;
      }
      closes++;
      c.close();
      await ended;
    }
  };
  const running = run();
  return () => { going = false; running.catch(() => {}); return `${sent} Twists queued by the client, ${closes} connections closed by quillon`; };
}

const rig = await Rig.open(options['bin-dir'], { configLines: [capture, 'log_camera_data 0'] });
try {
  await waitFor(() => rig.read('log.txt').includes('Image Complete'), 15);
  await measure(rig, 'quiet', async () => () => 'no attack');
  await measure(rig, 'a subscriber that stops reading', () => stalledSubscriber(rig));
  await measure(rig, 'a Twist flood', () => twistFlood(rig));
} finally {
  await rig.close();
}
