// Assembles the self-contained chat page: the template with marked, DOMPurify and Chart.js
// (the versions pinned in package-lock.json) inlined, so the page works offline and runs no
// code fetched at run time. Each goes in as inert text under an id, and the page runs it when
// it is first needed, so a new window does not wait for them. Writes the page and a C++ source
// that embeds it.
//
//   node build-page.mjs OUT.html OUT.cpp
import { readFileSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const [outHtml, outCpp] = process.argv.slice(2);
if (!outHtml || !outCpp) {
  console.error('usage: node build-page.mjs OUT.html OUT.cpp');
  process.exit(2);
}

const libraries = [
  { path: 'node_modules/marked/lib/marked.umd.js', id: 'marked-source' },
  { path: 'node_modules/dompurify/dist/purify.min.js', id: 'dompurify-source' },
  { path: 'node_modules/chart.js/dist/chart.umd.min.js', id: 'chartjs-source' },
];

function inlineScript({ path, id }) {
  let code;
  try {
    code = readFileSync(join(here, path), 'utf8');
  } catch (e) {
    console.error(`${path} is missing: run scripts/setup.sh (it installs the page's npm packages)`);
    process.exit(1);
  }
  code = code
    .replace(/^\/\/# sourceMappingURL=.*$/gm, '')  // no map files next to the page
    .replace(/<\/(script)/gi, '<\\/$1');            // must not close the element early
  return `<script type="text/plain" id="${id}">\n${code}\n</script>`;
}

const template = readFileSync(join(here, 'chat_ui.template.html'), 'utf8');
const marker = '<!--@LIBRARIES@-->';
if (!template.includes(marker)) throw new Error('template lacks ' + marker);
const page = template.replace(marker, () => libraries.map(inlineScript).join('\n'));
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
