// The real client process serving the first page to headless Chromium over loopback.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtemp, readFile, rm } from 'node:fs/promises';
import http from 'node:http';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { chromium } from 'playwright-core';

const kChromiumArgs = [
  '--no-sandbox',
  '--headless',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

async function pollFile(file, timeoutMs) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    try {
      return (await readFile(file, 'utf8')).trim();
    } catch (error) {
      if (error.code !== 'ENOENT' || Date.now() > deadline) {
        throw error;
      }
    }
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

// One plain request from node, with headers that a browser would not let a page set.
function httpGet(url, headers = {}) {
  return new Promise((resolve, reject) => {
    const request = http.get(url, { headers }, (response) => {
      let body = '';
      response.setEncoding('utf8');
      response.on('data', (chunk) => (body += chunk));
      response.on('end', () => resolve({ status: response.statusCode, body }));
    });
    request.on('error', reject);
  });
}

// One POST from node; `body` is sent as is.
function httpPost(url, body, headers = {}) {
  return new Promise((resolve, reject) => {
    const request = http.request(url, { method: 'POST', headers }, (response) => {
      let text = '';
      response.setEncoding('utf8');
      response.on('data', (chunk) => (text += chunk));
      response.on('end', () => resolve({ status: response.statusCode, body: text }));
    });
    request.on('error', reject);
    request.end(body);
  });
}

// Waits until `predicate` holds for one of `list`, which grows meanwhile; returns that one.
async function waitForItem(list, predicate, what, timeoutMs = 10_000) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const found = list.find(predicate);
    if (found !== undefined) {
      return found;
    }
    assert.ok(Date.now() < deadline, `timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

function isLoopback(url) {
  return new URL(url).hostname === '127.0.0.1';
}

describe('main page', () => {
  let home;
  let profile;
  let client;
  let exited;
  let output = '';
  let pageUrl;
  let context;
  let page;
  const blocked = [];
  // every message the pages sent to the client, parsed, a batch's one by one
  const pageMessages = [];
  // every frame the pages sent, parsed
  const pageFrames = [];
  let pageSocket; // the page's end of its socket: what is sent here reaches the page

  before(async () => {
    assert.ok(process.env.VELMORA_BIN, 'VELMORA_BIN names the client executable');
    home = await mkdtemp(path.join(tmpdir(), 'velmora-home-'));
    profile = await mkdtemp(path.join(tmpdir(), 'velmora-chromium-'));
    client = spawn(process.env.VELMORA_BIN, ['--no-window', '--home', home], {
      env: { ...process.env, VELMORA_LOOPBACK_ONLY: '1' },
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    client.stdout.on('data', (chunk) => (output += chunk));
    client.stderr.on('data', (chunk) => (output += chunk));
    exited = new Promise((resolve) => client.on('exit', (code, signal) => resolve({ code, signal })));
    pageUrl = await pollFile(path.join(home, 'ui-url'), 20_000);

    context = await chromium.launchPersistentContext(profile, {
      executablePath: '/usr/bin/chromium',
      headless: true,
      args: kChromiumArgs,
    });
    // nothing but the client on loopback may be reached
    await context.route('**/*', (route) => {
      if (isLoopback(route.request().url())) {
        return route.continue();
      }
      blocked.push(route.request().url());
      return route.abort();
    });
    await context.routeWebSocket(/.*/, (ws) => {
      if (isLoopback(ws.url())) {
        const server = ws.connectToServer();
        pageSocket = ws;
        ws.onMessage((text) => {
          const message = JSON.parse(text);
          pageFrames.push(message);
          pageMessages.push(...(message.t === 'batch' ? message.m : [message]));
          // a close request would start the client's exit: the page's side is what is tested
          if (message.t !== 'close') {
            server.send(text);
          }
        });
      } else {
        blocked.push(ws.url());
        ws.close();
      }
    });
    page = context.pages()[0] ?? (await context.newPage());
  });

  after(async () => {
    await context?.close();
    if (client && client.exitCode === null && client.signalCode === null) {
      client.kill('SIGKILL');
      await exited;
    }
    await rm(profile, { recursive: true, force: true });
    await rm(home, { recursive: true, force: true });
  });

  test('loads from the archive with the token', async () => {
    assert.match(pageUrl, /^http:\/\/127\.0\.0\.1:\d+\/app\/main\.htm\?token=[0-9a-f]{64}$/);
    const response = await page.goto(pageUrl);
    assert.equal(response.status(), 200);
    assert.equal(await page.title(), 'Velmora');
    await page.locator('#connection[data-state="open"]').waitFor();
  });

  test('shows the version the client reports', async () => {
    const version = await page.evaluate(() => window.velmora.call('get_version'));
    assert.equal(version.length, 13);
    await page.locator('#build-number', { hasText: version[0] }).waitFor();
    assert.equal(await page.locator('#version-text').textContent(), version[12].trim());
  });

  test('received get_resume_data from the client', async () => {
    const event = page.locator('#events li', { hasText: 'get_resume_data' });
    await event.waitFor();
    assert.equal(await event.locator('.arg').textContent(), '0');
  });

  test('runs a command from the console', async () => {
    await page.fill('#command-name', 'get_version');
    await page.fill('#command-args', '[]');
    await page.click('#command-run');
    await page.locator('#command-result', { hasText: '2.9.6.0' }).waitFor();
    await page.fill('#command-name', 'no_such_command');
    await page.click('#command-run');
    await page.locator('#command-result.failed', { hasText: 'not handled' }).waitFor();
  });

  test('answers every call of a batch frame', async () => {
    assert.match(pageSocket.url(), /[?&]batch=1(&|$)/);
    pageSocket.send(
      JSON.stringify({
        t: 'batch',
        m: [
          { t: 'call', id: 900001, fn: 'get_files_prioraty', arg: 'ab' },
          { t: 'call', id: 900002, fn: 'no_such_function', arg: 1 },
        ],
      }),
    );
    await waitForItem(pageMessages, (m) => m.t === 'reply' && m.id === 900002, 'the second reply');
    const replies = pageMessages
      .filter((m) => m.t === 'reply' && m.id >= 900001)
      .sort((a, b) => a.id - b.id);
    assert.deepEqual(replies, [
      { t: 'reply', id: 900001, value: [] },
      { t: 'reply', id: 900002, value: null },
    ]);
    // answered as it came: in one frame
    const frame = pageFrames.find((f) => f.t === 'batch' && f.m.some((m) => m.id === 900001));
    assert.deepEqual(frame?.m.map((m) => m.id).sort(), [900001, 900002]);
  });

  test('forwards the function keys the page leaves alone', async () => {
    await page.evaluate(() =>
      document.addEventListener('keydown', (event) => {
        if (event.key === 'F8') {
          event.preventDefault(); // the page's own key
        }
      }),
    );
    for (const key of ['F8', 'Control+F2', 'F7', 'F1']) {
      await page.keyboard.press(key);
    }
    await waitForItem(pageMessages, (m) => m.t === 'key' && m.key === 1, 'F1');
    const keys = pageMessages.filter((m) => m.t === 'key').map((m) => m.key);
    assert.deepEqual(keys, [7, 1]);
    const version = await page.evaluate(() => window.velmora.call('get_version'));
    assert.equal(version.length, 13); // still served
  });

  test('sends a close request only when asked', async () => {
    assert.equal(pageMessages.filter((m) => m.t === 'close').length, 0);
    await page.evaluate(() => window.velmora.requestClose());
    await waitForItem(pageMessages, (m) => m.t === 'close', 'the close request');
  });

  test('uploads a dropped file and names it in a drop message', async () => {
    const uploaded = page.waitForResponse((r) => new URL(r.url()).pathname === '/drop');
    await page.evaluate(() => {
      const transfer = new DataTransfer();
      transfer.items.add(new File(['d4:infod4:name1:xee'], 'dropped file.torrent'));
      document.body.dispatchEvent(
        new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }),
      );
    });
    const response = await uploaded;
    assert.equal(response.status(), 200);
    const { file } = await response.json();
    assert.match(file, /^\d+\/dropped file\.torrent$/);
    const drop = await waitForItem(pageMessages, (m) => m.t === 'drop', 'the drop message');
    assert.deepEqual(drop, { t: 'drop', files: [file] });
  });

  test('takes uploads with the token only', async () => {
    const origin = new URL(pageUrl).origin;
    const token = new URL(pageUrl).searchParams.get('token');
    const withToken = await httpPost(`${origin}/drop?name=a.torrent&token=${token}`, 'bytes');
    assert.equal(withToken.status, 200);
    assert.match(JSON.parse(withToken.body).file, /^\d+\/a\.torrent$/);
    const withoutToken = await httpPost(`${origin}/drop?name=a.torrent`, 'bytes');
    assert.equal(withoutToken.status, 403);
    const wrongToken = await httpPost(`${origin}/drop?name=a.torrent&token=${'0'.repeat(64)}`, 'x');
    assert.equal(wrongToken.status, 403);
  });

  test('refuses requests without the token or with a foreign host', async () => {
    const origin = new URL(pageUrl).origin;
    const noToken = await httpGet(`${origin}/app/main.htm`);
    assert.equal(noToken.status, 403);
    assert.ok(!noToken.body.includes('<html'));
    const foreignHost = await httpGet(pageUrl, { Host: 'evil.example' });
    assert.ok([403, 421].includes(foreignHost.status), `status ${foreignHost.status}`);
    assert.ok(!foreignHost.body.includes('<html'));
  });

  test('made no request beyond loopback', () => {
    assert.deepEqual(blocked, []);
  });

  test('exits cleanly on SIGTERM', async () => {
    await context.close();
    context = undefined;
    client.kill('SIGTERM');
    let timer;
    const result = await Promise.race([
      exited,
      new Promise((resolve) => (timer = setTimeout(() => resolve({ code: 'timeout' }), 30_000))),
    ]);
    clearTimeout(timer);
    assert.deepEqual(result, { code: 0, signal: null }, output);
  });
});
