// Where an answer came from, folded under it; a reply growing while it streams in; the first-
// start note drawn as the program's own line.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { bridgeScripts, launch, openPage } from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser?.close(); });

const enc = (text) => encodeURIComponent(text).replace(/%20/g, '+');

test('sources fold under their answer and show each tool, its time and its result', async () => {
  const { page, errors, requests } = await openPage(browser);
  for (const s of bridgeScripts([
    { text: '종가는?', isUser: true, id: 'U1' },
    { text: '**71,500원**입니다.', isUser: false, id: 'A1' },
    { text: '다른 답', isUser: false, id: 'A2' },
  ])) await page.evaluate(s);
  const sources = [
    { tool: 'get_krx_price', args: '{"stock_code":"005930"}', result: '[삼성전자] 종가: 71500원\r\n<b>x</b>', time: '15:07:12' },
    { tool: 'search_dart_disclosures', args: '{}', result: '', time: '' },
    { tool: 'get_krx_price', args: '{"stock_code":"000660"}', result: '[SK하이닉스]', time: '' },
  ];
  await page.evaluate(([json]) => appendSources('A1', json), [JSON.stringify(sources)]);
  await page.evaluate(([json]) => appendSources('A1', json), [JSON.stringify(sources)]);  // again: replaced
  await page.evaluate(() => appendSources('nobody', '[{"tool":"x","args":"","result":"","time":""}]'));
  const drawn = await page.evaluate(() => {
    const boxes = [...document.querySelectorAll('details.sources')];
    const box = boxes[0];
    return {
      count: boxes.length,
      after: box.previousElementSibling.dataset.msgId,
      open: box.open,
      summary: box.querySelector('summary').textContent,
      calls: [...box.querySelectorAll('.source-call')].map((c) => c.textContent),
      results: [...box.querySelectorAll('pre')].map((p) => p.textContent),
      markup: box.querySelectorAll('b').length,
    };
  });
  assert.deepEqual(errors, []);
  assert.deepEqual(drawn, {
    count: 1,
    after: 'A1',
    open: false,
    summary: '출처: KRX 시세, DART 공시',
    calls: ['KRX 시세 {"stock_code":"005930"}15:07:12', 'DART 공시 {}',
            'KRX 시세 {"stock_code":"000660"}'],
    results: ['[삼성전자] 종가: 71500원\r\n<b>x</b>', '[SK하이닉스]'],
    markup: 0,
  });
  assert.deepEqual(requests.filter((u) => !u.startsWith('file:')), []);
});

test('a live reply grows in one bubble and goes when the finished reply is drawn', async () => {
  const { page, errors } = await openPage(browser);
  await page.evaluate(() => showLoading());
  for (const piece of ['삼성', '삼성전자 **종가**', '삼성전자 **종가**는 71,500원'])
    await page.evaluate(([t]) => updateLiveReply(t), [enc(piece)]);
  await page.waitForFunction(() => document.querySelector('#live-reply strong'));
  const live = await page.evaluate(() => ({
    bubbles: document.querySelectorAll('#live-reply').length,
    html: document.querySelector('#live-reply .msg').innerHTML,
  }));
  assert.equal(live.bubbles, 1);
  assert.equal(live.html, '<p>삼성전자 <strong>종가</strong>는 71,500원</p>\n');
  await page.evaluate(() => { removeLiveReply(); removeLoading(); });
  for (const s of bridgeScripts([{ text: '삼성전자 **종가**는 71,500원입니다.', isUser: false, id: 'A1' }]))
    await page.evaluate(s);
  await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
  const after = await page.evaluate(() => ({
    live: document.querySelectorAll('#live-reply').length,
    replies: [...document.querySelectorAll('.ai-msg')].map((m) => m.textContent),
  }));
  assert.deepEqual(errors, []);
  assert.deepEqual(after, { live: 0, replies: ['삼성전자 종가는 71,500원입니다.\n'] });
});

test('the first-start note is a muted line of the program, not an error', async () => {
  const { page } = await openPage(browser);
  for (const s of bridgeScripts([{ text: '💡 AI 모델을 쓰려면 키를 넣으세요.', isUser: false, id: '' }]))
    await page.evaluate(s);
  const cls = await page.evaluate(() => document.querySelector('.msg').className);
  assert.equal(cls, 'msg ai-msg notice-msg status-msg');
});
