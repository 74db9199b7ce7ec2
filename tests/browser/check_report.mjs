// Opens eptl's HTML report of each snapshot in headless Chromium, with every
// request but the file itself refused:
//   node check_report.mjs EPTL OUT_DIR SNAPSHOT...   (the report is SNAPSHOT.html)
// - it loads with no request refused and no console error;
// - the hottest method inspect finds is in the page's text;
// - a click on a frame of the flame graph zooms into it: the frame spans
//   the graph;
// - a stretch selected on the timeline gives the flame graph the CPU
//   samples that inspect --from --to counts in it, and the page the
//   selection's bounds;
// - a screenshot goes to OUT_DIR.
// Exits 1 with every failure listed.

import { chromium } from 'playwright-core';
import { execFileSync } from 'node:child_process';
import path from 'node:path';

const [eptl, outDir, ...snapshots] = process.argv.slice(2);
if (snapshots.length === 0) {
  console.error('usage: node check_report.mjs EPTL OUT_DIR SNAPSHOT...');
  process.exit(2);
}
const failures = [];
const inspect = (snapshot, ...range) =>
  JSON.parse(execFileSync(eptl, ['inspect', '--json', snapshot, ...range], { encoding: 'utf8' }));

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
  args: ['--no-sandbox'],
});
try {
  for (const snapshot of snapshots) {
    const name = path.basename(snapshot, '.dtt');
    const fail = (what) => failures.push(`${name}: ${what}`);
    const page = await browser.newPage({ viewport: { width: 1400, height: 1000 } });
    const refused = [];
    await page.route('**/*', (route) => {
      if (route.request().url().startsWith('file:')) return route.continue();
      refused.push(route.request().url());
      return route.abort();
    });
    page.on('console', (m) => { if (m.type() === 'error') fail(`console error: ${m.text()}`); });
    page.on('pageerror', (e) => fail(`script error: ${e.message}`));
    const started = Date.now();
    await page.goto('file://' + path.resolve(snapshot + '.html'), { waitUntil: 'load' });
    await page.waitForSelector('#exclusive tr');
    const rendered = Date.now() - started;
    if (refused.length) fail(`asked the network for ${refused.join(', ')}`);

    const whole = inspect(snapshot);
    const text = await page.evaluate(() => document.body.innerText);
    if (whole.methods.length && !text.includes(whole.methods[0].name))
      fail(`the hottest method ${whole.methods[0].name} is not in the page's text`);
    if (!text.includes(`samples: ${whole.samples} `)) fail(`the summary does not count ${whole.samples} samples`);

    const onCpu = (s) => s.samples - s.samples_waiting;
    const total = async () => Number(await page.$eval('#total', (e) => e.dataset.count));
    if ((await total()) !== onCpu(whole)) fail(`the flame graph counts ${await total()} CPU samples, inspect ${onCpu(whole)}`);

    if (onCpu(whole) > 0) {
      // The widest frame of the second row (else the first): after a
      // click it spans the graph.
      const target = await page.$$eval('#flame .f', (frames) => {
        const widest = (top) => frames.filter((f) => f.style.top === top).sort((a, b) => b.offsetWidth - a.offsetWidth)[0];
        return (widest('18px') ?? widest('0px'))?.dataset.node ?? null;
      });
      if (target === null) {
        fail('the flame graph shows no frame');
      } else {
        await page.click(`#flame .f[data-node="${target}"]`);
        const [width, box] = await page.$eval(`#flame .f[data-node="${target}"]`,
          (f) => [f.offsetWidth, f.parentElement.clientWidth]);
        if (Math.abs(width - box) > 1) fail(`a clicked frame is ${width} px wide in a graph of ${box} px`);
      }

      // Drag across the middle half of the timeline.
      const canvas = await page.$('#timeline');
      const b = await canvas.boundingBox();
      const labels = 220, plot = b.width - labels - 8;
      await page.mouse.move(b.x + labels + plot * 0.25, b.y + 30);
      await page.mouse.down();
      await page.mouse.move(b.x + labels + plot * 0.5, b.y + 30);
      await page.mouse.move(b.x + labels + plot * 0.75, b.y + 30);
      await page.mouse.up();
      const [from, to] = await page.$eval('#selection', (e) => [e.dataset.fromS, e.dataset.toS]);
      const part = inspect(snapshot, '--from', from, '--to', to);
      const shown = await total();
      if (!(Number(to) > Number(from)) || Number(to) * 1000 >= (whole.last_tick - whole.first_tick) * 1000 / whole.timer_resolution)
        fail(`the selection ${from}-${to} s is not inside the snapshot`);
      if (shown !== onCpu(part)) fail(`from ${from} to ${to} s the flame graph counts ${shown} CPU samples, inspect ${onCpu(part)}`);
      console.log(`${name}: ${onCpu(whole)} CPU samples, ${shown} from ${from} to ${to} s`);
    }
    const shot = path.join(outDir, `${name}.report.png`);
    await page.screenshot({ path: shot, fullPage: true });
    console.log(`${name}: report rendered in ${rendered} ms, screenshot ${shot}`);
    await page.close();
  }
} finally {
  await browser.close();
}
if (failures.length) {
  console.error(failures.join('\n'));
  process.exit(1);
}
