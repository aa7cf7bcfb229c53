// What only a real client shows: the official MCP TypeScript SDK starts kestil-mcp over stdio,
// negotiates, parses every answer with its own schemas and handles the list-changed
// notification; tool calls go to a stand-in app written here. The exact bytes of each answer
// are pinned by the transcripts in ../transcripts.
import assert from 'node:assert/strict';
import { mkdtemp, mkdir, rm, writeFile } from 'node:fs/promises';
import net from 'node:net';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { ToolListChangedNotificationSchema } from '@modelcontextprotocol/sdk/types.js';

const SERVER_BIN = process.env.KESTIL_MCP_BIN ?? path.resolve('../../build/kestil-mcp');
const CATALOG_HASH = '2e3abedecaa1a0e6'; // pinned in catalog_test.cc too
const REQUEST = { timeout: 5000 };
const NOT_RUNNING_TEXT =
  'unavailable: kestil is not running, or its AI connection is off. Open kestil, turn on ' +
  'Settings > AI connection, open the space, and try again.';

// Compact JSON with sorted keys, as the server writes it.
function canonical(value) {
  if (Array.isArray(value)) return `[${value.map(canonical).join(',')}]`;
  if (value === null || typeof value !== 'object') return JSON.stringify(value);
  const members = Object.keys(value).sort().map((key) => `${JSON.stringify(key)}:${canonical(value[key])}`);
  return `{${members.join(',')}}`;
}

function fnv1a64(text) {
  let hash = 0xcbf29ce484222325n;
  for (const byte of Buffer.from(text, 'utf8')) {
    hash = ((hash ^ BigInt(byte)) * 0x100000001b3n) & 0xffffffffffffffffn;
  }
  return hash.toString(16).padStart(16, '0');
}

// Publishes an endpoint in `dir`, answers each hello with `hash` and echoes each call as
// "<tool name> <arguments>"; records the lines it receives.
async function startApp(dir, hash) {
  const seen = { hellos: [], calls: [] };
  const socket = path.join(dir, 'app.sock');
  const server = net.createServer((connection) => {
    let buffer = '';
    connection.on('data', (chunk) => {
      buffer += chunk;
      for (let lf; (lf = buffer.indexOf('\n')) >= 0;) {
        const line = buffer.slice(0, lf);
        buffer = buffer.slice(lf + 1);
        if (seen.hellos.length === seen.calls.length && !line.includes('"method"')) {
          seen.hellos.push(line);
          connection.write(JSON.stringify({ ok: true, catalog_hash: hash }) + '\n');
          continue;
        }
        const { id, params } = JSON.parse(line);
        seen.calls.push(line);
        const text = `${params.name} ${JSON.stringify(params.arguments)}`;
        const result = { content: [{ type: 'text', text }], isError: false };
        connection.write(JSON.stringify({ jsonrpc: '2.0', id, result }) + '\n');
      }
    });
  });
  await new Promise((resolve) => server.listen(socket, resolve));
  await mkdir(path.join(dir, 'mcp'));
  const endpoint = { v: 1, socket, pid: process.pid, app_version: 'interop' };
  await writeFile(path.join(dir, 'mcp', 'endpoint.json'), JSON.stringify(endpoint));
  return { seen, close: () => new Promise((resolve) => server.close(resolve)) };
}

async function connect(dir) {
  const transport = new StdioClientTransport({
    command: SERVER_BIN, args: ['--no-launch'], env: { KESTIL_CONFIG_DIR: dir }, stderr: 'pipe',
  });
  let stderr = '';
  transport.setProtocolVersion = (version) => { transport.negotiated = version; };
  transport.stderr.on('data', (chunk) => { stderr += chunk; });
  const client = new Client({ name: 'interop', version: '1.2.3' });
  await client.connect(transport, REQUEST);
  return { client, negotiated: transport.negotiated, stderr: () => stderr };
}

describe('kestil-mcp under the MCP TypeScript SDK', { timeout: 30000 }, () => {
  let dir;
  before(async () => { dir = await mkdtemp('/tmp/kst-'); });
  after(() => rm(dir, { recursive: true, force: true }));

  it('negotiates, keeps the catalog byte for byte, and reports an absent app', async () => {
    const { client, negotiated, stderr } = await connect(dir);
    after(() => client.close());
    // The pinned SDK asks for a newer version than the server speaks; it accepts the server's newest.
    assert.equal(negotiated, '2025-06-18');
    assert.equal(client.getServerVersion().name, 'kestil');
    assert.deepEqual(client.getServerCapabilities(),
      { prompts: { listChanged: false }, tools: { listChanged: true } });
    const { tools } = await client.listTools(undefined, REQUEST);
    const { prompts } = await client.listPrompts(undefined, REQUEST);
    assert.equal(tools.length, 17);
    // Nothing was lost or altered in the SDK's parse: what it holds hashes to the pinned value.
    assert.equal(fnv1a64(canonical(tools) + canonical(prompts)), CATALOG_HASH);
    const result = await client.callTool({ name: 'list_spaces', arguments: {} }, undefined, REQUEST);
    assert.deepEqual(result, { content: [{ type: 'text', text: NOT_RUNNING_TEXT }], isError: true });
    await client.close();
    assert.equal(stderr(), '');
  });

  it('calls through the app; a foreign catalog reaches the client once, before the answer',
    async () => {
      const app = await startApp(dir, '0123456789abcdef');
      const { client, stderr } = await connect(dir);
      after(() => Promise.all([client.close(), app.close()]));
      const events = [];
      client.setNotificationHandler(ToolListChangedNotificationSchema, () => events.push('changed'));
      const args = { note: 'Journal', text: 'line — 끝 \\ "quoted"\n' };
      for (let round = 0; round < 2; round += 1) {
        const result = await client.callTool({ name: 'append_to_note', arguments: args },
          undefined, REQUEST);
        events.push(result.content[0].text);
      }
      const echo = `append_to_note ${JSON.stringify(args)}`;
      assert.deepEqual(events, ['changed', echo, echo]);
      assert.deepEqual(app.seen.hellos.map((line) => JSON.parse(line)),
        [{ ipc: 1, bridge_version: '0.1.0', client_name: 'interop', client_version: '1.2.3' }]);
      assert.equal(app.seen.calls.length, 2);
      await client.close();
      assert.equal(stderr(), '');
    });
});
