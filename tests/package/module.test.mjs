// The packaged kestil-mcp finds its reply checker module, shown by the process itself (the
// server reports nothing): a large compact reply from a stand-in app goes through it, and then
// its memory map holds the module and its peak memory stays near one copy of the reply line,
// where the general path parses and rewrites the line and holds it several times over. The same
// binary alone in a folder, with no module to find, shows the other side.
//   KESTIL_PACKAGE_ROOT=<unpacked .deb> node --test tests/package/module.test.mjs
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { copyFile, mkdir, mkdtemp, readFile, rm, writeFile } from 'node:fs/promises';
import net from 'node:net';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';

const ROOT = process.env.KESTIL_PACKAGE_ROOT;
const REQUEST_TIMEOUT_MS = 20000;
const MIB = 1024 * 1024;
// Markdown with what a note holds: non-ASCII, quotes, backslashes, tabs and line feeds.
const PARAGRAPH = 'Lighthouse — 끝 "quoted" \\ path\ttabbed, and some plain words here.\n';
const TEXT = PARAGRAPH.repeat(Math.ceil((16 * MIB) / PARAGRAPH.length));

// The app's reply in compact form with its keys in order, as kestil-folder writes it.
function reply_line(id) {
  const result = { content: [{ text: TEXT, type: 'text' }], isError: false };
  return JSON.stringify({ id, jsonrpc: '2.0', result }) + '\n';
}

// Publishes an endpoint in `dir` and answers the hello, then every call with the large reply.
async function start_app(dir) {
  const socket = path.join(dir, 'app.sock');
  const server = net.createServer((connection) => {
    let buffer = '';
    let greeted = false;
    connection.on('data', (chunk) => {
      buffer += chunk;
      for (let lf; (lf = buffer.indexOf('\n')) >= 0;) {
        const line = buffer.slice(0, lf);
        buffer = buffer.slice(lf + 1);
        if (!greeted) {
          greeted = true;
          connection.write('{"catalog_hash":"0000000000000000","ok":true}\n');
        } else {
          connection.write(reply_line(JSON.parse(line).id));
        }
      }
    });
  });
  await new Promise((resolve) => server.listen(socket, resolve));
  await mkdir(path.join(dir, 'mcp'));
  const endpoint = { app_version: 'test', pid: process.pid, socket, v: 1 };
  await writeFile(path.join(dir, 'mcp', 'endpoint.json'), JSON.stringify(endpoint));
  return () => new Promise((resolve) => server.close(resolve));
}

// Runs `binary`, passes one tool call through it and returns the text that reached the client,
// whether the module was mapped, and the peak resident memory, read while the server still runs.
async function call_through(binary, config_dir) {
  const server = spawn(binary, ['--no-launch'], {
    env: { KESTIL_CONFIG_DIR: config_dir }, stdio: ['pipe', 'pipe', 'inherit'],
  });
  const answered = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no answer in time')), REQUEST_TIMEOUT_MS);
    server.on('exit', (code) => reject(new Error(`kestil-mcp exited with ${code}`)));
    let pieces = [];
    server.stdout.on('data', (chunk) => {
      for (let lf; (lf = chunk.indexOf(10)) >= 0; chunk = chunk.subarray(lf + 1)) {
        const message = JSON.parse(Buffer.concat([...pieces, chunk.subarray(0, lf)]).toString());
        pieces = [];
        if (message.id === 2) {
          clearTimeout(timer);
          resolve(message);
        }
      }
      pieces.push(chunk);
    });
  });
  const call = { name: 'read_note', arguments: { note: 'Large' } };
  server.stdin.write(
    '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",' +
    '"capabilities":{},"clientInfo":{"name":"module-test","version":"1"}}}\n' +
    '{"jsonrpc":"2.0","method":"notifications/initialized"}\n' +
    JSON.stringify({ jsonrpc: '2.0', id: 2, method: 'tools/call', params: call }) + '\n');
  const answer = await answered;
  const maps = await readFile(`/proc/${server.pid}/maps`, 'utf8');
  const status = await readFile(`/proc/${server.pid}/status`, 'utf8');
  server.removeAllListeners('exit');
  server.stdin.end();
  await new Promise((resolve) => server.on('close', resolve));
  return {
    text: answer.result.content[0].text,
    module_mapped: maps.includes('/kestil-mcp-json.so'),
    peak_mib: Number(/VmHWM:\s*(\d+) kB/.exec(status)[1]) / 1024,
  };
}

describe('the packaged kestil-mcp and its reply checker module', { timeout: 60000 }, () => {
  let dir;
  let stop_app;
  before(async () => {
    assert.ok(ROOT, 'set KESTIL_PACKAGE_ROOT to the unpacked package');
    dir = await mkdtemp('/tmp/kestil-module-');
    stop_app = await start_app(dir);
    await mkdir(path.join(dir, 'alone'));
    await copyFile(path.join(ROOT, 'usr/bin/kestil-mcp'), path.join(dir, 'alone/kestil-mcp'));
  });
  after(async () => {
    await stop_app?.();
    await rm(dir, { recursive: true, force: true });
  });

  const line_mib = reply_line(2).length / MIB;
  const rows = [
    // binary, module found, peak memory below twice the reply line
    { binary: 'usr/bin/kestil-mcp', mapped: true, under_two_lines: true },
    { binary: 'alone/kestil-mcp', mapped: false, under_two_lines: false },
  ];
  for (const row of rows) {
    it(`${row.binary}: module ${row.mapped ? 'loaded' : 'absent'}`, async () => {
      const binary = row.binary.startsWith('alone') ? path.join(dir, row.binary) : path.join(ROOT, row.binary);
      const seen = await call_through(binary, dir);
      assert.ok(seen.text === TEXT, 'the reply reached the client changed');
      assert.equal(seen.module_mapped, row.mapped);
      console.log(`# ${row.binary}: peak RSS ${seen.peak_mib.toFixed(1)} MiB for a ${line_mib.toFixed(1)} MiB line`);
      assert.equal(seen.peak_mib < 2 * line_mib, row.under_two_lines,
        `peak RSS ${seen.peak_mib.toFixed(1)} MiB, reply line ${line_mib.toFixed(1)} MiB`);
    });
  }
});
