// Shared set-up of the page tests: the page exactly as the program writes it, opened in Debian's
// Chromium through playwright-core.
import { execFileSync } from 'node:child_process';
import { mkdtempSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const pageDir = process.env.KESTRILL_PAGE_DIR;
const cli = process.env.KESTRILL_CLI;
const scriptsTool = process.env.KESTRILL_PAGE_SCRIPTS;
if (!pageDir || !cli || !scriptsTool)
  throw new Error('run through ctest: KESTRILL_PAGE_DIR, KESTRILL_CLI and KESTRILL_PAGE_SCRIPTS are needed');

const { chromium } = createRequire(join(pageDir, 'package.json'))('playwright-core');

export const pageFile = join(mkdtempSync(join(tmpdir(), 'kestrill-page-')), 'chat_ui.html');
execFileSync(cli, ['--write-page', pageFile]);

export async function launch() {
  return chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}

// A fresh page; every request it makes is recorded (the chatui:// links show up there).
export async function openPage(browser, viewport = { width: 900, height: 700 }) {
  const page = await browser.newPage({ viewport });
  const requests = [];
  page.on('request', (r) => requests.push(r.url()));
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e)));
  await page.goto('file://' + pageFile);
  return { page, requests, errors };
}

// The scripts the C++ view bridge makes for these messages ({text, file, isUser, id}).
export function bridgeScripts(messages) {
  return JSON.parse(execFileSync(scriptsTool, { input: JSON.stringify(messages) }).toString('utf8'));
}

// Waits until the window has stayed at one scroll position for ten frames running (a smooth
// scroll is over) and returns it.
export async function restingScroll(page) {
  return page.evaluate(() => new Promise((done) => {
    let last = -1, still = 0;
    const look = () => {
      still = window.scrollY === last ? still + 1 : 0;
      last = window.scrollY;
      if (still >= 10) done(last); else requestAnimationFrame(look);
    };
    requestAnimationFrame(look);
  }));
}
