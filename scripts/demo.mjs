// The demo's MCP client: the official TypeScript SDK client (pinned in tests/interop) starts
// kestil-mcp the way a host does and makes a few tool calls on the sample notes, printing a
// short transcript. Run by scripts/demo, which starts kestil-folder first and passes
// KESTIL_MCP_BIN and KESTIL_CONFIG_DIR.
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
// The SDK is installed in tests/interop only; resolve it from there.
const require = createRequire(path.join(root, 'tests/interop/package.json'));
const { Client } = require('@modelcontextprotocol/sdk/client/index.js');
const { StdioClientTransport } = require('@modelcontextprotocol/sdk/client/stdio.js');

const REQUEST = { timeout: 15000 };
const WIDTH = 100;

function heading(text) {
  console.log(process.stdout.isTTY ? `\n\x1b[1m${text}\x1b[0m` : `\n${text}`);
}

// Up to `lines` lines of `text`, each cut to the terminal-friendly width.
function show(text, lines = 12) {
  const all = text.split('\n');
  for (const line of all.slice(0, lines)) {
    console.log('  ' + (line.length > WIDTH ? line.slice(0, WIDTH - 1) + '…' : line));
  }
  if (all.length > lines) console.log(`  … (${all.length - lines} more lines)`);
}

function resultText(result) {
  return (result.content ?? []).map((item) => item.text ?? '').join('\n');
}

function parsed(text) {
  try {
    return JSON.parse(text);
  } catch {
    return undefined;
  }
}

// The tool's answer as JSON (or text when it is not JSON); a failed call ends the demo.
async function call(client, name, args) {
  heading(`tools/call ${name} ${JSON.stringify(args)}`);
  const result = await client.callTool({ name, arguments: args }, undefined, REQUEST);
  const text = resultText(result);
  if (result.isError) throw new Error(`${name} failed: ${text}`);
  return parsed(text) ?? text;
}

// The stdio transport, remembering the protocol version the client and server agreed on.
class NegotiatingTransport extends StdioClientTransport {
  setProtocolVersion(version) {
    this.protocolVersion = version;
  }
}

// The ref of the block whose text contains `needle`, from read_note's Markdown.
function refOfBlock(markdown, needle) {
  const pattern = /<!-- (b\d+~[0-9a-z]+)[^>]*-->\n([\s\S]*?)(?=\n<!-- b\d+~|$)/g;
  for (const match of markdown.matchAll(pattern)) {
    if (match[2].includes(needle)) return match[1];
  }
  throw new Error(`no block containing "${needle}" in the note`);
}

async function main() {
  const transport = new NegotiatingTransport({
    command: process.env.KESTIL_MCP_BIN,
    args: ['--no-launch'],
    env: { ...process.env },
    stderr: 'inherit',
  });
  const client = new Client({ name: 'kestil-demo', version: '1.0.0' });
  await client.connect(transport, REQUEST);

  heading('initialize');
  const info = client.getServerVersion();
  console.log(`  server ${info.name} ${info.version}, protocol ${transport.protocolVersion}`);

  heading('tools/list');
  const { tools } = await client.listTools(undefined, REQUEST);
  console.log(`  ${tools.length} tools: ${tools.map((tool) => tool.name).join(', ')}`);

  const found = await call(client, 'search_notes', { query: 'onboarding screens', limit: 3 });
  for (const hit of found.results ?? []) show(`${hit.path}: ${hit.snippet ?? ''}`, 1);

  const note = 'Projects/Lighthouse Redesign';
  const read = await call(client, 'read_note', { note });
  show(`id ${read.id}, version ${read.version}, description "${read.description ?? ''}"`, 1);
  show(read.markdown, 9);

  const appended = await call(client, 'append_to_daily_note', {
    markdown: `- [ ] Demo: review the [Lighthouse redesign](kestil://note/${read.id}) tasks`,
  });
  show(`${appended.created ? 'created' : 'appended to'} ${appended.path}, version ${appended.version}`);

  // The ref comes from the read above; the edit names the version that read returned.
  const ref = refOfBlock(read.markdown, 'Do we keep the "skip" button');
  const edited = await call(client, 'edit_note', {
    note,
    version: read.version,
    ops: [{ op: 'replace', ref, markdown: 'Decided: the "skip" button stays, in a quieter style.' }],
  });
  show(`new version ${edited.version}, changed since read: ${edited.changed_since_read}`);
  const after = await call(client, 'read_note', { note, max_chars: 100000 });
  const lines = after.markdown.split('\n');
  const at = lines.findIndex((line) => line.startsWith('Decided: the "skip"'));
  show(lines.slice(Math.max(at - 3, 0), at + 1).join('\n'));

  await client.close();
}

main().catch((error) => {
  console.error(`demo: ${error.message}`);
  process.exit(1);
});
