// A chat exported as HTML by the program and opened as a file: texts that quote HTML (a script's
// end, a comment's start) neither break the page's script nor run, every message is shown once,
// and a reader with scripts off still reads the whole conversation.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { launch } from './harness.mjs';

const questions = [
  '</script><!--<script>alert(1)</script> ]]> \u2028 끝',
  '<!-- 여기서부터 주석\r\n두 번째 줄 </script>',
];
const code = '<!-- x --></script><script>alert(2)</script>';
const answers = [
  '답입니다:\n\n```html\n' + code + '\n```\n\n`<!--` 그리고 \u2029 끝',
  '<script>alert(3)</script><img src=x onerror=alert(4)> ]]> 마지막',
];
const toolResult = '<!--</script><script>alert(5)</script>';
const chartTitle = '</script><!--차트';

let browser, file;
before(async () => {
  browser = await launch();
  const home = mkdtempSync(join(tmpdir(), 'kestrill-export-'));
  const message = (msgId, role, text, more = {}) => ({ msgId, role, text, attached: '', mimetype: '', ...more });
  const call = (msgId, toolname, toolargs) =>
    message(msgId, 'assistant', '', { hastoolcall: true, toolname, toolargs });
  const result = (msgId, toolname, text) => message(msgId, 'tool', text, { hastoolcall: true, toolname, toolargs: '' });
  const chat = [
    message('U1', 'user', questions[0]),
    call('C1', 'search_web', JSON.stringify({ query: '</script>' })),
    result('R1', 'search_web', toolResult),
    call('C2', 'draw_stock_chart',
      JSON.stringify({ chartTitle, timestamps: '["2026-12-01","2026-12-02"]', prices: '[1, 2]' })),
    result('R2', 'draw_stock_chart', ''),
    message('M1', 'assistant', answers[0]),
    message('U2', 'user', questions[1]),
    message('M2', 'model', answers[1]),
  ];
  writeFileSync(join(home, 'chat.json'), JSON.stringify(chat));
  file = join(home, 'chat.html');
  execFileSync(process.env.KESTRILL_CLI, ['--chat', join(home, 'chat.json'), '--export', file],
    { env: { ...process.env, HOME: home }, stdio: 'pipe' });
});
after(async () => { await browser?.close(); });

const asShown = (text) => text.replace(/\r\n?/g, '\n');

test('with scripts on, the exported chat draws every message once and runs nothing from it', async () => {
  const page = await browser.newPage();
  const errors = [], dialogs = [];
  page.on('pageerror', (e) => errors.push(String(e)));
  page.on('dialog', (d) => { dialogs.push(d.message()); d.dismiss(); });
  await page.goto('file://' + file);
  await page.waitForSelector('img.export-chart');
  const r = await page.evaluate((code) => ({
    plain: document.getElementById('export-static') !== null,
    bubbles: [...document.querySelectorAll('.msg-container')].map((w) => w.dataset.msgId),
    questions: [...document.querySelectorAll('.user-msg')].map((m) => m.innerText),
    code: document.querySelector('[data-msg-id="M1"] pre code')?.textContent,
    codeShown: document.body.innerText.split(code).length - 1,
    last: document.querySelector('[data-msg-id="M2"] .msg').textContent,
    result: document.querySelector('.sources pre')?.textContent,
    chartTitle: document.querySelector('.chart-container strong')?.textContent,
    charts: document.querySelectorAll('.chart-container').length,
  }), code);
  await page.waitForTimeout(300);
  assert.deepEqual(r, {
    plain: false,
    bubbles: ['U1', 'M1', 'U2', 'M2'],
    questions: questions.map(asShown),
    code: code + '\n',
    codeShown: 1,
    last: ' ]]> 마지막',  // the reply's own markup is dropped by the page's sanitiser, as in the window
    result: toolResult,
    chartTitle,
    charts: 1,
  });
  assert.deepEqual(dialogs, []);
  assert.deepEqual(errors, []);
  await page.close();
});

test('with scripts off, the exported chat still shows every message as text', async () => {
  const context = await browser.newContext({ javaScriptEnabled: false });
  const page = await context.newPage();
  const dialogs = [];
  page.on('dialog', (d) => { dialogs.push(d.message()); d.dismiss(); });
  await page.goto('file://' + file);
  const texts = (selector) => page.locator(selector).allTextContents();
  assert.deepEqual(await texts('.user-wrap .user-msg'), questions.map(asShown));
  assert.deepEqual(await texts('.ai-wrap .ai-msg'), answers.map(asShown));
  assert.deepEqual(await texts('.sources pre'), [toolResult]);
  assert.deepEqual(await texts('.chart-container strong'), [chartTitle]);
  assert.deepEqual(await texts('.chart-container td'), ['2026-12-01', '1', '2026-12-02', '2']);
  assert.equal(await page.title(), asShown(questions[0]));
  // Shown, not only present: the plain copy is what a reader without scripts sees.
  assert.ok(await page.locator('.user-wrap .user-msg').first().isVisible());
  assert.ok(await page.locator('.ai-wrap .ai-msg').last().isVisible());
  assert.deepEqual(dialogs, []);
  await context.close();
});
