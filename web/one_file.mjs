// Makes the one-file page (movdith.html) from the built site: whatever
// index.html links is put inside it. Module scripts are bundled with their
// imports by esbuild, the WebAssembly module's loader given the wasm as bytes
// (decoded in the page from base64 carried in the bundle), so that it
// fetches nothing; classic scripts, style sheets and images are inlined, and
// the page's Content-Security-Policy becomes one that allows exactly these
// inline scripts and styles, by their hashes, and nothing from anywhere, not
// even a data: URL. Opened from a folder (file://) it asks for nothing.
//   node one_file.mjs SITE OUT
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import * as esbuild from 'esbuild';

const [site, out] = process.argv.slice(2).map((p) => path.resolve(p));
if (!out) {
  console.error('usage: node one_file.mjs SITE OUT');
  process.exit(2);
}

function fail(message) {
  console.error(`one_file.mjs: ${message}`);
  process.exit(1);
}

// Files a page may show as images or icons, as data: URLs.
const DATA_TYPES = { '.png': 'image/png', '.svg': 'image/svg+xml', '.ico': 'image/x-icon', '.jpg': 'image/jpeg',
  '.webp': 'image/webp', '.woff2': 'font/woff2' };

const attribute = (tag, name) => {
  const m = new RegExp(`\\s${name}\\s*=\\s*(?:"([^"]*)"|'([^']*)'|([^\\s>]+))`, 'i').exec(tag);
  return m ? (m[1] ?? m[2] ?? m[3]) : null;
};
const isLocal = (url) => !/^(data:|blob:|#|[a-z][a-z0-9+.-]*:)/i.test(url);
const sitePath = (url) => {
  const file = path.join(site, decodeURIComponent(url.split(/[?#]/)[0]));
  if (!file.startsWith(site + path.sep) || !fs.existsSync(file)) fail(`index.html links ${url}, which the site does not have`);
  return file;
};
const dataUrl = (file) => {
  const type = DATA_TYPES[path.extname(file).toLowerCase()];
  if (!type) fail(`cannot inline ${path.relative(site, file)}: no type known for it`);
  return `data:${type};base64,${fs.readFileSync(file).toString('base64')}`;
};
const sha256 = (text) => `'sha256-${crypto.createHash('sha256').update(text, 'utf8').digest('base64')}'`;

// The site's WebAssembly module (emscripten's loader and movdith.wasm
// beside it), as the bundle takes it: a module in its place calls the
// loader with the wasm's bytes (its wasmBinary option), which then neither
// fetches movdith.wasm nor a data: URL.
const coreModule = path.join(site, 'movdith.mjs');
const coreWasm = path.join(site, 'movdith.wasm');
const INLINE = 'inline-wasm';
const inlineWasmPlugin = {
  name: INLINE,
  setup(build) {
    build.onResolve({ filter: /movdith\.mjs$/ }, (args) => {
      // The replacement's own import is the loader itself.
      if (args.namespace === INLINE) return { path: coreModule };
      return path.resolve(args.resolveDir, args.path) === coreModule ? { path: coreModule, namespace: INLINE } : undefined;
    });
    build.onLoad({ filter: /.*/, namespace: INLINE }, () => {
      if (!fs.existsSync(coreWasm)) fail('the site has no movdith.wasm');
      return {
        resolveDir: site,
        loader: 'js',
        contents: `import create from './movdith.mjs';
const WASM = ${JSON.stringify(fs.readFileSync(coreWasm).toString('base64'))};
export default function createInline(options = {}) {
  const text = atob(WASM);
  const wasmBinary = new Uint8Array(text.length);
  for (let i = 0; i < text.length; ++i) wasmBinary[i] = text.charCodeAt(i);
  return create({ ...options, wasmBinary });
}
`,
      };
    });
  },
};

async function bundle(file, kind) {
  const result = await esbuild.build({
    entryPoints: [file], bundle: true, write: false, format: kind === 'css' ? undefined : 'esm',
    minify: true, keepNames: true, legalComments: 'eof', logLevel: 'silent', plugins: [inlineWasmPlugin],
    loader: Object.fromEntries(Object.keys(DATA_TYPES).map((ext) => [ext, 'dataurl'])),
  });
  if (result.warnings.length) {
    const text = await esbuild.formatMessages(result.warnings, { kind: 'warning' });
    fail(`esbuild warned about ${path.relative(site, file)}:\n${text.join('')}`);
  }
  return result.outputFiles[0].text;
}

// What goes between <script> or <style> tags must not end them early or
// open a comment there.
function checkInline(text, tag, what) {
  if (new RegExp(`</${tag}|<!--`, 'i').test(text)) fail(`${what} holds </${tag} or <!--: it cannot be inlined`);
  return text;
}

const scripts = [];
const styles = [];
let html = fs.readFileSync(path.join(site, 'index.html'), 'utf8');

const replacements = [];
for (const m of html.matchAll(/<script\b([^>]*)>([\s\S]*?)<\/script\s*>/gi)) {
  const [whole, attributes, body] = m;
  const src = attribute(whole, 'src');
  const module = (attribute(whole, 'type') || '').toLowerCase() === 'module';
  let text = body;
  if (src !== null) {
    if (!isLocal(src)) fail(`index.html loads a script from elsewhere: ${src}`);
    if (!module && /\s(defer|async)\b/i.test(attributes)) fail(`the classic script ${src} is deferred: inlined it would run at once`);
    text = module ? await bundle(sitePath(src), 'js') : fs.readFileSync(sitePath(src), 'utf8');
  }
  scripts.push(checkInline(text, 'script', src || 'an inline script'));
  replacements.push([whole, `<script${module ? ' type="module"' : ''}>${text}</script>`]);
}
for (const m of html.matchAll(/<link\b[^>]*>/gi)) {
  const [tag] = m;
  const href = attribute(tag, 'href');
  if (href === null || !isLocal(href)) continue;
  if ((attribute(tag, 'rel') || '').toLowerCase() === 'stylesheet') {
    const css = checkInline(await bundle(sitePath(href), 'css'), 'style', href);
    styles.push(css);
    replacements.push([tag, `<style>${css}</style>`]);
  } else {
    replacements.push([tag, tag.replace(href, dataUrl(sitePath(href)))]);
  }
}
for (const m of html.matchAll(/<(img|source)\b[^>]*>/gi)) {
  const [tag] = m;
  const src = attribute(tag, 'src');
  if (src !== null && isLocal(src)) replacements.push([tag, tag.replace(src, dataUrl(sitePath(src)))]);
}
for (const [from, to] of replacements) html = html.replace(from, () => to);
const left = /<(?!a\b)[a-z]+\b[^>]*\s(src|href)\s*=\s*["']?(?!data:|blob:|#|https?:)[^"'\s>]+/i.exec(
  html.replace(/<(script|style)\b[^>]*>[\s\S]*?<\/\1>/gi, ''));
if (left) fail(`index.html still links a file the one file cannot hold: ${left[0]}`);

// The served page's policy, without 'self' (there is no server: nothing may
// be fetched at all, connect-src is 'none'), with the inline scripts and
// styles allowed by their hashes.
const policyTag = /<meta\s+http-equiv="Content-Security-Policy"\s+content="([^"]*)"\s*>/i.exec(html);
if (!policyTag) fail('index.html has no Content-Security-Policy');
const directives = new Map(policyTag[1].split(';').map((d) => d.trim()).filter(Boolean).map((d) => {
  const [name, ...sources] = d.split(/\s+/);
  return [name, sources.filter((s) => s !== "'self'" && s !== "'none'")];
}));
const fallback = directives.get('default-src') || [];
for (const name of ['script-src', 'style-src', 'connect-src']) if (!directives.has(name)) directives.set(name, [...fallback]);
directives.get('script-src').push(...new Set(scripts.map(sha256)));
directives.get('style-src').push(...new Set(styles.map(sha256)));
for (const [name, sources] of directives) {
  if (sources.some((s) => /^'unsafe-(inline|eval)'$/.test(s))) fail(`the policy's ${name} allows ${sources.join(' ')}`);
}
const policy = [...directives].map(([name, sources]) => `${name} ${sources.length ? sources.join(' ') : "'none'"}`).join('; ');
html = html.replace(policyTag[0], () => `<meta http-equiv="Content-Security-Policy" content="${policy}">`);

// The licences of what the site ships (npm's mp4box), which travel with it.
const licences = fs.readdirSync(site, { recursive: true }).filter((f) => /(^|\/)LICEN[CS]E[^/]*$/.test(f)).sort();
if (licences.length) {
  const text = licences.map((f) => `${path.dirname(f)}:\n${fs.readFileSync(path.join(site, f), 'utf8')}`).join('\n');
  if (text.includes('--')) fail('a licence holds "--", which cannot go in an HTML comment');
  html = html.replace(/<\/html>\s*$/i, () => `</html>\n<!-- The licences of the libraries inside this page.\n\n${text}-->\n`);
}

fs.mkdirSync(path.dirname(out), { recursive: true });
fs.writeFileSync(out, html);
