// A reopened chat drawn as one replay: every message's text is in the page at once, the answers
// where the view opens are drawn as Markdown at once, the others as they come near the view or
// while the page is idle, figure marks reach an answer drawn late, and leaving the chat ends the
// work that was still waiting.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { bridgeScripts, launch, openPage } from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser?.close(); });

// A status line first, then questions and Markdown answers, each holding a mark of its own:
// many more bubbles than the screens a replay draws before the view opens.
const kBubbles = 240;
const mark = (i) => `표식-${i}-끝`;
function chat() {
  const messages = [{ text: '🔍 웹 검색 중: "삼성전자"', isUser: false, id: '' }];
  for (let i = 1; i <= kBubbles; i++) {
    messages.push(i % 2
      ? { text: `질문 ${mark(i)}: 실적은?`, isUser: true, id: `Q${i}` }
      : { text: `## 답 ${i}\r\n\r\n매출은 **${i},000원**이고 ${mark(i)}입니다.\r\n\r\n| 구분 | 값 |\r\n|---|---:|\r\n| 매출 | ${i} |`,
          isUser: false, id: `A${i}` });
  }
  return messages;
}
const kAnswers = kBubbles / 2;

// The sources and figure marks of the oldest answer, the one farthest from where the view opens.
const kFigures = [{ text: '2,000원', status: 'backed', source: 'get_krx_price · 종가' }];
const kSummary = '수치 확인: 1개 중 1개 일치';
const figureScripts = () => [
  `appendSources("A2", ${JSON.stringify(JSON.stringify([{ tool: 'get_krx_price', args: '{}', result: '2000', time: '' }]))});`,
  `markFigures("A2", ${JSON.stringify(JSON.stringify(kFigures))}, ${JSON.stringify(kSummary)});`,
];

// The page calls of a reopened chat as the bridge sends them: one evaluation between
// beginReplay() and endReplay() (the bridge also guards each call on its own).
const replayScript = () => 'beginReplay();\n' +
  ['document.body.innerHTML = "";', ...bridgeScripts(chat()), ...figureScripts()].join('\n') + '\nendReplay();\n';
// Replays the chat; look runs right after, in the same task, before anything idle or observed.
const replay = (page, look = () => null) => page.evaluate(`${replayScript()}(${look})()`);

const oldestAnswer = '[data-msg-id="A2"] .msg';
const figureMarks = () => [...document.querySelectorAll('[data-msg-id="A2"] .fig')]
  .map((m) => [m.className, m.textContent, m.title, m.parentNode.tagName]);

test('after a replay every message is in the page and the answers in view are drawn', async () => {
  const { page, errors } = await openPage(browser);
  const seen = await replay(page, () => {
    const boxes = [...document.querySelectorAll('.msg')];
    const inView = (box) => {
      const r = box.parentNode.getBoundingClientRect();
      return r.bottom > 0 && r.top < window.innerHeight;
    };
    const answers = boxes.filter((b) => b.parentNode.dataset.msgId.startsWith('A'));
    const all = getSelection();
    all.selectAllChildren(document.body);
    const copied = all.toString();
    all.removeAllRanges();
    return {
      texts: boxes.map((b) => b.textContent),
      status: boxes[0].className,
      atBottom: nearBottom(),
      inViewDrawn: answers.filter(inView).map((b) => !b.classList.contains('md-held') && !!b.querySelector('strong')),
      lastDrawn: !answers[answers.length - 1].classList.contains('md-held'),
      oldestHeld: document.querySelector('[data-msg-id="A2"] .msg').classList.contains('md-held'),
      held: answers.filter((b) => b.classList.contains('md-held')).length,
      copied,
      found: window.find('표식-2-끝'),  // last: it scrolls to what it finds
    };
  });
  assert.deepEqual(errors, []);
  assert.equal(seen.texts.length, kBubbles + 1);
  for (let i = 1; i <= kBubbles; i++) {
    assert.ok(seen.texts[i].includes(mark(i)), `bubble ${i}: ${seen.texts[i]}`);
    assert.ok(seen.copied.includes(mark(i)), `copied ${i}`);
  }
  // The oldest answer waits, as written, and is found all the same.
  assert.equal(seen.oldestHeld, true);
  assert.equal(seen.texts[2], '## 답 2\n\n매출은 **2,000원**이고 표식-2-끝입니다.\n\n| 구분 | 값 |\n|---|---:|\n| 매출 | 2 |');
  assert.equal(seen.found, true);
  assert.ok(seen.held > kAnswers / 2, `${seen.held} answers wait`);
  // The program's own line is drawn at once, as a status line.
  assert.equal(seen.status, 'msg ai-msg notice-msg status-msg');
  // The view opens at the bottom, on answers drawn as Markdown.
  assert.equal(seen.atBottom, true);
  assert.equal(seen.lastDrawn, true);
  assert.ok(seen.inViewDrawn.length >= 2, `${seen.inViewDrawn.length} answers in view`);
  assert.deepEqual(seen.inViewDrawn, seen.inViewDrawn.map(() => true));
  await page.close();
});

test('the answers left waiting are drawn as they come near the view or while the page is idle', async () => {
  for (const way of ['scrolled near', 'idle']) {
    const { page, errors } = await openPage(browser);
    // Scrolled near: with no idle time at all, only the view's coming near can draw them.
    if (way === 'scrolled near')
      await page.evaluate(() => { window.requestIdleCallback = () => 1; window.cancelIdleCallback = () => {}; });
    const atOnce = await replay(page, () => ({
      held: document.querySelector('[data-msg-id="A2"] .msg').classList.contains('md-held'),
      marks: document.querySelectorAll('.fig').length,
      summary: document.querySelector('[data-msg-id="A2"] + .sources summary').textContent,
    }));
    // The sources and the summary are there at once; the marks wait for the Markdown.
    assert.deepEqual(atOnce, { held: true, marks: 0, summary: '출처: KRX 시세 · 수치 확인: 1개 중 1개 일치' }, way);
    if (way === 'scrolled near') await page.evaluate(() => window.scrollTo(0, 0));
    await page.waitForFunction((sel) => !document.querySelector(sel).classList.contains('md-held'), oldestAnswer);
    const later = await page.evaluate(`({
      marks: (${figureMarks})(),
      table: document.querySelectorAll('${oldestAnswer} .table-wrap table').length,
      held: document.querySelectorAll('.md-held').length,
      atBottom: nearBottom(),
    })`);
    assert.deepEqual(errors, [], way);
    assert.deepEqual(later.marks, [['fig fig-backed', '2,000원', 'get_krx_price · 종가', 'STRONG']], way);
    assert.equal(later.table, 1, way);
    if (way === 'scrolled near') {
      assert.ok(later.held > 0, 'answers far from the view still wait');
    } else {
      // Drawn while the reader stays at the bottom, which does not move.
      await page.waitForFunction(() => !document.querySelector('.md-held'));
      assert.equal(await page.evaluate(() => nearBottom()), true);
    }
    await page.close();
  }
});

test('leaving a chat while its answers wait leaves nothing behind', async () => {
  // [how the chat is left, then what is drawn]: the program's clear, the page's clear, and the
  // same chat drawn again (a message edited) before the first drawing ended.
  const live = bridgeScripts([{ text: '새 질문', isUser: true, id: 'Q1' }, { text: '새 답은 **2,000원**', isUser: false, id: 'A2' }]);
  const cases = [
    ['document.body.innerHTML = "";', live, 2],
    ['clearChat();', live, 2],
    ['', null, kBubbles + 1],
  ];
  for (const [clear, next, bubbles] of cases) {
    const { page, errors } = await openPage(browser);
    // Left in the same task as it was drawn, while all but the last screens wait; every Markdown
    // drawing from then on is counted.
    const count = 'window.drawn = 0; var draw = renderMarkdown;\n' +
      'renderMarkdown = function (text, box) { window.drawn++; return draw(text, box); };\n';
    await page.evaluate(replayScript() + count + (clear || replayScript()) + '\n' + (next ?? []).join('\n'));
    // Two idle periods and two frames: what waited before would have run in the first.
    await page.evaluate(() => new Promise((done) => requestIdleCallback(() => requestIdleCallback(
      () => requestAnimationFrame(() => requestAnimationFrame(done))))));
    if (!next) await page.waitForFunction(() => !document.querySelector('.md-held'));
    const after = await page.evaluate(`({
      bubbles: document.querySelectorAll('.msg').length,
      held: document.querySelectorAll('.md-held').length,
      drawn: window.drawn,
      marks: (${figureMarks})().length,
    })`);
    assert.deepEqual(errors, [], clear);
    // Each answer on the page drawn once, none of those that left, and the marks asked for the
    // answer that left did not land on the new one of the same id (drawn again: once, not twice).
    assert.deepEqual(after, { bubbles, held: 0, drawn: next ? 1 : kAnswers, marks: next ? 0 : 1 }, clear);
    await page.close();
  }
});
