// Assembles the self-contained chat page: the template with marked, DOMPurify, Chart.js and
// highlight.js (the versions pinned in package-lock.json) inlined, so the page works offline and runs no
// code fetched at run time. Each goes in as inert text under an id, and the page runs it when
// it is first needed, so a new window does not wait for them. Writes the page and a C++ source
// that embeds it.
//
//   node build-page.mjs OUT.html OUT.cpp
import { createHash } from 'node:crypto';
import { readFileSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const [outHtml, outCpp] = process.argv.slice(2);
if (!outHtml || !outCpp) {
  console.error('usage: node build-page.mjs OUT.html OUT.cpp');
  process.exit(2);
}

function readPackageFile(path) {
  try {
    return readFileSync(join(here, path), 'utf8');
  } catch (e) {
    console.error(`${path} is missing: run scripts/setup.sh (it installs the page's npm packages)`);
    process.exit(1);
  }
}

// highlight.js comes as CommonJS modules, its core and one per language. The core and the
// languages models write most are joined into one script that leaves the highlighter in
// window.hljs; the rest would only make the page larger for languages a stock chat seldom shows.
const highlightLanguages = ['json', 'python', 'javascript', 'bash', 'sql', 'cpp'];
function highlighterSource() {
  const commonJs = (path) =>
    `(function () {\nvar module = { exports: {} }, exports = module.exports;\n${readPackageFile(path)}\n` +
    'return module.exports;\n})()';
  return '(function () {\nvar hljs = ' + commonJs('node_modules/highlight.js/lib/core.js') + ';\n' +
    highlightLanguages.map((name) => `hljs.registerLanguage('${name}', ` +
      commonJs(`node_modules/highlight.js/lib/languages/${name}.js`) + ');\n').join('') +
    'window.hljs = hljs;\n})();';
}

const libraries = [
  { source: () => readPackageFile('node_modules/marked/lib/marked.umd.js'), id: 'marked-source' },
  { source: () => readPackageFile('node_modules/dompurify/dist/purify.min.js'), id: 'dompurify-source' },
  { source: () => readPackageFile('node_modules/chart.js/dist/chart.umd.min.js'), id: 'chartjs-source' },
  { source: highlighterSource, id: 'highlight-source' },
];

// The page's policy lets only its own scripts run, each named by the hash of its text: the
// template's inline scripts, and each library as ensureLibrary runs it (the element's text).
// Line breaks as the HTML parser leaves them, so that the hashes match what the browser sees.
const scriptHashes = [];
function allowScript(text) {
  if (text.includes('\r') || text.includes('\0')) throw new Error('a script holds CR or NUL');
  scriptHashes.push(`'sha256-${createHash('sha256').update(text, 'utf8').digest('base64')}'`);
}

function inlineScript({ source, id }) {
  const code = source()
    .replace(/\r\n?/g, '\n')
    .replace(/^\/\/# sourceMappingURL=.*$/gm, '')  // no map files next to the page
    .replace(/<\/(script)/gi, '<\\/$1');            // must not close the element early
  const text = `\n${code}\n`;
  allowScript(text);
  return `<script type="text/plain" id="${id}">${text}</script>`;
}

const template = readFileSync(join(here, 'chat_ui.template.html'), 'utf8').replace(/\r\n?/g, '\n');
const marker = '<!--@LIBRARIES@-->';
const hashesMarker = '@SCRIPT_HASHES@';
if (!template.includes(marker)) throw new Error('template lacks ' + marker);
if (!template.includes(hashesMarker)) throw new Error('template lacks ' + hashesMarker);
for (const [, text] of template.matchAll(/<script>([\s\S]*?)<\/script>/g)) allowScript(text);
const page = template
  .replace(marker, () => libraries.map(inlineScript).join('\n'))
  .replace(hashesMarker, () => scriptHashes.join(' '));
writeFileSync(outHtml, page);

// C++: the page as chunks of octal-escaped literals (no compiler limit on any one literal).
const bytes = Buffer.from(page, 'utf8');
const chunkSize = 4096;
let cpp = '// Generated from page/ by build-page.mjs. Do not edit.\n' +
  '#include <cstddef>\n\nnamespace kestrill {\n\nextern const char* const kChatPageChunks[];\n' +
  'extern const std::size_t kChatPageChunkCount;\n\nconst char* const kChatPageChunks[] = {\n';
let count = 0;
for (let start = 0; start < bytes.length; start += chunkSize) {
  let lit = '';
  for (const b of bytes.subarray(start, start + chunkSize)) {
    if (b >= 0x20 && b < 0x7f && b !== 0x22 && b !== 0x5c && b !== 0x3f) lit += String.fromCharCode(b);
    else lit += '\\' + b.toString(8).padStart(3, '0');
    if (lit.length > 100 && (b === 0x0a)) lit += '"\n    "';
  }
  cpp += `    "${lit}",\n`;
  count++;
}
cpp += `};\n\nconst std::size_t kChatPageChunkCount = ${count};\n\n}  // namespace kestrill\n`;
writeFileSync(outCpp, cpp);
