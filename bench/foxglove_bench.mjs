// The live Foxglove connection's costs with the real quillon and quillon-sim, measured through the
// protocol's own client. Prints figures and never fails on them:
//   - quillon's CPU share with no client, one and eight subscribed to every channel (/proc/PID/stat);
//   - the telemetry delay: from a controller packet's arrival at quillon (its /quillon/bus time) to the
//     client holding the telemetry that follows it (median and 99th percentile).
//
//   node bench/foxglove_bench.mjs [--bin-dir build/default] [--seconds 10]
import fs from 'node:fs';
import os from 'node:os';
import { parseArgs } from 'node:util';
import { FoxgloveClient, Rig, WebSocket, waitFor } from '../tests/node/quillon_rig.mjs';

const { values: options } = parseArgs({ options: { 'bin-dir': { type: 'string', default: 'build/default' },
                                                   seconds: { type: 'string', default: '10' } } });
const seconds = Number(options.seconds);
const ticks = 100;  // the kernel's clock ticks a second (USER_HZ), which Linux keeps at 100

const nowNs = () => BigInt(Math.round((performance.timeOrigin + performance.now()) * 1e6));
const sleep = (s) => new Promise((resolve) => setTimeout(resolve, s * 1000));

function cpuSeconds(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(')').at(-1).trim().split(/\s+/);
  return (Number(fields[11]) + Number(fields[12])) / ticks;
}

async function cpuShare(pid) {
  const start = performance.now(), used = cpuSeconds(pid);
  await sleep(seconds);
  return (100 * (cpuSeconds(pid) - used)) / ((performance.now() - start) / 1000);
}

function percentile(values, share) {
  const ordered = [...values].sort((a, b) => a - b);
  return ordered[Math.max(0, Math.min(ordered.length - 1, Math.ceil(share * ordered.length) - 1))];
}

// A client subscribed to every channel; onMessage(topic, message, receivedNs) for each message.
async function subscribedClient(url, onMessage = () => {}) {
  const client = new FoxgloveClient({ ws: new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL]) });
  const topics = new Map();
  let channels = [];
  client.on('advertise', (list) => { channels = list; });
  client.on('message', ({ subscriptionId, data }) => {
    const received = nowNs();
    onMessage(topics.get(subscriptionId), data, received);
  });
  if (!await waitFor(() => channels.length === 4)) throw new Error('no channels advertised');
  for (const channel of channels) topics.set(client.subscribe(channel.id), channel.topic);
  return client;
}

function decode(data) {
  return JSON.parse(Buffer.from(data.buffer, data.byteOffset, data.byteLength).toString('utf8'));
}

async function main() {
  const rig = await Rig.open(options['bin-dir']);
  const pid = rig.quillon.pid;
  try {
    await sleep(3);  // the robot and its camera under way
    console.log(`machine: ${os.cpus().length} cores, load ${os.loadavg()[0].toFixed(2)}; ${seconds} s a figure`);
    const idle = await cpuShare(pid);
    console.log(`quillon CPU, no Foxglove client:  ${idle.toFixed(2)} % of a core`);

    let pending = null;  // the newest controller packet's arrival not yet followed by telemetry
    const delays = [];
    const first = await subscribedClient(rig.url(), (topic, data, received) => {
      if (topic === '/quillon/bus') {
        const packet = decode(data);
        if (packet.direction === 'received' && packet.device === 1)
          pending = BigInt(packet.timestamp.sec) * 1000000000n + BigInt(packet.timestamp.nsec);
      } else if (topic === '/quillon/telemetry' && pending !== null) {
        delays.push(Number(received - pending) / 1e6);
        pending = null;
      }
    });
    const one = await cpuShare(pid);
    console.log(`quillon CPU, 1 client:            ${one.toFixed(2)} % of a core (${(one - idle).toFixed(2)} % for it)`);
    const more = [];
    for (let i = 0; i < 7; i++) more.push(await subscribedClient(rig.url()));
    const eight = await cpuShare(pid);
    console.log(`quillon CPU, 8 clients:           ${eight.toFixed(2)} % of a core (${((eight - idle) / 8).toFixed(2)} % each)`);
    console.log(`telemetry delay, board packet to client: median ${percentile(delays, 0.5).toFixed(2)} ms, ` +
                `p99 ${percentile(delays, 0.99).toFixed(2)} ms over ${delays.length} packets`);
    for (const client of [first, ...more]) client.close();
  } finally {
    await rig.close();
  }
}

await main();
