// The real quillon with its web console on a free port, in a fresh folder, driving quillon-sim; the
// board's record of the commands it received; waiting on conditions. Shared by the Node tests.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

export async function waitFor(condition, limit = 10, step = 10) {
  const end = Date.now() + limit * 1000;
  for (;;) {
    const value = await condition();
    if (value || Date.now() >= end) return value;
    await new Promise((resolve) => setTimeout(resolve, step));
  }
}

async function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.once('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

function canConnect(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1');
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
  });
}

// One command packet the simulated board received: device 1, 8 payload bytes, checksum.
export class Command {
  constructor(time, bytes) { this.time = time; this.bytes = bytes; }
  neutral() { return this.bytes.slice(2, 6).every((b) => b === 0x80); }
  // Both sides forward: the left byte runs forward below 0x80, the right one above.
  forward() { return this.bytes[2] < 0x80 && this.bytes[4] > 0x80; }
  text() { return this.bytes.map((b) => b.toString(16).padStart(2, '0').toUpperCase()).join(' '); }
}

export class Rig {
  static async open(binDir, { token = 'node-test-token', configLines = [] } = {}) {
    const rig = new Rig(binDir, token);
    await rig.start(configLines);
    return rig;
  }

  constructor(binDir, token) {
    this.binDir = path.resolve(binDir);
    this.folder = fs.mkdtempSync(path.join(os.tmpdir(), 'quillon-node-'));
    this.token = token;
    this.processes = [];
  }

  file(name) { return path.join(this.folder, name); }

  read(name) {
    try { return fs.readFileSync(this.file(name), 'latin1'); } catch { return ''; }
  }

  spawn(program, args) {
    const out = fs.openSync(this.file(`.${program}.out`), 'w');
    const child = spawn(path.join(this.binDir, program), args, { cwd: this.folder, stdio: ['ignore', out, out] });
    this.processes.push(child);
    return child;
  }

  async start(configLines) {
    this.port = await freePort();
    this.spawn('quillon-sim', ['--write-config', this.folder, '--record', this.file('bus.txt'), '--no-stdin', '--quiet']);
    if (!await waitFor(() => this.read('config.txt').endsWith('\n'))) throw new Error('quillon-sim wrote no config.txt');
    fs.appendFileSync(this.file('config.txt'),
      [`web_port ${this.port}`, `web_token ${this.token}`, ...configLines].join('\n') + '\n');
    this.quillon = this.spawn('quillon', ['--headless']);
    if (!await waitFor(() => canConnect(this.port), 15)) {
      await this.close();
      throw new Error(`the console did not open on port ${this.port}: ${this.read('log.txt')}`);
    }
  }

  url(token = this.token) { return `ws://127.0.0.1:${this.port}/?token=${token}`; }

  commands() {
    const commands = [];
    const lines = this.read('bus.txt').split('\n');
    lines.pop();  // a line still being written
    for (const line of lines) {
      const words = line.trim().split(/\s+/);
      if (words.length < 2 || words[0].startsWith('#')) continue;
      const bytes = words.slice(1).map((word) => parseInt(word, 16));
      if (bytes.length === 11 && bytes[0] === 0x01 && bytes[1] === 0x08 && !bytes.some(Number.isNaN))
        commands.push(new Command(parseFloat(words[0]), bytes));
    }
    return commands;
  }

  async close() {
    for (const child of this.processes.reverse()) {
      if (child.exitCode !== null || child.signalCode !== null) continue;
      const ended = new Promise((resolve) => child.once('exit', resolve));
      child.kill('SIGTERM');
      const timer = setTimeout(() => child.kill('SIGKILL'), 10000);
      await ended;
      clearTimeout(timer);
    }
    if (!process.env.QUILLON_KEEP_TEST_FOLDERS) fs.rmSync(this.folder, { recursive: true, force: true });
  }
}

// The clients the tests and benchmarks speak through, resolved from this folder's pinned packages.
import protocol from '@foxglove/ws-protocol';
export const { FoxgloveClient } = protocol;
export { default as WebSocket } from 'ws';
