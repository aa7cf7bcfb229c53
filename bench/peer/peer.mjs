// The peer of the benchmark: a bridge written plainly on the official MCP TypeScript SDK,
// McpServer over stdio. It serves the server's own catalog (read from the JSON file the bench
// writes from kestil-mcp's answers) and forwards each tool call over the app's socket: one
// connection made on the first call, the hello line first, then one call line for one reply line.
//   KESTIL_CONFIG_DIR=<dir> node peer.mjs <catalog.json>
import { readFileSync } from 'node:fs';
import net from 'node:net';
import path from 'node:path';

import { McpServer } from '@modelcontextprotocol/sdk/server/mcp.js';
import { StdioServerTransport } from '@modelcontextprotocol/sdk/server/stdio.js';
import { z } from 'zod';

const catalog = JSON.parse(readFileSync(process.argv[2], 'utf8'));
const configDir = process.env.KESTIL_CONFIG_DIR;

// A zod type for one JSON Schema of the catalog (the few forms it uses).
function zodOf(schema) {
  let type;
  if (schema.enum) type = z.enum(schema.enum);
  else if (schema.type === 'string') {
    type = z.string();
    if (schema.pattern) type = type.regex(new RegExp(schema.pattern));
  } else if (schema.type === 'integer') {
    type = z.number().int();
    if (schema.minimum !== undefined) type = type.min(schema.minimum);
  } else if (schema.type === 'number') type = z.number();
  else if (schema.type === 'boolean') type = z.boolean();
  else if (schema.type === 'array') type = z.array(schema.items ? zodOf(schema.items) : z.any());
  else if (schema.type === 'object') type = z.object(shapeOf(schema));
  else type = z.any();
  return schema.description ? type.describe(schema.description) : type;
}

function shapeOf(schema) {
  const required = new Set(schema.required ?? []);
  const shape = {};
  for (const [name, property] of Object.entries(schema.properties ?? {})) {
    shape[name] = required.has(name) ? zodOf(property) : zodOf(property).optional();
  }
  return shape;
}

// The connection to the app; calls go one at a time, in order.
class AppLink {
  constructor() {
    this.socket = null;
    this.pieces = [];
    this.waiting = null;
    this.queue = Promise.resolve();
  }

  onData(chunk) {
    let start = 0;
    let lf;
    while ((lf = chunk.indexOf(10, start)) !== -1) {
      this.pieces.push(chunk.subarray(start, lf));
      const line = Buffer.concat(this.pieces).toString('utf8');
      this.pieces = [];
      start = lf + 1;
      const waiting = this.waiting;
      this.waiting = null;
      waiting?.resolve(line);
    }
    if (start < chunk.length) this.pieces.push(chunk.subarray(start));
  }

  // The connection is gone: the call in flight fails and the next call dials again.
  onLost(error) {
    const waiting = this.waiting;
    this.waiting = null;
    this.socket = null;
    this.pieces = [];
    waiting?.reject(error);
  }

  exchange(line) {
    return new Promise((resolve, reject) => {
      this.waiting = { resolve, reject };
      this.socket.write(line + '\n');
    });
  }

  async open() {
    const endpoint = JSON.parse(readFileSync(path.join(configDir, 'mcp', 'endpoint.json'), 'utf8'));
    const socket = net.createConnection(endpoint.socket);
    await new Promise((resolve, reject) => {
      socket.once('connect', resolve);
      socket.once('error', reject);
    });
    this.socket = socket;
    this.socket.on('data', (chunk) => this.onData(chunk));
    this.socket.on('error', (error) => this.onLost(error));
    this.socket.on('close', () => this.onLost(new Error('the app closed the connection')));
    const hello = {
      ipc: 1,
      bridge_version: '0.1.0',
      client_name: server.server.getClientVersion()?.name ?? 'unknown',
      client_version: server.server.getClientVersion()?.version ?? '',
    };
    const reply = JSON.parse(await this.exchange(JSON.stringify(hello)));
    if (reply.ok !== true) throw new Error('the app refused the connection');
  }

  call(id, name, args) {
    const run = async () => {
      if (!this.socket) await this.open();
      const params = { name, arguments: args };
      const line = JSON.stringify({ jsonrpc: '2.0', id, method: 'tools/call', params });
      return JSON.parse(await this.exchange(line));
    };
    const result = this.queue.then(run, run);
    this.queue = result.catch(() => {});
    return result;
  }
}

const app = new AppLink();
const server = new McpServer(catalog.initialize.serverInfo, {
  capabilities: catalog.initialize.capabilities,
  instructions: catalog.initialize.instructions,
});

for (const tool of catalog.tools) {
  const config = {
    title: tool.title,
    description: tool.description,
    inputSchema: shapeOf(tool.inputSchema),
    annotations: tool.annotations,
  };
  server.registerTool(tool.name, config, async (args, extra) => {
    try {
      const reply = await app.call(extra.requestId, tool.name, args);
      if (reply.result) return reply.result;
      const text = reply.error?.message ?? 'app error';
      return { content: [{ type: 'text', text }], isError: true };
    } catch (error) {
      return { content: [{ type: 'text', text: `unavailable: ${error.message}` }], isError: true };
    }
  });
}

for (const prompt of catalog.prompts) {
  const argsSchema = {};
  for (const argument of prompt.arguments ?? []) {
    const type = z.string().describe(argument.description ?? '');
    argsSchema[argument.name] = argument.required ? type : type.optional();
  }
  const config = { title: prompt.title, description: prompt.description, argsSchema };
  server.registerPrompt(prompt.name, config, () => ({
    messages: [{ role: 'user', content: { type: 'text', text: prompt.description } }],
  }));
}

process.stdin.on('end', () => process.exit(0));
await server.connect(new StdioServerTransport());
