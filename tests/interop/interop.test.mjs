// kestil-mcp driven by the official MCP TypeScript SDK client, the way a host drives it: the
// SDK starts the real binary over stdio, validates every answer with its own schemas, and the
// tool calls go through to the stand-in app.
import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';

import {
  ErrorCode,
  LATEST_PROTOCOL_VERSION,
  McpError,
  SUPPORTED_PROTOCOL_VERSIONS,
  ToolListChangedNotificationSchema,
} from '@modelcontextprotocol/sdk/types.js';
import { AjvJsonSchemaValidator } from '@modelcontextprotocol/sdk/validation/ajv';

import {
  CLIENT_INFO,
  REQUEST,
  closeSession,
  killLeftovers,
  makeConfigDir,
  openSession,
  removeDir,
  startFakeApp,
  withSession,
  withTimeout,
} from './harness.mjs';

const TOOL_NAMES = [
  'list_spaces', 'get_context', 'search_notes', 'list_folder', 'list_recent', 'read_note',
  'get_backlinks', 'list_tags', 'notes_with_tag', 'list_tasks', 'create_note', 'duplicate_note',
  'append_to_note', 'append_to_daily_note', 'edit_note', 'set_note_info', 'set_tags',
];
const PROMPT_NAMES = ['daily-review', 'summarize-note', 'weekly-digest'];
const NOT_RUNNING_TEXT =
  'unavailable: kestil is not running, or its AI connection is off. Open kestil, turn on ' +
  'Settings > AI connection, open the space, and try again.';
// A catalog hash that is not the server's own.
const OTHER_HASH = '0123456789abcdef';
const SUITE = { timeout: 30000 };

// The answer the transport received for the request the SDK sent last with this method.
function rawAnswer(transport, method) {
  const request = transport.sent.findLast((message) => message.method === method);
  assert.ok(request, `the SDK sent ${method}`);
  return transport.received.find((message) => 'id' in message && message.id === request.id);
}

// The stand-in echoes "<tool name> <compact arguments>" as the result's one text.
function assertEcho(result, name, args) {
  assert.equal(result.isError, false);
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, 'text');
  const text = result.content[0].text;
  assert.ok(text.startsWith(`${name} `), text);
  assert.deepEqual(JSON.parse(text.slice(name.length + 1)), args);
}

async function expectMcpError(promise, code, message) {
  await assert.rejects(promise, (error) => {
    assert.ok(error instanceof McpError, String(error));
    assert.equal(error.code, code);
    assert.ok(error.message.endsWith(message), error.message);
    return true;
  });
}

describe('a host with the app closed (--no-launch)', SUITE, () => {
  let configDir;
  let session;

  before(async () => {
    configDir = await makeConfigDir();
    session = await openSession({ configDir });
  });

  after(async () => {
    try {
      await closeSession(session);
    } finally {
      await removeDir(configDir);
    }
  });

  it('connects: the SDK asks for its newest version and settles on one both speak', () => {
    const { client, transport } = session;
    const [initialize, initialized] = transport.sent;
    assert.equal(initialize.method, 'initialize');
    assert.equal(initialize.params.protocolVersion, LATEST_PROTOCOL_VERSION);
    assert.deepEqual(initialize.params.clientInfo, CLIENT_INFO);

    const answer = transport.received[0];
    assert.equal(answer.id, initialize.id);
    const offered = ['2025-06-18', '2025-03-26', '2024-11-05'];
    const expected =
      offered.includes(LATEST_PROTOCOL_VERSION) ? LATEST_PROTOCOL_VERSION : offered[0];
    assert.equal(answer.result.protocolVersion, expected);
    assert.ok(SUPPORTED_PROTOCOL_VERSIONS.includes(answer.result.protocolVersion));

    // Right after the answer the SDK announces the end of the handshake, as a notification.
    assert.deepEqual(initialized, { jsonrpc: '2.0', method: 'notifications/initialized' });

    assert.deepEqual(client.getServerVersion(), { name: 'kestil', version: '0.1.0' });
    assert.deepEqual(client.getServerCapabilities(), {
      prompts: { listChanged: false },
      tools: { listChanged: true },
    });
    const instructions = client.getInstructions();
    assert.equal(Buffer.byteLength(instructions, 'utf8'), 695);
    assert.ok(instructions.includes(' \u2014 '), 'the em dash arrives as one character');
  });

  it('lists 17 tools in catalog order that pass the SDK schema whole', async () => {
    const { client, transport } = session;
    const { tools } = await client.listTools(undefined, REQUEST);
    assert.deepEqual(tools.map((tool) => tool.name), TOOL_NAMES);
    // The SDK drops members its schema does not know: nothing may have been dropped.
    assert.deepEqual(tools, rawAnswer(transport, 'tools/list').result.tools);

    const validator = new AjvJsonSchemaValidator();
    for (const tool of tools) {
      assert.equal(typeof tool.title, 'string', tool.name);
      assert.equal(typeof tool.description, 'string', tool.name);
      assert.equal(tool.annotations?.title, tool.title, tool.name);
      const { properties = {}, required = [] } = tool.inputSchema;
      for (const name of required) {
        assert.ok(name in properties, `${tool.name}: required "${name}" is a property`);
      }
      // The argument schema compiles, and an argument of the wrong type is refused.
      const check = validator.getValidator(tool.inputSchema);
      const wrong = Object.fromEntries(Object.keys(properties).map((name) => [name, [null]]));
      assert.equal(check(wrong).valid, Object.keys(properties).length === 0, tool.name);
    }
  });

  it('lists the prompts and gets each one; a bad name or missing argument is -32602', async () => {
    const { client, transport } = session;
    const { prompts } = await client.listPrompts(undefined, REQUEST);
    assert.deepEqual(prompts.map((prompt) => prompt.name), PROMPT_NAMES);
    assert.deepEqual(prompts, rawAnswer(transport, 'prompts/list').result.prompts);
    const withArguments = prompts.filter((prompt) => prompt.arguments);
    assert.deepEqual(withArguments.map((prompt) => prompt.name), ['summarize-note']);
    assert.deepEqual(withArguments[0].arguments.map(({ name, required }) => ({ name, required })),
      [{ name: 'note', required: true }]);

    for (const name of ['daily-review', 'weekly-digest']) {
      const result = await client.getPrompt({ name }, REQUEST);
      assert.equal(result.messages.length, 1, name);
      assert.equal(result.messages[0].role, 'user');
      assert.equal(result.messages[0].content.type, 'text');
      assert.ok(result.messages[0].content.text.length > 0);
      assert.deepEqual(result, rawAnswer(transport, 'prompts/get').result);
    }
    const note = 'Inbox/Plans "Q3" — 계획';
    const summary =
      await client.getPrompt({ name: 'summarize-note', arguments: { note } }, REQUEST);
    assert.equal(summary.messages.length, 1);
    assert.equal(summary.messages[0].role, 'user');
    assert.ok(summary.messages[0].content.text.includes(`"${note}"`));

    const bad = 'unknown prompt or missing argument';
    await expectMcpError(client.getPrompt({ name: 'no-such-prompt' }, REQUEST),
      ErrorCode.InvalidParams, bad);
    await expectMcpError(client.getPrompt({ name: 'summarize-note' }, REQUEST),
      ErrorCode.InvalidParams, bad);
    await expectMcpError(
      client.getPrompt({ name: 'summarize-note', arguments: { note: '' } }, REQUEST),
      ErrorCode.InvalidParams, bad);
  });

  it('answers ping with an empty result', async () => {
    const { client, transport } = session;
    assert.deepEqual(await client.ping(REQUEST), {});
    assert.deepEqual(rawAnswer(transport, 'ping').result, {});
  });

  it('answers a method it lacks with -32601 naming the method', async () => {
    await expectMcpError(session.client.listResources(undefined, REQUEST),
      ErrorCode.MethodNotFound, 'method not found: resources/list');
  });

  it('turns a tool call into an isError result telling the person what to do', async () => {
    const started = Date.now();
    const result = await session.client.callTool(
      { name: 'read_note', arguments: { note: 'Inbox' } }, undefined, REQUEST);
    assert.deepEqual(result,
      { content: [{ type: 'text', text: NOT_RUNNING_TEXT }], isError: true });
    assert.ok(Date.now() - started < 2000, 'no launch and no waiting with --no-launch');
  });

  it('answered each request once, in order, and no notification', () => {
    const { transport } = session;
    const requestIds = transport.sent.filter((message) => 'id' in message).map((m) => m.id);
    assert.deepEqual(transport.received.map((message) => message.id), requestIds);
    for (const message of transport.received) assert.equal(message.jsonrpc, '2.0');
  });
});

describe('tool calls through the stand-in app', SUITE, () => {
  let configDir;
  let app;
  let session;

  before(async () => {
    configDir = await makeConfigDir();
    app = await startFakeApp(configDir, 'match');
    session = await openSession({ configDir });
  });

  after(async () => {
    try {
      await closeSession(session);
    } finally {
      app?.kill();
      await removeDir(configDir);
    }
  });

  it('carries two rounds of calls over one app connection, each call whole and once', async () => {
    const { client, transport } = session;
    let notifications = 0;
    client.setNotificationHandler(ToolListChangedNotificationSchema, () => {
      notifications += 1;
    });
    const calls = [
      ['list_spaces', {}],
      ['search_notes', { query: 'plans "Q3"', limit: 5 }],
      ['read_note', { note: 'Inbox/Plans', max_chars: 4000 }],
      ['append_to_note', { note: 'Journal', text: 'line one\nline two — 끝 \\ "quoted"' }],
      ['no_such_tool', { anything: [1, { nested: true }] }],
    ];

    // First round: one call at a time, with the host's other requests in between.
    for (const [name, args] of calls) {
      assertEcho(await client.callTool({ name, arguments: args }, undefined, REQUEST), name, args);
      await client.ping(REQUEST);
    }
    await client.listTools(undefined, REQUEST);
    // Second round: the host does not wait before sending the next call.
    const results = await withTimeout(Promise.all(calls.map(([name, args]) =>
      client.callTool({ name, arguments: args }, undefined, REQUEST))), 'pipelined calls');
    results.forEach((result, index) => assertEcho(result, ...calls[index]));

    const seen = await app.stop();
    app = undefined;
    assert.equal(seen.connections, 1, 'one app connection for every call');
    assert.deepEqual(seen.hellos, [JSON.stringify({
      ipc: 1,
      bridge_version: '0.1.0',
      client_name: CLIENT_INFO.name,
      client_version: CLIENT_INFO.version,
    })]);
    const sentCalls = transport.sent.filter((message) => message.method === 'tools/call');
    assert.equal(sentCalls.length, 2 * calls.length);
    assert.deepEqual(seen.calls.map((line) => JSON.parse(line)), sentCalls,
      'the app gets each request as the SDK sent it, once, in order');
    assert.equal(notifications, 0, 'the app reports the server\'s own catalog');
  });
});

describe('a catalog change reported by the app', SUITE, () => {
  let configDir;
  let app;

  before(async () => {
    configDir = await makeConfigDir();
    app = await startFakeApp(configDir, OTHER_HASH);
  });

  after(async () => {
    app?.kill();
    await removeDir(configDir);
  });

  it('reaches the SDK handler before the call result, once per app catalog', () =>
    withSession({ configDir }, async ({ client, transport }) => {
      const fired = [];
      let answered = false;
      client.setNotificationHandler(ToolListChangedNotificationSchema, (notification) => {
        fired.push({ notification, answered });
      });

      const first = client.callTool({ name: 'list_tags', arguments: {} }, undefined, REQUEST)
        .then((result) => {
          answered = true;
          return result;
        });
      assertEcho(await first, 'list_tags', {});
      assert.deepEqual(fired, [{
        notification: { method: 'notifications/tools/list_changed' },
        answered: false,
      }]);
      const notificationAt = transport.received.findIndex((message) => !('id' in message));
      assert.deepEqual(transport.received[notificationAt],
        { jsonrpc: '2.0', method: 'notifications/tools/list_changed' });
      assert.equal(transport.received[notificationAt + 1].id, transport.sent.at(-1).id,
        'the notification is followed on the wire by the call\'s answer');

      assertEcho(await client.callTool({ name: 'list_tags', arguments: {} }, undefined, REQUEST),
        'list_tags', {});
      assert.equal(fired.length, 1, 'the same app catalog is announced once');
    }));

  it('makes a client with listChanged set refetch the 17 tools', async () => {
    let changed;
    const refreshed = new Promise((resolve) => {
      changed = resolve;
    });
    const clientOptions = {
      listChanged: {
        tools: { onChanged: (error, tools) => changed({ error, tools }), debounceMs: 0 },
      },
    };
    await withSession({ configDir, clientOptions }, async ({ client, transport }) => {
      assertEcho(await client.callTool({ name: 'list_spaces', arguments: {} }, undefined, REQUEST),
        'list_spaces', {});
      const { error, tools } = await withTimeout(refreshed, 'listChanged onChanged');
      assert.equal(error, null);
      assert.deepEqual(tools.map((tool) => tool.name), TOOL_NAMES);
      assert.deepEqual(transport.sent.map((message) => message.method),
        ['initialize', 'notifications/initialized', 'tools/call', 'tools/list']);
    });
  });
});

// Whatever a failing test left running.
after(killLeftovers);
