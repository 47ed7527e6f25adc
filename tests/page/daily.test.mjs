// The chat as it is used every day: a streamed reply followed only while the reader is at the
// bottom, the turn's lines finished when it ends and the typing dots last while it runs, code
// coloured without the network, quotes set apart, Korean tooltips and tool labels, starter
// questions in an empty chat and a retry for a question that was not sent.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { bridgeScripts, launch, openPage, restingScroll } from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser?.close(); });

const enc = (text) => encodeURIComponent(text).replace(/%20/g, '+');
const frames = (page) => page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
const lines = (from, count) => Array.from({ length: count }, (_, i) => `${from + i}번째 줄입니다.`).join('\n\n');

// Where the view rests, and whether the way back to the newest line is offered.
async function view(page) {
  await restingScroll(page);
  return page.evaluate(() => {
    const button = document.getElementById('latest-button');
    const root = document.documentElement;
    return { y: window.scrollY, atBottom: root.scrollHeight - root.clientHeight - window.scrollY <= 1,
             button: !!button && !button.hidden && button.getBoundingClientRect().height > 0,
             label: button?.textContent ?? null };
  });
}

// A chat tall enough to scroll, a turn running and a reply streaming in.
async function startStream(page, count) {
  await page.evaluate((q) => { for (let i = 0; i < 6; i++) appendChat(true, 'Q' + i, q); showLoading(); }, enc('질문입니다'));
  for (let n = 10; n <= count; n += 10) {
    await page.evaluate((t) => updateLiveReply(t), enc(lines(1, n)));
    await frames(page);
  }
}

async function scrollUp(page) {
  await page.mouse.move(450, 300);
  await page.mouse.wheel(0, -400);
  return view(page);
}

test('a reader who scrolls up while a reply streams stays there; "↓ 최신" goes back and follows again', async () => {
  const { page, errors } = await openPage(browser, { width: 900, height: 600 });
  await startStream(page, 30);
  let v = await view(page);
  assert.equal(v.atBottom, true, JSON.stringify(v));
  assert.equal(v.button, false);

  const up = await scrollUp(page);
  assert.equal(up.atBottom, false, JSON.stringify(up));
  assert.equal(up.button, true);
  assert.equal(up.label, '↓ 최신');
  for (const n of [40, 50, 60]) {
    await page.evaluate((t) => updateLiveReply(t), enc(lines(1, n)));
    await frames(page);
  }
  v = await view(page);
  assert.equal(v.y, up.y, 'the reply grew and the view stayed where the reader left it');
  assert.equal(v.button, true);

  await page.click('#latest-button');
  v = await view(page);
  assert.equal(v.atBottom, true, JSON.stringify(v));
  assert.equal(v.button, false);
  for (const n of [70, 80]) {
    await page.evaluate((t) => updateLiveReply(t), enc(lines(1, n)));
    await frames(page);
  }
  v = await view(page);
  assert.equal(v.atBottom, true, 'following again: the newest lines are in view');
  assert.deepEqual(errors, []);
  await page.close();
});

test('the finished reply keeps the view where the reader is; only a reply arriving whole is shown from its top', async () => {
  // [streamed first, reader scrolled up, where the view ends]
  const cases = [
    [true, false, 'bottom'],
    [true, true, 'unmoved'],
    [false, false, 'reply top'],
  ];
  for (const [streamed, scrolled, expected] of cases) {
    const { page, errors } = await openPage(browser, { width: 900, height: 600 });
    const reply = '## 긴 답\n\n' + lines(1, 60);
    if (streamed) {
      await startStream(page, 60);
    } else {
      await page.evaluate((q) => { for (let i = 0; i < 6; i++) appendChat(true, 'Q' + i, q); showLoading(); }, enc('질문입니다'));
    }
    const before = scrolled ? await scrollUp(page) : await view(page);
    // As the program ends a turn: each call on its own.
    await page.evaluate(() => removeLiveReply());
    await page.evaluate(() => removeLoading());
    for (const s of bridgeScripts([{ text: reply, isUser: false, id: 'A1' }])) await page.evaluate(s);
    const v = await view(page);
    const drawn = await page.evaluate(() => ({
      top: document.querySelector('[data-msg-id="A1"]').getBoundingClientRect().top,
      live: document.querySelectorAll('#live-reply, .live-gap').length,
      last: [...document.body.children].pop().dataset.msgId,
    }));
    const what = JSON.stringify({ streamed, scrolled, before, v, drawn });
    assert.deepEqual([drawn.live, drawn.last], [0, 'A1'], what);
    if (expected === 'bottom') assert.equal(v.atBottom, true, what);
    if (expected === 'unmoved') assert.equal(v.y, before.y, what);
    if (expected === 'reply top') assert.ok(drawn.top >= 0 && drawn.top <= 20, what);
    assert.deepEqual(errors, []);
    await page.close();
  }
});

test('a turn\'s end finishes its running lines, done or stopped, and takes the typing dots away', async () => {
  const program = [
    { text: '🛠️ [get_yahoo_price] 실행 중...', isUser: false, id: 'C1' },
    { text: '🛠️ [search_web] 실행 중...', isUser: false, id: 'C2' },
    { text: '🔍 웹 검색 중: "삼성전자 실적"', isUser: false, id: '' },
    { text: '💻 터미널 실행: dir', isUser: false, id: '' },
    { text: 'OpenAI 에러: 잘못된 키', isUser: false, id: '' },
    { text: '분석 중입니다', isUser: false, id: 'M1' },
  ];
  // [stopped, each line's text and end state afterwards]
  const cases = [
    [false, [['🛠️ [야후 시세] 완료', 'done'], ['🛠️ [웹 검색] 완료', 'done'], ['🔍 웹 검색 완료: "삼성전자 실적"', 'done'],
             ['💻 터미널 실행: dir', ''], ['OpenAI 에러: 잘못된 키', ''], ['분석 중입니다\n', '']]],
    [true, [['🛠️ [야후 시세] 중지됨', 'stopped'], ['🛠️ [웹 검색] 완료', 'done'], ['🔍 웹 검색 중지됨: "삼성전자 실적"', 'stopped'],
            ['💻 터미널 실행: dir', ''], ['OpenAI 에러: 잘못된 키', ''], ['분석 중입니다\n', '']]],
  ];
  for (const [stopped, expected] of cases) {
    const { page, errors } = await openPage(browser);
    await page.evaluate(() => showLoading());
    for (const s of bridgeScripts(program)) await page.evaluate(s);
    await page.evaluate((t) => markToolDone('C2', t), enc('🛠️ [search_web] 완료'));
    const running = await page.evaluate(() => getComputedStyle(document.querySelector('.status-msg')).borderTopStyle);
    await page.evaluate((s) => endTurnLines(s), stopped);
    await page.evaluate((s) => endTurnLines(!s), stopped);  // a line ends once
    const r = await page.evaluate(() => ({
      lines: [...document.querySelectorAll('.msg')].map((m) => [m.textContent,
        m.classList.contains('status-stopped') ? 'stopped' : m.classList.contains('status-done') ? 'done' : '']),
      border: getComputedStyle(document.querySelector('.status-msg')).borderTopStyle,
      tooltip: document.querySelector('[data-msg-id="C1"] .tool-label').title,
      dots: document.querySelectorAll('#loading-wrap').length,
    }));
    assert.deepEqual(r.lines, expected, `stopped: ${stopped}`);
    assert.deepEqual([running, r.border], ['dashed', 'solid']);  // no longer looks under way
    assert.equal(r.tooltip, 'get_yahoo_price');
    assert.equal(r.dots, 0);
    assert.deepEqual(errors, []);
    await page.close();
  }
});

test('while a turn runs the typing dots stay last, whatever is drawn', async () => {
  const { page, errors } = await openPage(browser);
  const png = 'iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==';
  await page.evaluate((q) => { appendChat(true, 'U1', q); showLoading(); }, enc('삼성전자 차트'));
  const steps = [
    ['tool line', () => appendChat(false, 'C1', encodeURIComponent('🛠️ [draw_stock_chart] 실행 중...'))],
    ['chart', () => appendChart('삼성전자', '[1,2]', '[3,4]')],
    ['status line', () => appendChat(false, '', encodeURIComponent('🔍 웹 검색 중: "x"'))],
    ['live reply', () => updateLiveReply('**부분**')],
    ['finished reply', () => { removeLiveReply(); appendChat(false, 'A1', '%EB%8B%B5'); }],
    ['sources', () => appendSources('A1', JSON.stringify([{ tool: 'get_krx_price', args: '{}', result: 'r', time: '' }]))],
    ['file', () => appendFileMessage('model', 'a.pdf')],
    ['image', (data) => appendImageMessage('model', 'image/png', data)],
  ];
  const order = [];
  for (const [name, step] of steps) {
    await page.evaluate(`(${step})(${JSON.stringify(png)})`);
    await frames(page);
    const last = await page.evaluate(() => [...document.body.children].pop().id);
    order.push([name, last]);
  }
  assert.deepEqual(order, steps.map(([name]) => [name, 'loading-wrap']));
  const drawn = await page.evaluate(() => [...document.body.children].filter((e) => e.tagName !== 'SCRIPT')
    .map((e) => (e.id ? '#' + e.id : e.dataset.msgId ?? e.className)));
  assert.deepEqual(drawn, ['U1', 'C1', 'msg-row row-model', '', 'A1', 'sources', 'msg-row row-model',
                           'msg-row row-model', '#loading-wrap']);
  assert.deepEqual(errors, []);
  await page.close();
});

test('code is coloured by its language from the page itself; quotes are set apart', async () => {
  const { page, errors, requests } = await openPage(browser);
  await page.evaluate(() => {
    window.violations = [];
    document.addEventListener('securitypolicyviolation', (e) => window.violations.push(e.effectiveDirective));
  });
  // [language as the model names it, code, token kinds it must show]
  const cases = [
    ['python', 'def f(x):\n    return x + 1  # 하나 더\n', ['hljs-keyword', 'hljs-comment', 'hljs-number']],
    ['json', '{"price": 71500, "ok": true}\n', ['hljs-attr', 'hljs-number', 'hljs-literal']],
    ['js', 'const x = await load("/a");\n', ['hljs-keyword', 'hljs-string']],
    ['bash', 'echo "hi" | grep h\n', ['hljs-built_in', 'hljs-string']],
    ['sql', 'SELECT name FROM stocks WHERE price > 100;\n', ['hljs-keyword', 'hljs-number']],
    ['cpp', 'int main() { return 0; }\n', ['hljs-type', 'hljs-keyword', 'hljs-number']],
    ['', 'import pandas as pd\ndf = pd.read_csv("a.csv")\nprint(df.head())\n', ['hljs-keyword', 'hljs-string']],
    ['yaml', 'a: <b>1</b>\n', []],               // a language the page lacks stays plain
    ['', '삼성전자 71,500원\n거래량 1,234\n', []],  // so does text that reads as no code
  ];
  const before = await page.evaluate(() => { appendChat(false, 'M0', '**%EC%BD%94%EB%93%9C** %EC%97%86%EC%9D%8C'); return typeof window.hljs; });
  const reply = cases.map(([lang, code]) => '```' + lang + '\n' + code + '```').join('\n\n') +
    '\n\n> 투자 권유가 아니며, 판단은 본인의 몫입니다.';
  await page.evaluate((t) => appendChat(false, 'M1', t), enc(reply));
  const r = await page.evaluate(() => ({
    blocks: [...document.querySelectorAll('[data-msg-id="M1"] pre code')].map((c) => ({
      text: c.textContent, kinds: [...new Set([...c.querySelectorAll('span')].flatMap((s) => [...s.classList]))],
      markup: c.querySelectorAll('b').length })),
    keyword: getComputedStyle(document.querySelector('.hljs-keyword')).color,
    plain: getComputedStyle(document.querySelector('pre code')).color,
    quote: (() => { const q = document.querySelector('[data-msg-id="M1"] blockquote'); const st = getComputedStyle(q);
      return { text: q.textContent.trim(), border: `${st.borderLeftWidth} ${st.borderLeftStyle} ${st.borderLeftColor}`,
               color: st.color, paddingLeft: st.paddingLeft }; })(),
  }));
  assert.equal(before, 'undefined');  // run when first needed
  assert.deepEqual(r.blocks.map((b) => b.text), cases.map(([, code]) => code));
  for (const [i, [lang, , kinds]] of cases.entries()) {
    for (const kind of kinds) assert.ok(r.blocks[i].kinds.includes(kind), `${lang}: ${kind} in ${r.blocks[i].kinds}`);
    if (!kinds.length) assert.deepEqual(r.blocks[i].kinds, [], lang);
    assert.equal(r.blocks[i].markup, 0);
  }
  assert.notEqual(r.keyword, r.plain);
  assert.deepEqual(r.quote, { text: '투자 권유가 아니며, 판단은 본인의 몫입니다.', border: '3px solid rgb(199, 199, 204)',
                              color: 'rgb(110, 110, 115)', paddingLeft: '12px' });
  // A streaming reply is coloured as well.
  await page.evaluate((t) => updateLiveReply(t), enc('```python\nimport os\n'));
  await page.waitForSelector('#live-reply .hljs-keyword');
  await page.waitForTimeout(300);
  assert.deepEqual(requests.filter((u) => !u.startsWith('file:')), []);
  assert.deepEqual(await page.evaluate(() => window.violations), []);
  assert.deepEqual(errors, []);
  await page.close();
});

test('the action icons say 편집 and 삭제, and showing them moves no bubble', async () => {
  const { page } = await openPage(browser);
  await page.evaluate(() => { appendChat(true, 'U1', '%EC%A7%88%EB%AC%B8'); appendChat(false, 'M1', '%EB%8B%B5'); });
  const rects = () => page.evaluate(() => [...document.querySelectorAll('.msg')].map((m) => {
    const b = m.getBoundingClientRect();
    return [b.left, b.top, b.width, b.height];
  }));
  const still = await rects();
  for (const id of ['U1', 'M1']) {
    await page.hover(`[data-msg-id="${id}"] .msg`);
    const shown = await page.evaluate((id) => [...document.querySelectorAll(`[data-msg-id="${id}"] .action-menu span`)]
      .map((s) => [s.title, getComputedStyle(s).visibility]), id);
    assert.deepEqual(shown, [['편집', 'visible'], ['삭제', 'visible']], id);
    assert.deepEqual(await rects(), still, id);
  }
  await page.close();
});

test('tools are named by Korean labels, with the identifier as tooltip', async () => {
  const { page } = await openPage(browser);
  // Every tool the program has, and one it may add later.
  const tools = [
    ['get_yahoo_price', '야후 시세'], ['get_yahoo_finance', '야후 재무'], ['get_financials', '야후 재무'],
    ['get_dart_financials', 'DART 재무'], ['search_dart_disclosures', 'DART 공시'], ['get_krx_price', 'KRX 시세'],
    ['get_index_price', 'KRX 시세'], ['get_daishin_price', '증권사 시세'], ['get_daishin_investor', '증권사 시세'],
    ['search_web', '웹 검색'], ['execute_cmd', '명령 실행'], ['draw_stock_chart', '차트'], ['new_tool', 'new_tool'],
  ];
  for (const s of bridgeScripts([...tools.map(([id], i) => ({ text: `🛠️ [${id}] 실행 중...`, isUser: false, id: 'C' + i })),
                                 { text: '답입니다.', isUser: false, id: 'A1' }]))
    await page.evaluate(s);
  await page.evaluate((json) => appendSources('A1', json),
    JSON.stringify(tools.map(([id]) => ({ tool: id, args: '{}', result: '', time: '' }))));
  const r = await page.evaluate((count) => {
    const named = (el) => { const label = el.querySelector('.tool-label'); return label ? [label.textContent, label.title] : null; };
    return {
      lines: Array.from({ length: count }, (_, i) => {
        const m = document.querySelector(`[data-msg-id="C${i}"] .msg`);
        return [m.textContent, named(m)];
      }),
      calls: [...document.querySelectorAll('.source-call')].map((c) => [c.textContent, named(c)]),
      summary: document.querySelector('.sources summary').textContent,
      summaryTips: [...document.querySelectorAll('.sources summary .tool-label')].map((s) => [s.textContent, s.title]),
    };
  }, tools.length);
  assert.deepEqual(r.lines, tools.map(([id, label]) => [`🛠️ [${label}] 실행 중...`, id === label ? null : [label, id]]));
  assert.deepEqual(r.calls, tools.map(([id, label]) => [`${label} {}`, id === label ? null : [label, id]]));
  assert.equal(r.summary, '출처: 야후 시세, 야후 재무, DART 재무, DART 공시, KRX 시세, 증권사 시세, 웹 검색, 명령 실행, 차트, new_tool');
  assert.deepEqual(r.summaryTips.slice(1, 2), [['야후 재무', 'get_yahoo_finance, get_financials']]);  // a label once, both named
  await page.close();
});

test('an empty chat offers starter questions that send themselves and go when the chat begins', async () => {
  const questions = ['삼성전자 최근 한 달 주가와 차트', 'SK하이닉스 2023년 실적 요약', '코스피 오늘 시황', '애플과 마이크로소프트 PER 비교'];
  const { page, requests, errors } = await openPage(browser);
  await page.evaluate(() => { showStarters(); showStarters(); });
  const r = await page.evaluate(() => {
    const box = document.querySelector('.starter-list').getBoundingClientRect();
    return {
      blocks: document.querySelectorAll('#starters').length,
      chips: [...document.querySelectorAll('.starter-chip')].map((c) => c.textContent),
      note: document.querySelector('.starter-note').textContent,
      noteColor: getComputedStyle(document.querySelector('.starter-note')).color,
      centre: [(box.left + box.right) / 2 - innerWidth / 2, (box.top + box.bottom) / 2 - innerHeight / 2],
    };
  });
  assert.equal(r.blocks, 1);
  assert.deepEqual(r.chips, questions);
  assert.equal(r.note, '챗봇 모드는 대화만, 에이전트 모드는 주가·공시·검색 도구를 써서 답합니다.');
  assert.equal(r.noteColor, 'rgb(142, 142, 147)');
  assert.ok(Math.abs(r.centre[0]) < 20 && Math.abs(r.centre[1]) < 80, JSON.stringify(r.centre));
  await page.click(`.starter-chip:text-is("${questions[2]}")`);
  await page.waitForTimeout(200);
  assert.deepEqual(requests.filter((u) => u.startsWith('chatui:')), ['chatui://prompt/' + encodeURIComponent(questions[2])]);
  assert.equal(await page.locator('#starters').count(), 1);  // the page stays until the program answers

  // [what takes them away: the first thing drawn, or the chat cleared; shown when asked again]
  const ends = [
    ['appendChat(true, "U1", "q")', 0],  // a chat with something in it gets none
    ['appendFileMessage("user", "a.pdf")', 0],
    ['clearChat()', 1],
    ['document.body.innerHTML = ""', 1],  // as the program clears the page to draw a chat anew
  ];
  for (const [end, again] of ends) {
    const left = await page.evaluate(`clearChat(); showStarters(); ${end};
      const gone = document.querySelectorAll('#starters').length;
      showStarters();
      [gone, document.querySelectorAll('#starters').length]`);
    assert.deepEqual(left, [0, again], end);
  }
  assert.deepEqual(errors, []);
  await page.close();
});

test('a question that was not sent offers 다시 시도, which asks the program to send it again', async () => {
  const { page, requests } = await openPage(browser);
  await page.evaluate(() => {
    appendChat(true, 'U1', 'first');
    appendChat(true, 'U-2', 'second');
    markNotSent('U-2');
    markNotSent('U-2');
  });
  const r = await page.evaluate(() => {
    const wrap = document.querySelector('[data-msg-id="U-2"]');
    const box = (sel) => wrap.querySelector(sel).getBoundingClientRect();
    return { links: [...document.querySelectorAll('.retry-link')].map((l) => l.textContent),
             order: box('.not-sent-label').right <= box('.retry-link').left && box('.retry-link').right <= box('.user-msg').left };
  });
  assert.deepEqual(r, { links: ['다시 시도'], order: true });
  await page.click('.retry-link');
  await page.waitForTimeout(200);
  assert.deepEqual(requests.filter((u) => u.startsWith('chatui:')), ['chatui://retry/U-2']);
  await page.close();
});
