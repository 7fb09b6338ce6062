// The live Foxglove connection judged by the protocol's own client (@foxglove/ws-protocol): the real
// quillon driving quillon-sim, reached on the console's port with the foxglove.websocket.v1 subprotocol.
//   QUILLON_BIN_DIR=build/default node --test tests/node/foxglove_test.mjs
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { FoxgloveClient, Rig, WebSocket, waitFor } from './quillon_rig.mjs';

const STOP_LIMIT = 0.6;  // seconds from the last Twist to 80 80 80 80 at the board
let rig;

// Commands on change: the neutral command follows the deadman at once, not at the next 100 ms cycle.
before(async () => {
  rig = await Rig.open(process.env.QUILLON_BIN_DIR ?? 'build/default', { configLines: ['command_on_change 1'] });
});
after(async () => { await rig?.close(); });

// A client with everything it received, by event, and the decoded messages by topic.
function connect(url) {
  const client = new FoxgloveClient({ ws: new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL]) });
  const seen = { serverInfo: null, channels: [], parameters: null, statuses: [], byTopic: {}, closed: false };
  const topics = new Map();
  client.on('serverInfo', (info) => { seen.serverInfo = info; });
  client.on('advertise', (channels) => { seen.channels.push(...channels); });
  client.on('parameterValues', (event) => { seen.parameters = event; });
  client.on('status', (event) => { seen.statuses.push(event); });
  client.on('close', () => { seen.closed = true; });
  client.on('message', ({ subscriptionId, data }) => {
    const topic = topics.get(subscriptionId);
    const message = JSON.parse(Buffer.from(data.buffer, data.byteOffset, data.byteLength).toString('utf8'));
    (seen.byTopic[topic] ??= []).push({ at: performance.now() / 1000, message });
  });
  const subscribeAll = () => { for (const channel of seen.channels) topics.set(client.subscribe(channel.id), channel.topic); };
  return { client, seen, subscribeAll, of: (topic) => seen.byTopic[topic] ?? [] };
}

test('a Foxglove client sees the robot, reads the configuration and drives', async () => {
  const { client, seen, subscribeAll, of } = connect(rig.url());
  try {
    assert.ok(await waitFor(() => seen.serverInfo && seen.channels.length === 4), 'server info and four channels');
    assert.equal(seen.serverInfo.name, 'Quillon');
    assert.deepEqual([...seen.serverInfo.capabilities].sort(), ['clientPublish', 'parameters']);
    assert.deepEqual(seen.serverInfo.supportedEncodings, ['json']);
    const schemas = Object.fromEntries(seen.channels.map((c) => [c.topic, c.schemaName]));
    assert.deepEqual(schemas, { '/quillon/telemetry': 'quillon.Telemetry', '/quillon/camera': 'foxglove.CompressedImage',
                                '/quillon/log': 'foxglove.Log', '/quillon/bus': 'quillon.BusPacket' });
    for (const channel of seen.channels) {
      assert.equal(channel.encoding, 'json');
      assert.equal(channel.schemaEncoding, 'jsonschema');
      assert.equal(JSON.parse(channel.schema).type, 'object', channel.topic);
    }
    subscribeAll();

    // Telemetry at 10 Hz with the simulated board's rates and fractions of full scale.
    assert.ok(await waitFor(() => of('/quillon/telemetry').length >= 31, 6), 'thirty telemetry messages');
    const telemetry = of('/quillon/telemetry');
    const stamps = telemetry.map(({ message: m }) => m.timestamp.sec + m.timestamp.nsec / 1e9);
    const rate = (stamps.length - 1) / (stamps.at(-1) - stamps[0]);
    assert.ok(rate > 9 && rate < 11, `telemetry at ${rate.toFixed(2)} Hz`);
    const last = telemetry.at(-1).message;
    assert.equal(last.analog.length, 8);
    assert.ok(last.analog.every((value) => value >= 0 && value <= 1), `analog ${last.analog}`);
    assert.ok(last.serial_rate > 5, `serial rate ${last.serial_rate}`);
    assert.equal(typeof last.driver, 'string');

    // The serial camera's picture, whole.
    assert.ok(await waitFor(() => of('/quillon/camera').length > 0, 10), 'a camera picture');
    const picture = of('/quillon/camera')[0].message;
    const jpeg = Buffer.from(picture.data, 'base64');
    assert.equal(picture.format, 'jpeg');
    assert.deepEqual([...jpeg.subarray(0, 2), ...jpeg.subarray(-2)], [0xFF, 0xD8, 0xFF, 0xD9]);

    // Packets both ways on the bus, and a log line made now: another client connecting.
    assert.ok(await waitFor(() => of('/quillon/bus').some(({ message: m }) => m.direction === 'received' && m.device === 1)));
    assert.ok(of('/quillon/bus').some(({ message: m }) => m.direction === 'sent' && /^[0-9A-F]{2}( [0-9A-F]{2})*$/.test(m.hex)));
    const other = connect(rig.url());
    assert.ok(await waitFor(() => of('/quillon/log').some(({ message: m }) => /Foxglove: client \d+ connected/.test(m.message))));
    other.client.close();
    assert.ok(of('/quillon/log').every(({ message: m }) => m.level >= 2 && m.level <= 4 && m.name === 'quillon'));

    // The configuration as parameters, the token left out.
    client.getParameters([], 'all');
    assert.ok(await waitFor(() => seen.parameters), 'parameter values');
    const parameters = Object.fromEntries(seen.parameters.parameters.map((p) => [p.name, p.value]));
    assert.equal(seen.parameters.id, 'all');
    assert.equal(parameters.web_port, rig.port);
    assert.ok('serial_port' in parameters && !('web_token' in parameters), Object.keys(parameters).join(' '));

    // Driving as the Teleop panel does: a Twist at 20 Hz reaches the board as forward motor bytes.
    const channel = client.advertise({ topic: '/cmd_vel', encoding: 'json', schemaName: 'geometry_msgs/Twist' });
    const twist = Buffer.from(JSON.stringify({ linear: { x: 0.6, y: 0, z: 0 }, angular: { x: 0, y: 0, z: 0 } }));
    const mark = rig.commands().length;
    const sender = setInterval(() => client.sendMessage(channel, twist), 50);
    const forward = await waitFor(() => rig.commands().slice(mark).find((c) => c.forward()), 5);
    clearInterval(sender);
    assert.ok(forward, 'no forward command at the board: ' + rig.commands().slice(mark).map((c) => c.text()).join(' | '));

    // Silence: the deadman brings 80 80 80 80 within the limit.
    const stopped = performance.now();
    const quiet = rig.commands().length;
    assert.ok(await waitFor(() => rig.commands().slice(quiet).find((c) => c.neutral()), 3), 'no 80 80 80 80');
    const elapsed = (performance.now() - stopped) / 1000;
    assert.ok(elapsed <= STOP_LIMIT, `${elapsed.toFixed(3)} s to 80 80 80 80`);
    assert.deepEqual(seen.statuses.filter((s) => s.level === 2), []);
  } finally {
    client.close();
  }
});

test('a wrong token gets 401', async () => {
  const status = await new Promise((resolve) => {
    const ws = new WebSocket(rig.url('wrong-token-123'), [FoxgloveClient.SUPPORTED_SUBPROTOCOL]);
    ws.on('unexpected-response', (request, response) => { resolve(response.statusCode); ws.terminate(); });
    ws.on('open', () => { resolve(101); ws.close(); });
    ws.on('error', () => {});
  });
  assert.equal(status, 401);
});
