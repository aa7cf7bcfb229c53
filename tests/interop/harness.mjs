// Shared pieces of the interop tests: the paths of the binaries, a recording wrapper around the
// SDK's stdio transport, the stand-in app as a child process, and bounded waits.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtemp, readFile, rm } from 'node:fs/promises';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const SERVER_BIN = process.env.KESTIL_MCP_BIN ?? path.join(root, 'build/kestil-mcp');
export const FAKE_APP_BIN =
  process.env.KESTIL_FAKE_APP_BIN ?? path.join(root, 'build/kestil-fake-app');

// Children still running, so that a failed test cannot leave one behind to keep node alive.
const live = new Set();

// Kills whatever a failed test left running; for a last after() hook.
export function killLeftovers() {
  for (const kill of live) kill();
  live.clear();
}

export const CLIENT_INFO = { name: 'kestil-interop', version: '1.2.3' };
// Every SDK request is bounded well below the test's own time-out.
export const REQUEST = { timeout: 5000 };
const WAIT_MS = 5000;

export function withTimeout(promise, what, ms = WAIT_MS) {
  let timer;
  const expired = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out after ${ms} ms: ${what}`)), ms);
  });
  return Promise.race([promise, expired]).finally(() => clearTimeout(timer));
}

// A short directory under /tmp: the app's socket path must stay below 104 bytes, which a long
// TMPDIR (macOS) would break.
export async function makeConfigDir() {
  return mkdtemp('/tmp/kestil-interop-');
}

export async function removeDir(dir) {
  if (dir) await rm(dir, { recursive: true, force: true });
}

// The SDK's StdioClientTransport, unchanged, with every message in both directions, the
// server's stderr and its exit recorded.
class RecordingTransport {
  constructor(params) {
    this.sent = [];
    this.received = [];
    this.stderr = '';
    this.inner = new StdioClientTransport({ ...params, stderr: 'pipe' });
    this.inner.stderr.on('data', (chunk) => {
      this.stderr += chunk;
    });
    this.inner.onmessage = (message, extra) => {
      this.received.push(message);
      this.onmessage?.(message, extra);
    };
    this.inner.onerror = (error) => this.onerror?.(error);
    this.inner.onclose = () => this.onclose?.();
    this.exited = new Promise((resolve) => {
      this.resolveExit = resolve;
    });
  }

  async start() {
    await this.inner.start();
    // The transport keeps its child process private; its exit status is only visible there.
    const child = this.inner._process;
    assert.ok(child && typeof child.once === 'function', 'the SDK transport exposes its child');
    const kill = () => {
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
    };
    live.add(kill);
    child.once('exit', (code, signal) => {
      live.delete(kill);
      this.resolveExit({ code, signal });
    });
  }

  send(message, options) {
    this.sent.push(message);
    return this.inner.send(message, options);
  }

  close() {
    return this.inner.close();
  }
}

// Starts kestil-mcp through the SDK and completes the handshake.
export async function openSession({ configDir, args = ['--no-launch'], clientOptions } = {}) {
  const transport = new RecordingTransport({
    command: SERVER_BIN,
    args,
    env: { KESTIL_CONFIG_DIR: configDir },
  });
  const client = new Client(CLIENT_INFO, clientOptions);
  const errors = [];
  client.onerror = (error) => errors.push(error);
  try {
    await withTimeout(client.connect(transport, REQUEST), 'initialize handshake');
  } catch (error) {
    await transport.close();
    throw error;
  }
  return { client, transport, errors };
}

// Closes the client as a host does (standard input ends) and checks that the server went away
// on its own with status 0, wrote nothing to stderr, and that the SDK saw no protocol error.
export async function closeSession(session) {
  if (!session) return;
  const { client, transport, errors } = session;
  await client.close();
  const exit = await withTimeout(transport.exited, 'kestil-mcp exit');
  assert.deepEqual(exit, { code: 0, signal: null }, 'kestil-mcp ends by itself at end of input');
  assert.equal(transport.stderr, '', 'kestil-mcp writes nothing to stderr');
  assert.deepEqual(errors.map(String), [], 'the SDK reported no protocol error');
}

// Runs `body` with a fresh session; checks the server's clean end when the body succeeded.
export async function withSession(options, body) {
  const session = await openSession(options);
  let passed = false;
  try {
    await body(session);
    passed = true;
  } finally {
    if (passed) await closeSession(session);
    else await session.client.close().catch(() => {});
  }
}

// The stand-in app as a process, logging what it receives. `hash` is a catalog hash or "match".
export async function startFakeApp(configDir, hash) {
  const logPath = path.join(configDir, 'app-log.json');
  const child = spawn(FAKE_APP_BIN, ['--log', logPath, configDir, hash], {
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  let stderr = '';
  child.stderr.on('data', (chunk) => {
    stderr += chunk;
  });
  const kill = () => {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
  };
  live.add(kill);
  const exited = new Promise((resolve) => {
    child.once('exit', (code, signal) => {
      live.delete(kill);
      resolve({ code, signal });
    });
  });
  const ready = new Promise((resolve, reject) => {
    let out = '';
    child.stdout.on('data', (chunk) => {
      out += chunk;
      if (out.includes('ready\n')) resolve();
    });
    child.once('error', reject);
    exited.then(({ code }) =>
      reject(new Error(`kestil-fake-app exited with ${code} before ready: ${stderr}`)));
  });
  try {
    await withTimeout(ready, 'kestil-fake-app ready');
  } catch (error) {
    kill();
    throw error;
  }
  return {
    // Ends the app and returns what it saw: { connections, hellos: [line], calls: [line] }.
    async stop() {
      child.stdin.end();
      const exit = await withTimeout(exited, 'kestil-fake-app exit').catch((error) => {
        kill();
        throw error;
      });
      assert.deepEqual(exit, { code: 0, signal: null }, `kestil-fake-app ended cleanly ${stderr}`);
      return JSON.parse(await readFile(logPath, 'utf8'));
    },
    kill,
  };
}
