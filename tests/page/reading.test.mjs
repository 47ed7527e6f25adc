// The page as it reads: the program's own lines apart from the answers, Korean broken between
// words, tables aligned and outlined, where a new reply is scrolled to, the tool line finished,
// the libraries run only when first needed.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { bridgeScripts, launch, openPage, restingScroll } from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser?.close(); });

const enc = (text) => encodeURIComponent(text).replace(/%20/g, '+');

test('status and error lines are drawn apart from answers', async () => {
  const { page, errors } = await openPage(browser);
  // [id, text, how it is drawn]: the line the bridge makes for a reply, a status or an error.
  const cases = [
    ['', 'OpenAI 에러: Incorrect API key provided', 'error'],
    ['', '[get_yahoo_price] 도구 실행 중 오류가 발생했습니다: 404', 'error'],
    ['', '응답을 처리할 수 없습니다: **x**', 'error'],
    ['', 'Ollama 통신 에러: refused\r\nOllama가 실행 중인지 확인하세요.', 'error'],
    ['', '🔍 웹 검색 중: "삼성전자"', 'status'],
    ['', '💻 터미널 실행: dir', 'status'],
    ['', '중지되었습니다.', 'status'],
    ['C1', '🛠️ [draw_stock_chart] 실행 중...', 'status', '🛠️ [차트] 실행 중...'],  // the tool by its label
    ['M1', 'OpenAI 에러: Incorrect API key provided', 'error'],  // a chatbot failure in the reply's place
    ['M2', '네트워크 통신 에러: Timeout was reached', 'error'],
    ['M3', '오류: 응답을 받지 못했습니다.', 'error'],
    ['M4', '통신 에러: Could not resolve host', 'error'],
    ['M5', '## 분석\n\n오류: 없음. OpenAI 에러: 라는 말은 인용입니다.', 'answer'],
    ['M6', '🔍 분석 결과 **상승** 추세입니다.', 'answer'],
    ['M7', '🛠️ 도구 설명입니다.', 'answer'],
  ];
  for (const s of bridgeScripts(cases.map(([id, text]) => ({ text, isUser: false, id }))))
    await page.evaluate(s);
  for (const s of bridgeScripts([{ text: 'OpenAI 에러: 내가 쓴 글', isUser: true, id: 'U1' }]))
    await page.evaluate(s);
  const drawn = await page.evaluate(() => [...document.querySelectorAll('.msg')].map((m) => {
    const st = getComputedStyle(m);
    return { cls: m.className, text: m.textContent, bold: !!m.querySelector('strong'),
             bg: st.backgroundColor, border: st.borderTopStyle + ' ' + st.borderTopColor, color: st.color };
  }));
  assert.deepEqual(errors, []);
  const user = drawn.pop();
  assert.equal(user.cls, 'msg user-msg');
  const kinds = { error: 'msg ai-msg notice-msg error-msg', status: 'msg ai-msg notice-msg status-msg', answer: 'msg ai-msg' };
  assert.deepEqual(drawn.map((d) => d.cls), cases.map(([, , kind]) => kinds[kind]));
  for (const [i, [, text, kind, shown]] of cases.entries()) {
    const d = drawn[i];
    if (kind === 'answer') {
      assert.deepEqual([d.bg, d.border], ['rgb(242, 242, 247)', 'none rgb(0, 0, 0)'], text);
      continue;
    }
    // The program's own text, as it is: no Markdown, line breaks kept.
    assert.equal(d.text, shown ?? text.replace(/\r\n/g, '\n'));
    assert.equal(d.bold, false);
    if (kind === 'error') {
      assert.equal(d.border, 'solid rgb(229, 72, 77)', text);
      assert.notEqual(d.bg, 'rgb(242, 242, 247)');
    } else {
      assert.equal(d.border, 'dashed rgb(199, 199, 204)', text);
      assert.equal(d.bg, 'rgba(0, 0, 0, 0)');
      assert.equal(d.color, 'rgb(110, 110, 115)');
    }
  }
  assert.equal(drawn[12].bold, false);
  assert.equal(drawn[13].bold, true);  // an answer is still Markdown
  await page.close();
});

test('the tool line says when its tool has returned', async () => {
  const { page } = await openPage(browser);
  const r = await page.evaluate(([running, other, done]) => {
    appendChat(false, 'C1', running);
    appendChat(false, 'C2', other);
    markToolDone('C1', done);
    markToolDone('nobody', done);  // a line that is gone changes nothing
    return [...document.querySelectorAll('.msg')].map((m) => [m.textContent, m.className]);
  }, [enc('🛠️ [draw_stock_chart] 실행 중...'), enc('🛠️ [get_yahoo_price] 실행 중...'),
      enc('🛠️ [draw_stock_chart] 완료')]);
  assert.deepEqual(r, [
    ['🛠️ [차트] 완료', 'msg ai-msg notice-msg status-msg status-done'],
    ['🛠️ [야후 시세] 실행 중...', 'msg ai-msg notice-msg status-msg'],
  ]);
  await page.close();
});

test('Korean breaks between words; an unbroken run breaks anywhere', async () => {
  const { page } = await openPage(browser, { width: 360, height: 700 });
  const words = '삼성전자 SK하이닉스 현대자동차 셀트리온 카카오뱅크 한국전력공사 '.repeat(6).trim();
  const long = 'https://example.com/' + 'a'.repeat(300);
  const r = await page.evaluate(([t, l]) => {
    appendChat(false, 'M1', t);
    appendChat(true, 'U1', t);
    appendChat(false, 'M2', l);
    const [reply, user, url] = document.querySelectorAll('.msg');
    // Every word on one line: a range over it has a single box.
    const split = (msg) => {
      const walker = document.createTreeWalker(msg, NodeFilter.SHOW_TEXT);
      let out = 0;
      for (let node = walker.nextNode(); node; node = walker.nextNode()) {
        const re = /\S+/g;
        for (let m = re.exec(node.data); m; m = re.exec(node.data)) {
          const range = document.createRange();
          range.setStart(node, m.index);
          range.setEnd(node, m.index + m[0].length);
          if (range.getClientRects().length !== 1) out++;
        }
      }
      return out;
    };
    const lines = (msg) => Math.round(msg.getBoundingClientRect().height / parseFloat(getComputedStyle(msg).lineHeight));
    return { replySplit: split(reply), userSplit: split(user), replyLines: lines(reply), userLines: lines(user),
             urlFits: url.scrollWidth <= url.clientWidth, urlLines: lines(url) };
  }, [enc(words), enc(long)]);
  assert.equal(r.replySplit, 0);
  assert.equal(r.userSplit, 0);
  assert.ok(r.replyLines > 3 && r.userLines > 3, JSON.stringify(r));  // it did wrap
  assert.ok(r.urlFits && r.urlLines > 3, JSON.stringify(r));
  await page.close();
});

// The colour of the page's pixel at (x, y), read from a screenshot.
async function pixels(page, points) {
  const png = (await page.screenshot()).toString('base64');
  return page.evaluate(async ([data, pts]) => {
    const img = new Image();
    img.src = 'data:image/png;base64,' + data;
    await img.decode();
    const c = document.createElement('canvas');
    c.width = img.width;
    c.height = img.height;
    const g = c.getContext('2d');
    g.drawImage(img, 0, 0);
    return pts.map(([x, y]) => [...g.getImageData(Math.round(x), Math.round(y), 1, 1).data.slice(0, 3)]);
  }, [png, points]);
}

test('tables keep their column alignment and their whole outline', async () => {
  const { page, errors } = await openPage(browser);
  await page.evaluate((t) => appendChat(false, 'M', t),
    enc('| 종목 | 현재가 | 등락 | 비고 |\n|:---|---:|:---:|---|\n| 삼성전자 | 80,900 | +0.5% | 보합 |\n| SK하이닉스 | 182,000 | -1.2% | 하락 |'));
  await page.waitForFunction(() => window.scrollY === document.body.scrollHeight - innerHeight || document.body.scrollHeight <= innerHeight);
  const r = await page.evaluate(() => {
    const align = (sel) => [...document.querySelectorAll(sel)].map((c) => getComputedStyle(c).textAlign);
    const frame = document.querySelector('.msg .table-wrap');
    const box = frame.getBoundingClientRect();
    const st = getComputedStyle(frame);
    return { head: align('th'), row: align('tbody tr:first-child td'),
             frame: [st.borderTopWidth, st.borderTopStyle, st.borderTopColor, st.borderTopLeftRadius],
             box: [box.left, box.top, box.right, box.bottom] };
  });
  assert.deepEqual(errors, []);
  assert.deepEqual(r.head, ['left', 'right', 'center', 'center']);
  assert.deepEqual(r.row, ['left', 'right', 'center', 'center']);
  assert.deepEqual(r.frame, ['1px', 'solid', 'rgb(221, 221, 221)', '8px']);
  // The outline is drawn on all four sides: the middle of each edge is the border's grey.
  const [l, t, rt, b] = r.box;
  const grey = await pixels(page, [[(l + rt) / 2, t], [(l + rt) / 2, b - 1], [l, (t + b) / 2], [rt - 1, (t + b) / 2]]);
  for (const p of grey) assert.ok(p.every((v) => v > 200 && v < 235), JSON.stringify(grey));
  await page.close();
});

test('a long reply is shown from its first line, a short one at the bottom', async () => {
  const { page } = await openPage(browser, { width: 900, height: 600 });
  const long = '## 긴 답\n\n' + Array.from({ length: 60 }, (_, i) => `${i + 1}번째 줄입니다.`).join('\n\n');
  const at = async (script, arg) => {
    await page.evaluate(script, arg);
    await restingScroll(page);
    return page.evaluate(() => {
      const last = [...document.querySelectorAll('.msg-container')].pop().getBoundingClientRect();
      return { lastTop: last.top, atBottom: Math.abs(window.scrollY + innerHeight - document.body.scrollHeight) <= 1,
               y: window.scrollY, h: document.body.scrollHeight, de: document.documentElement.scrollHeight, ih: innerHeight };
    });
  };
  for (let i = 0; i < 8; i++) await page.evaluate((t) => appendChat(true, 'Q', t), enc('질문'));
  let r = await at((t) => appendChat(false, 'S1', t), enc('짧은 답입니다.'));
  assert.equal(r.atBottom, true, JSON.stringify(r));
  r = await at((t) => appendChat(false, 'L1', t), enc(long));
  assert.equal(r.atBottom, false);
  assert.ok(r.lastTop >= 0 && r.lastTop <= 20, JSON.stringify(r));  // its heading is in view
  r = await at((t) => appendChat(true, 'U2', t), enc('다음 질문'));
  assert.equal(r.atBottom, true);
  r = await at((t) => appendChat(false, '', t), enc(long.replace('## 긴 답', '중지되었습니다.')));
  assert.equal(r.atBottom, true);  // the program's own lines keep to the bottom
  await page.close();
});

test('each library is run when first needed, from the page itself', async () => {
  const { page, requests, errors } = await openPage(browser);
  const r = await page.evaluate(() => {
    const loaded = () => [typeof window.marked, typeof window.DOMPurify, typeof window.Chart].join();
    const scripts = () => document.head.querySelectorAll('script').length;
    const atStart = loaded();
    appendChat(true, 'U', 'q');
    const afterQuestion = loaded();
    appendChat(false, 'M', '**a**');
    const afterReply = loaded();
    appendChart('a', '[1,2]', '[3,4]');
    const afterChart = loaded();
    const count = scripts();
    clearChat();  // the sources are not in the body
    appendChat(false, 'M2', '**b**');
    appendChart('b', '[1]', '[5]');
    return { atStart, afterQuestion, afterReply, afterChart, runOnce: scripts() === count,
             drawn: !!Chart.getChart(document.querySelector('canvas')),
             bold: document.querySelector('.ai-msg strong').textContent };
  });
  assert.deepEqual(errors, []);
  assert.deepEqual(r, {
    atStart: 'undefined,undefined,undefined', afterQuestion: 'undefined,undefined,undefined',
    afterReply: 'object,function,undefined', afterChart: 'object,function,function',
    runOnce: true, drawn: true, bold: 'b' });
  assert.deepEqual(requests.filter((u) => !u.startsWith('file:')), []);
  await page.close();
});
