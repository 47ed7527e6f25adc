// Nothing a reply holds makes the page reach the network: not the window's page, not an exported
// chat opened as a file. A server on 127.0.0.1 counts every connection the browser makes to it.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { bridgeScripts, launch, openPage } from './harness.mjs';

const enc = (text) => encodeURIComponent(text).replace(/%20/g, '+');
const png = 'iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==';

let browser, server, base;
const hits = [];
let connections = 0;
before(async () => {
  browser = await launch();
  server = createServer((req, res) => { hits.push(req.url); res.end(); });
  server.on('connection', () => { connections++; });
  await new Promise((done) => server.listen(0, '127.0.0.1', done));
  base = `http://127.0.0.1:${server.address().port}`;
  // The browser can reach the server: a count of 0 below means nothing was asked for.
  const context = await browser.newContext();
  await (await context.newPage()).goto(base + '/reachable');
  await context.close();
  assert.ok(hits.includes('/reachable'));
});
after(async () => {
  await browser?.close();
  await new Promise((done) => (server ? server.close(done) : done()));
});

function resetCount() {
  hits.length = 0;
  connections = 0;
}
async function assertNothingFetched(page, { connected = false } = {}) {
  await page.waitForTimeout(700);
  assert.deepEqual(hits, []);
  if (!connected) assert.equal(connections, 0);
}

// Every way a reply's markup could name an address the browser would fetch by itself.
function hostileReply() {
  return [
    `<img src=${base}/img>`,
    `![pixel](${base}/markdown.png "title")`,
    `[![badge](${base}/badge.svg)](https://example.com/project)`,
    `<div style="background:url(${base}/bg)">bg</div>`,
    `<span style="color: red; background-image: image-set('${base}/image-set' 1x)">red</span>`,
    `<link rel=stylesheet href=${base}/link.css>`,
    `<video poster=${base}/poster src=${base}/video></video><audio src=${base}/audio></audio>`,
    `<img srcset="${base}/srcset 1x" alt=set>`,
    `<picture><source srcset=${base}/source><img alt=pic></picture>`,
    `<svg><image href=${base}/svg-image /><image xlink:href=${base}/svg-xlink />` +
      `<rect fill="url(${base}/fill#p)" width=5 height=5 /></svg>`,
    `<style>@import url(${base}/import.css); @import "${base}/import2.css";` +
      ` body { background: url(${base}/style-bg) }</style>`,
    `<table background=${base}/table><tr><td>t</td></tr></table>`,
    `<input type=image src=${base}/input><iframe src=${base}/iframe></iframe>` +
      `<object data=${base}/object></object><embed src=${base}/embed>`,
    `<form action=${base}/form><button>send</button></form>`,
  ].join('\n\n');
}

// What a reply's bubble holds instead: the remote images as links, nothing else naming the server.
function replyShape(selector) {
  const box = document.querySelector(selector);
  return {
    links: [...box.querySelectorAll('a')].map((a) => [a.className, a.textContent, a.getAttribute('href')]),
    named: [...box.querySelectorAll('*')].flatMap((e) => [...e.attributes]
      .filter((a) => a.value.includes('127.0.0.1') && !(e.localName === 'a' && a.name === 'href'))
      .map((a) => `${e.localName} ${a.name}`)),
    styles: box.querySelectorAll('style, link').length,
    span: box.querySelector('span[style]')?.getAttribute('style') ?? null,
  };
}

function assertReplyShape(r) {
  assert.deepEqual(r.links, [
    ['remote-image', `${base}/img`, `${base}/img`],
    ['remote-image', 'pixel', `${base}/markdown.png`],
    ['', 'badge', 'https://example.com/project'],  // an image inside a link: its text
  ]);
  assert.deepEqual(r.named, []);
  assert.equal(r.styles, 0);
  assert.equal(r.span, 'color: red');
}

// Records what the page's policy refuses from here on.
async function watchViolations(page) {
  await page.evaluate(() => {
    window.violations = [];
    document.addEventListener('securitypolicyviolation',
      (e) => window.violations.push(`${e.effectiveDirective} ${e.blockedURI}`));
  });
}

test('a reply naming remote addresses fetches nothing; its remote images become links', async () => {
  const { page, errors } = await openPage(browser);
  await watchViolations(page);
  resetCount();
  await page.evaluate((t) => updateLiveReply(t), enc(hostileReply()));
  await page.waitForSelector('#live-reply p');
  const live = await page.evaluate(replyShape, '#live-reply .msg');
  await page.evaluate((t) => { removeLiveReply(); appendChat(false, 'M', t); }, enc(hostileReply()));
  const done = await page.evaluate(replyShape, '.ai-msg');
  await assertNothingFetched(page);
  assertReplyShape(live);
  assertReplyShape(done);
  // Left with nothing to fetch, the reply gives the policy nothing to refuse.
  assert.deepEqual(await page.evaluate(() => window.violations), []);
  assert.deepEqual(errors, []);
  await page.close();
});

test('a style in a reply keeps only declarations that can name no address', async () => {
  const { page } = await openPage(browser);
  resetCount();
  const cases = [
    ['color: red; font-weight: bold', 'color: red; font-weight: bold'],
    ['color: rgb(200, 0, 0);text-align:right', 'color: rgb(200, 0, 0);text-align:right'],
    [`color: red; background: url(${base}/a)`, 'color: red'],
    [`background: u\\72l(${base}/b)`, null],            // an escape spelling url
    [`color: red /* ; */ background:url(${base}/c)`, null],  // a comment hiding where one ends
    [`background-image: image-set("${base}/d" 1x)`, null],
    [`--x: url(${base}/e); background: var(--x)`, null],
  ];
  const kept = await page.evaluate((cases) => cases.map(([style], i) => {
    appendChat(false, 'S' + i, encodeURIComponent('<span style="' + style.replace(/"/g, '&quot;') + '">s</span>'));
    return document.querySelector(`[data-msg-id="S${i}"] span`).getAttribute('style');
  }), cases);
  assert.deepEqual(kept, cases.map(([, expected]) => expected));
  await assertNothingFetched(page);
  await page.close();
});

test('the policy alone lets the page fetch nothing and run no script but its own', async () => {
  const { page } = await openPage(browser);
  await watchViolations(page);
  resetCount();
  // The sanitiser out of the way: markup and requests straight into the page.
  const r = await page.evaluate(async (base) => {
    document.body.insertAdjacentHTML('beforeend', [
      `<img src=${base}/img onerror="window.ran = 'handler'">`, `<img srcset="${base}/srcset 1x">`,
      `<link rel=stylesheet href=${base}/link.css>`, `<link rel=prefetch href=${base}/prefetch>`,
      `<style>@import url(${base}/import.css); @font-face { font-family: f; src: url(${base}/font) }` +
        ` .f { font-family: f; background: url(${base}/style-bg) }</style><p class=f>f</p>`,
      `<div style="background:url(${base}/bg)">bg</div>`,
      `<video poster=${base}/poster src=${base}/video></video>`,
      `<svg><image href=${base}/svg-image /></svg>`, `<object data=${base}/object></object>`,
    ].join(''));
    const script = document.createElement('script');
    script.textContent = 'window.ran = "inline"';
    document.head.appendChild(script);
    const remote = document.createElement('script');
    remote.src = `${base}/script.js`;
    document.head.appendChild(remote);
    const refused = [];
    await fetch(`${base}/fetch`).catch(() => refused.push('fetch'));
    try { navigator.sendBeacon(`${base}/beacon`, 'x'); } catch (e) { refused.push('beacon'); }
    try { new WebSocket(`ws${base.substring(4)}/socket`); } catch (e) { refused.push('socket'); }
    new Image().src = `${base}/image`;
    await new Promise((done) => setTimeout(done, 500));
    return { ran: window.ran ?? null, refused };
  }, base);
  await assertNothingFetched(page);
  assert.equal(r.ran, null);
  assert.ok(r.refused.includes('fetch'));
  // A frame or a form sent is refused too, but Chromium opens a connection to the address before
  // it asks the policy (no request is sent on it): the sanitiser keeps both out of replies.
  await page.evaluate((base) => {
    document.body.insertAdjacentHTML('beforeend', `<iframe src=${base}/iframe></iframe>` +
      `<form action=${base}/form><button>send</button></form>`);
    document.querySelector('form button').click();
  }, base);
  await assertNothingFetched(page, { connected: true });
  const refused = new Set((await page.evaluate(() => window.violations)).map((v) => v.split(' ')[0]));
  for (const directive of ['img-src', 'style-src-elem', 'script-src-elem', 'connect-src', 'form-action',
                           'frame-src', 'object-src', 'media-src'])
    assert.ok(refused.has(directive), `${directive} not refused: ${[...refused]}`);
  await page.close();
});

test('the window works under its policy and nothing it does is refused', async () => {
  const { page, errors } = await openPage(browser);
  const policy = await page.evaluate(() =>
    document.querySelector('meta[http-equiv="Content-Security-Policy"]').content);
  const directives = Object.fromEntries(policy.split(';').map((d) => d.trim().split(/\s+/))
    .map(([name, ...values]) => [name, values]));
  assert.deepEqual(Object.keys(directives).sort(), ['base-uri', 'connect-src', 'default-src', 'form-action',
                                                   'img-src', 'script-src', 'style-src']);
  for (const name of ['default-src', 'connect-src', 'form-action', 'base-uri'])
    assert.deepEqual(directives[name], ["'none'"], name);
  assert.deepEqual(directives['img-src'], ['data:', 'blob:']);
  assert.deepEqual(directives['style-src'], ["'unsafe-inline'"]);
  // The page's own script and its four libraries, each by its hash; nothing else.
  assert.equal(directives['script-src'].length, 5);
  assert.ok(directives['script-src'].every((s) => /^'sha256-[A-Za-z0-9+/]{43}='$/.test(s)));

  await watchViolations(page);
  for (const script of bridgeScripts([
    { text: '| a | b |\n|---|--:|\n| **x** | `1` |', isUser: false, id: 'M1' },
    { text: 'q', file: '/tmp/report.pdf', isUser: true, id: 'U1' },
  ])) await page.evaluate(script);
  const r = await page.evaluate(async (png) => {
    updateLiveReply('**live**');
    await new Promise((done) => requestAnimationFrame(() => setTimeout(done, 0)));
    const live = document.querySelector('#live-reply strong')?.textContent;
    removeLiveReply();
    appendSources('M1', JSON.stringify([{ tool: 't', args: '{}', result: 'r', time: '' }]));
    appendImageMessage('user', 'image/png', png);
    appendChart('c', '[1,2]', '[3,4]');
    const img = document.querySelector('.img-bubble img');
    await img.decode();
    return { live, image: img.naturalWidth, chart: !!Chart.getChart(document.querySelector('canvas')),
             cell: document.querySelector('td code')?.textContent, sources: document.querySelectorAll('.sources').length };
  }, png);
  await page.waitForTimeout(300);
  assert.deepEqual(r, { live: 'live', image: 1, chart: true, cell: '1', sources: 1 });
  assert.deepEqual(await page.evaluate(() => window.violations), []);
  assert.deepEqual(errors, []);
  await page.close();
});

// A saved chat exported by the program, as the history file stores it.
function chatFile(dir) {
  writeFileSync(join(dir, 'pixel.png'), Buffer.from(png, 'base64'));
  const message = (msgId, role, text, more = {}) => ({ msgId, role, text, attached: '', mimetype: '', ...more });
  const call = (msgId, toolname, toolargs) =>
    message(msgId, 'assistant', '', { hastoolcall: true, toolname, toolargs });
  const result = (msgId, toolname, text) => message(msgId, 'tool', text, { hastoolcall: true, toolname, toolargs: '' });
  const chat = [
    message('U1', 'user', '<!--<script> 종가는? -->', { attached: join(dir, 'pixel.png'), mimetype: 'image/png' }),
    call('C1', 'search_web', JSON.stringify({ query: '`a` <img src=x onerror=alert(1)> `b`' })),
    result('R1', 'search_web', `<!--<script></script><img src=${base}/result>`),
    call('C2', 'draw_stock_chart',
      JSON.stringify({ chartTitle: '</script><b>t</b>', timestamps: '["2026-12-01","2026-12-02"]', prices: '[1, 2]' })),
    result('R2', 'draw_stock_chart', ''),
    message('M1', 'assistant', hostileReply()),
  ];
  const file = join(dir, 'chat.json');
  writeFileSync(file, JSON.stringify(chat));
  return file;
}

test('an exported chat opened as a file fetches nothing and shows what the window showed', async () => {
  const home = mkdtempSync(join(tmpdir(), 'kestrill-export-'));
  const chat = chatFile(home);
  const exported = (name) => {
    execFileSync(process.env.KESTRILL_CLI, ['--chat', chat, '--export', join(home, name)],
      { env: { ...process.env, HOME: home }, stdio: 'pipe' });
    return join(home, name);
  };
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e)));
  await page.addInitScript(() => {
    window.violations = [];
    document.addEventListener('securitypolicyviolation',
      (e) => window.violations.push(`${e.effectiveDirective} ${e.blockedURI}`));
  });
  resetCount();
  await page.goto('file://' + exported('chat.html'));
  await page.waitForSelector('img.export-chart');
  const r = await page.evaluate(() => ({
    title: document.title,
    question: document.querySelector('.user-msg').textContent,
    file: document.querySelector('.file-box').textContent,
    call: document.querySelector('.source-call').textContent,
    result: document.querySelector('.sources pre').textContent,
    chartTitle: document.querySelector('.chart-container strong').textContent,
  }));
  const reply = await page.evaluate(replyShape, '.ai-msg');
  await assertNothingFetched(page);
  assert.deepEqual(r, {
    title: '<!--<script> 종가는? -->', question: '<!--<script> 종가는? -->', file: '📄 pixel.png',
    call: '웹 검색 {"query":"`a` <img src=x onerror=alert(1)> `b`"}',  // the tool by its label
    result: `<!--<script></script><img src=${base}/result>`, chartTitle: '</script><b>t</b>',
  });
  assertReplyShape(reply);
  assert.deepEqual(await page.evaluate(() => window.violations), []);
  assert.deepEqual(errors, []);
  await page.close();

  // The Markdown export read by a Markdown renderer: the call's arguments and its result are
  // code, shown as they are; none of it is markup.
  const { marked } = createRequire(join(process.env.KESTRILL_PAGE_DIR, 'package.json'))('marked');
  const html = marked.parse(readFileSync(exported('chat.md'), 'utf8'));
  assert.ok(html.includes('<code>{&quot;query&quot;:&quot;`a` &lt;img src=x onerror=alert(1)&gt; `b`&quot;}</code>'),
    html);
  assert.ok(html.includes(`&lt;!--&lt;script&gt;&lt;/script&gt;&lt;img src=${base}/result&gt;`), html);
  assert.ok(!html.includes('<img src=x'), html);
});
