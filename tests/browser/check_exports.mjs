// Checks the exports of one snapshot:
//   node check_exports.mjs SPEEDSCOPE.json CHROME.json INSPECT.json OUT_DIR FOLDED PPROF.pb.gz
// INSPECT.json is what 'eptl inspect --json' says of the snapshot.
// - the speedscope file against speedscope's own file-format schema, its
//   samples against its frames, and its counts and hottest method against
//   what inspect found;
// - the chrome file against the Trace Event format's rules: the fields each
//   phase needs, B/E pairs balanced per thread, X slices with durations that
//   nest on their track, async b/e pairs balanced per id, timestamps in
//   microseconds from the snapshot's start (within its time span), and a
//   name for every track;
// - the speedscope, chrome, folded and pprof files opened by speedscope's
//   release build, served from a local port, in headless Chromium: the page
//   must show the profile, with no import error; a screenshot of each goes
//   to OUT_DIR.
// Exits 1 with every failure listed.

import Ajv from 'ajv';
import { chromium } from 'playwright-core';
import { createReadStream, readFileSync, statSync } from 'node:fs';
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import path from 'node:path';

const [speedscopeFile, chromeFile, inspectFile, outDir, foldedFile, pprofFile] = process.argv.slice(2);
if (!pprofFile) {
  console.error('usage: node check_exports.mjs SPEEDSCOPE.json CHROME.json INSPECT.json OUT_DIR FOLDED PPROF.pb.gz');
  process.exit(2);
}
const summary = JSON.parse(readFileSync(inspectFile, 'utf8'));
const spanUs = (summary.last_tick - summary.first_tick) * 1e6 / summary.timer_resolution;
const failures = [];
const fail = (what) => failures.push(what);

const require = createRequire(import.meta.url);
const release = path.join(path.dirname(require.resolve('speedscope/package.json')), 'dist', 'release');

function checkSpeedscope(file) {
  const doc = JSON.parse(readFileSync(file, 'utf8'));
  const schema = JSON.parse(readFileSync(path.join(release, 'file-format-schema.json'), 'utf8'));
  const validate = new Ajv({ allErrors: true, strict: false }).compile(schema);
  if (!validate(doc)) fail(`${file}: not a speedscope file: ${JSON.stringify(validate.errors.slice(0, 5))}`);
  const frames = doc.shared.frames.length;
  if (doc.profiles.length < 1) fail(`${file}: no profile`);
  for (const p of doc.profiles) {
    if (p.type !== 'sampled' || p.unit !== 'milliseconds') fail(`${file}: profile ${p.name} is ${p.type} in ${p.unit}`);
    if (p.samples.length !== p.weights.length) fail(`${file}: profile ${p.name}: ${p.samples.length} samples, ${p.weights.length} weights`);
    const total = p.weights.reduce((a, b) => a + b, 0);
    if (Math.abs(total - (p.endValue - p.startValue)) > 0.01 * Math.max(1, total))
      fail(`${file}: profile ${p.name}: weights add up to ${total}, its range is ${p.endValue - p.startValue}`);
    for (const s of p.samples) {
      if (s.length === 0 || s.some((f) => !Number.isInteger(f) || f < 0 || f >= frames)) {
        fail(`${file}: profile ${p.name}: a sample names no frame of the ${frames}: ${JSON.stringify(s)}`);
        break;
      }
    }
  }
  // The profile of all threads holds every sample of the others, and as
  // many as inspect counts.
  const all = doc.profiles[0];
  const perThread = doc.profiles.slice(1).reduce((n, p) => n + p.samples.length, 0);
  if (all.samples.length !== perThread || all.samples.length !== summary.samples)
    fail(`${file}: ${all.samples.length} samples in all, ${perThread} in the threads, inspect counts ${summary.samples}`);
  // The hottest method by samples at the leaf is the one inspect puts on top.
  if (summary.methods.length > 0) {
    const self = new Map();
    for (const s of all.samples) {
      const leaf = doc.shared.frames[s[s.length - 1]].name;
      self.set(leaf, (self.get(leaf) ?? 0) + 1);
    }
    const top = summary.methods[0];
    if ((self.get(top.name) ?? 0) !== top.exclusive)
      fail(`${file}: ${self.get(top.name)} samples end in ${top.name}, inspect counts ${top.exclusive}`);
  }
  return doc;
}

function checkChrome(file) {
  const doc = JSON.parse(readFileSync(file, 'utf8'));
  const events = doc.traceEvents;
  if (!Array.isArray(events)) {
    fail(`${file}: no traceEvents array`);
    return { doc, slices: 0 };
  }
  const named = new Set();
  const used = new Set();
  const open = new Map();        // pid:tid -> names of the open B events
  const slices = new Map();      // pid:tid -> [ts, end] of its X events
  const asyncOpen = new Map();   // cat:id -> count
  const bad = (e, why) => fail(`${file}: ${why}: ${JSON.stringify(e)}`);
  for (const e of events) {
    if (typeof e.ph !== 'string') { bad(e, 'no phase'); continue; }
    if (e.ph === 'M') {
      if (!['process_name', 'thread_name', 'thread_sort_index', 'process_sort_index'].includes(e.name)) bad(e, 'unknown metadata');
      if (e.name === 'thread_name') named.add(`${e.pid}:${e.tid}`);
      if (!e.args || typeof e.args !== 'object') bad(e, 'metadata without args');
      continue;
    }
    for (const field of ['name', 'cat', 'ts', 'pid', 'tid'])
      if (e[field] === undefined) bad(e, `no ${field}`);
    if (typeof e.ts !== 'number' || !(e.ts >= 0) || e.ts > spanUs) bad(e, `timestamp outside [0, ${spanUs}] us`);
    if (!Number.isInteger(e.pid) || !Number.isInteger(e.tid)) bad(e, 'pid or tid not an integer');
    const track = `${e.pid}:${e.tid}`;
    used.add(track);
    switch (e.ph) {
      case 'X':
        if (typeof e.dur !== 'number' || e.dur < 0) bad(e, 'X without a duration');
        if (e.ts + e.dur > spanUs + 1) bad(e, 'X ends after the snapshot');
        if (!slices.has(track)) slices.set(track, []);
        slices.get(track).push([e.ts, e.ts + e.dur, e]);
        break;
      case 'B':
        if (!open.has(track)) open.set(track, []);
        open.get(track).push(e.name);
        break;
      case 'E': {
        const stack = open.get(track) ?? [];
        if (stack.length === 0) bad(e, 'E without its B');
        else stack.pop();
        break;
      }
      case 'i': case 'I':
        if (!['t', 'p', 'g', undefined].includes(e.s)) bad(e, 'instant of an unknown scope');
        break;
      case 'b': case 'e': {
        if (e.id === undefined) { bad(e, 'async event without an id'); break; }
        const key = `${e.cat}:${e.id}`;
        const n = asyncOpen.get(key) ?? 0;
        if (e.ph === 'e' && n === 0) bad(e, 'async end without its begin');
        asyncOpen.set(key, e.ph === 'b' ? n + 1 : n - 1);
        break;
      }
      default:
        bad(e, 'a phase this exporter does not write');
    }
  }
  for (const [track, stack] of open) if (stack.length) fail(`${file}: ${stack.length} B events of ${track} never end`);
  for (const [key, n] of asyncOpen) if (n !== 0) fail(`${file}: async ${key} begins ${n} more times than it ends`);
  for (const track of used) if (!named.has(track)) fail(`${file}: track ${track} has no thread_name`);
  // On one track a slice lies inside the one it starts in, or after it.
  // Times are rounded to nanoseconds: allow that much.
  for (const [track, list] of slices) {
    list.sort((a, b) => a[0] - b[0] || b[1] - a[1]);
    const ends = [];
    for (const [ts, end, e] of list) {
      while (ends.length && ends[ends.length - 1] <= ts + 0.002) ends.pop();
      if (ends.length && end > ends[ends.length - 1] + 0.002) { bad(e, `overlaps a slice of ${track} without nesting`); break; }
      ends.push(end);
    }
  }
  return { doc, slices: [...slices.values()].reduce((n, l) => n + l.length, 0) + [...open.keys()].length };
}

const launchOptions = {
  executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync',
         '--enable-unsafe-swiftshader'],
};

async function openInSpeedscope(files, empty) {
  const server = createServer((req, res) => {
    const url = new URL(req.url, 'http://localhost');
    let file;
    if (url.pathname.startsWith('/exports/')) file = files[decodeURIComponent(url.pathname.slice(9))];
    else file = path.join(release, path.normalize(url.pathname === '/' ? '/index.html' : url.pathname));
    if (!file || !file.startsWith('/') || !statSync(file, { throwIfNoEntry: false })?.isFile()) {
      res.writeHead(404).end();
      return;
    }
    const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.json': 'application/json',
                    '.wasm': 'application/wasm', '.png': 'image/png' };
    res.writeHead(200, { 'content-type': types[path.extname(file)] ?? 'application/octet-stream' });
    createReadStream(file).pipe(res);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const base = `http://127.0.0.1:${server.address().port}`;
  const browser = await chromium.launch(launchOptions);
  try {
    for (const [name, file] of Object.entries(files)) {
      const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
      const problems = [];
      // A trace with no slices has nothing speedscope can draw, and it says so.
      const expectEmpty = empty.has(name);
      let emptySaid = false;
      page.on('dialog', async (d) => {
        if (expectEmpty && d.message().includes("it's empty")) emptySaid = true;
        else problems.push(`dialog: ${d.message()}`);
        await d.dismiss();
      });
      page.on('pageerror', (err) => problems.push(`page error: ${err.message}`));
      page.on('console', (m) => { if (m.type() === 'error' || m.text().startsWith('Failed')) problems.push(`console ${m.type()}: ${m.text()}`); });
      await page.goto(`${base}/index.html#profileURL=${encodeURIComponent(`${base}/exports/${name}`)}`);
      // speedscope names the page after the profile once it has imported it.
      let shown = false;
      try {
        await page.waitForFunction(() => document.title.endsWith(' - speedscope'), null,
                                   { timeout: expectEmpty ? 3000 : 30000 });
        shown = true;
      } catch { /* reported below */ }
      await page.waitForTimeout(500);
      if (expectEmpty) {
        if (!emptySaid) problems.push('a trace without slices was not reported empty');
        for (const p of problems) fail(`${name} in speedscope: ${p}`);
        console.log(`${name}: no slices, and speedscope says it is empty`);
        await page.close();
        continue;
      }
      const text = await page.evaluate(() => document.body.innerText);
      if (/Something went wrong|Unrecognized format|it's empty/.test(text)) problems.push(`the page says: ${text.slice(0, 200)}`);
      const canvases = await page.evaluate(() => [...document.querySelectorAll('canvas')].filter((c) => c.width > 0 && c.height > 0).length);
      if (canvases === 0) problems.push('no flame graph canvas');
      const shot = path.join(outDir, `${name}.png`);
      await page.screenshot({ path: shot });
      if (!shown) problems.push(`the profile never showed (title: ${await page.title()})`);
      for (const p of problems) fail(`${name} in speedscope: ${p}`);
      console.log(`${name}: ${shown ? 'shown' : 'not shown'} as "${await page.title()}", screenshot ${shot}`);
      await page.close();
    }
  } finally {
    await browser.close();
    server.close();
  }
}

try {
  checkSpeedscope(speedscopeFile);
  const { slices } = checkChrome(chromeFile);
  const files = {
    [path.basename(speedscopeFile)]: path.resolve(speedscopeFile),
    [path.basename(chromeFile)]: path.resolve(chromeFile),
    [path.basename(pprofFile)]: path.resolve(pprofFile),
  };
  // Folded stacks of no sample are an empty file: nothing to import.
  if (summary.samples_managed + summary.samples_native + summary.samples_other_type > 0)
    files[path.basename(foldedFile)] = path.resolve(foldedFile);
  await openInSpeedscope(files, new Set(slices === 0 ? [path.basename(chromeFile)] : []));
} catch (err) {
  fail(`${err.stack ?? err}`);
}
for (const f of failures.slice(0, 50)) console.error(f);
if (failures.length) {
  console.error(`${failures.length} failures`);
  process.exit(1);
}
console.log('exports checked');
