// The figure marks of an agent answer: found in the drawn text (never in code), wrapped as they
// stand so tables, bold and links stay as drawn, with their tooltips and the count at the head of
// the sources; hostile text in an answer still runs nothing.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { bridgeScripts, launch, openPage } from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser?.close(); });

test('figures are marked in the text, never in code, and the Markdown stays as drawn', async () => {
  const { page, errors } = await openPage(browser);
  const answer = '현재가는 **80,500원**입니다.\n\n| 항목 | 값 |\n|---|---:|\n| 목표가 | 95,000원 |\n\n' +
    '`95,000원`은 코드입니다.\n\n```\n95,000원\n```\n\n<img src=x onerror="window.ran=1"> [링크](https://example.com) 95,000원';
  for (const s of bridgeScripts([{ text: answer, isUser: false, id: 'A1' }])) await page.evaluate(s);
  await page.evaluate(() => appendSources('A1', JSON.stringify([{ tool: 'get_yahoo_price', args: '{}', result: '80500', time: '' }])));
  const figures = [
    { text: '80,500원', status: 'backed', source: 'get_yahoo_price · regularMarketPrice' },
    { text: '95,000원', status: 'unbacked', source: '' },
    { text: '95,000원', status: 'unbacked', source: '' },
  ];
  await page.evaluate((f) => markFigures('A1', JSON.stringify(f), '수치 확인: 3개 중 1개 일치 · 2개 확인 안 됨'), figures);
  // Asked twice (a redraw), marked once.
  await page.evaluate((f) => markFigures('A1', JSON.stringify(f), '수치 확인: 3개 중 1개 일치 · 2개 확인 안 됨'), figures);
  const drawn = await page.evaluate(() => ({
    marks: [...document.querySelectorAll('.fig')].map((m) => [m.className, m.textContent, m.title, m.parentNode.tagName]),
    table: document.querySelectorAll('table tr').length,
    code: [...document.querySelectorAll('code')].map((c) => c.innerHTML),
    link: document.querySelector('.msg a')?.textContent,
    summary: document.querySelector('.sources summary').textContent,
    ran: window.ran,
  }));
  assert.deepEqual(errors, []);
  assert.deepEqual(drawn.marks, [
    ['fig fig-backed', '80,500원', 'get_yahoo_price · regularMarketPrice', 'STRONG'],
    ['fig fig-unbacked', '95,000원', '도구 결과에서 확인되지 않은 수치입니다.', 'TD'],
    ['fig fig-unbacked', '95,000원', '도구 결과에서 확인되지 않은 수치입니다.', 'P'],
  ]);
  assert.equal(drawn.table, 2);
  assert.deepEqual(drawn.code, ['95,000원', '95,000원\n']);  // code is never marked
  assert.equal(drawn.link, '링크');
  assert.equal(drawn.summary, '출처: 야후 시세 · 수치 확인: 3개 중 1개 일치 · 2개 확인 안 됨');
  assert.equal(drawn.ran, undefined);
  // The unbacked figure is underlined in the warning colour.
  const style = await page.evaluate(() => {
    const st = getComputedStyle(document.querySelector('.fig-unbacked'));
    return [st.textDecorationLine, st.textDecorationStyle];
  });
  assert.deepEqual(style, ['underline', 'dotted']);
});
