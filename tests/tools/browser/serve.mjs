// Drives vdcatalog serve's page in Debian's chromium: search, drawing to scale, an edit that survives a
// reload, a hostile name shown as text, and a screenshot. Prints the times it measures.
// Usage: node serve.mjs URL SCREENSHOT_DIR PLAYWRIGHT_CORE_DIR
import { createRequire } from "node:module";
import assert from "node:assert/strict";

const [url, shots, modules] = process.argv.slice(2);
const { chromium } = createRequire(modules + "/")("playwright-core");
const HOSTILE = process.env.HOSTILE_NAME;

const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
                                        args: ["--no-sandbox", "--disable-gpu"] });
let passed = 0, failed = 0;
async function step(name, body) {
  try {
    await body();
    passed++;
    console.log(`ok: ${name}`);
  } catch (e) {
    failed++;
    console.log(`FAILED: ${name}: ${e.message}`);
  }
}

try {
  const page = await browser.newPage({ viewport: { width: 1200, height: 800 } });
  page.on("dialog", (d) => d.accept());
  await page.goto(url);
  await page.waitForSelector("body[data-ready]");
  const shown = (family) => page.waitForFunction(
    (f) => document.querySelector('[data-role="family-table"]') && document.querySelector("main h2")?.textContent === f,
    family);
  // Times an action on the page's own clock, from the event that starts it (a click, a submission, a change of
  // address) until `selector` is in the page with the text `text` (any text when null), seen as the page changes.
  // The test tool's own round trips (a key press, polling) come on top of it; both are printed.
  const timed = async (action, selector, text) => {
    await page.evaluate(([sel, want]) => {
      window.vdStart = window.vdDone = undefined;
      const ready = () => { const e = document.querySelector(sel); return e && (want === null || e.textContent.startsWith(want)); };
      for (const type of ["click", "submit", "hashchange"])
        addEventListener(type, () => { window.vdStart ??= performance.now(); }, { once: true, capture: true });
      new MutationObserver((m, o) => { if (ready()) { window.vdDone = performance.now(); o.disconnect(); } })
        .observe(document.body, { childList: true, subtree: true, characterData: true });
    }, [selector, text]);
    const t0 = Date.now();
    await action();
    await page.waitForFunction(() => window.vdDone !== undefined);
    const outer = Date.now() - t0;
    return `${Math.round(await page.evaluate(() => window.vdDone - window.vdStart))} ms in the page (${outer} ms with the test tool)`;
  };

  await step("the family list shows every family", async () => {
    const families = await page.$$eval('[data-role="family-list"] li[data-family]', (l) => l.map((e) => e.dataset.family));
    assert.ok(families.includes("HEB") && families.includes("BIG"), families.join());
  });

  await step("the first page of a 100,000-row family", async () => {
    const first = await timed(() => page.evaluate(() => {
      window.vdStart = performance.now();
      location.hash = "#/family/0/BIG";
    }), '[data-role="range"]', "1–");
    await shown("BIG");
    assert.match(await page.textContent('[data-role="range"]'), /^1–50 of 100000$/);
    const next = await timed(() => page.click('[data-role="next"]'), '[data-role="range"]', "51–");
    console.log(`timing: first page of 100000 rows ${first}; next page ${next}`);
    // Sorted by a number column, descending.
    await page.click('button[data-sort="h"]');
    await page.waitForFunction(() => document.querySelector('button[data-sort="h"]')?.textContent.endsWith("▲"));
    await page.click('button[data-sort="h"]');
    await page.waitForFunction(() => document.querySelector('button[data-sort="h"]')?.textContent.endsWith("▼"));
    const top = await page.textContent('[data-role="family-table"] tbody tr td');
    assert.equal(top, "BIG 100000");
  });

  await step('search "heb 300" and see it drawn to scale', async () => {
    await page.fill('[data-role="search"]', "heb 300");
    const asked = [];
    const seen = (r) => asked.push(new URL(r.url()).pathname);
    page.on("request", seen);
    const took = await timed(() => page.press('[data-role="search"]', "Enter"), '[data-role="section-drawing"]', null);
    await page.waitForFunction(() => document.querySelector('[data-role="pattern-name"]')?.textContent === "HEB 300" &&
                               document.querySelector('[data-role="section-drawing"]'));
    console.log(`timing: search (search, pattern and drawing) ${took}`);
    // One request draws it; the history follows.
    await page.waitForFunction(() => document.querySelector('[data-role="history"] tr[data-change]'));
    page.off("request", seen);
    assert.deepEqual(asked, ["/api/search", "/api/history"]);
    assert.match(await page.evaluate(() => location.hash), /^#\/pattern\/0\/HEB\/HEB%20300$/);
    const d = await page.evaluate(() => {
      const svg = document.querySelector('[data-role="section-drawing"]');
      const box = svg.querySelector('[data-part="outline"]').getBoundingClientRect();
      const value = (n) => Number(document.querySelector(`[data-role="param-${n}"]`).value);
      return { shape: svg.dataset.shape, scale: Number(svg.dataset.scale), width: box.width, height: box.height,
               h: value("h"), b: value("b") };
    });
    assert.equal(d.shape, "i");
    assert.ok(Math.abs(d.width - d.b * d.scale) < 1, `width ${d.width} for b ${d.b} at ${d.scale} px/mm`);
    assert.ok(Math.abs(d.height - d.h * d.scale) < 1, `height ${d.height} for h ${d.h} at ${d.scale} px/mm`);
    await page.screenshot({ path: `${shots}/heb-300.png`, fullPage: true });
  });

  await step("an alias finds its pattern, which says so and lists its aliases", async () => {
    await page.fill('[data-role="search"]', "he 300 b");
    await page.press('[data-role="search"]', "Enter");
    await page.waitForFunction(() => document.querySelector('[data-role="found-as"]'));
    assert.equal(await page.textContent('[data-role="pattern-name"]'), "HEB 300");
    assert.equal(await page.textContent('[data-role="found-as"]'), "(alias HE 300 B)");
    assert.match(await page.textContent('[data-role="aliases"]'), /HE 300 B/);
    // Back leads to the pattern as the search before found it.
    await page.goBack();
    await page.waitForFunction(() => !document.querySelector('[data-role="found-as"]') &&
                               document.querySelector('[data-role="pattern-name"]')?.textContent === "HEB 300");
    await page.goForward();
    await page.waitForFunction(() => document.querySelector('[data-role="found-as"]'));
  });

  await step("an edit is saved and kept over a reload", async () => {
    await page.fill('[data-role="param-tw"]', "11.5");
    await page.click('[data-role="save"]');
    await page.waitForFunction(() => document.querySelector('[data-role="param-tw"]')?.dataset.original === "11.5");
    await page.reload();
    await page.waitForSelector("body[data-ready]");
    await page.waitForSelector('[data-role="param-tw"]');
    assert.equal(await page.inputValue('[data-role="param-tw"]'), "11.5");
    // The history under the parameters lists the edit first, as text.
    const first = await page.textContent('[data-role="history"] tr[data-change]');
    assert.match(first, /modify/);
    assert.match(first, /tw: 11(\.0)? → 11\.5/);
  });

  await step("a refused value says why and changes nothing", async () => {
    await page.fill('[data-role="param-h"]', "tall");
    await page.click('[data-role="save"]');
    await page.waitForSelector('[data-role="error"]:not([hidden])');
    assert.match(await page.textContent('[data-role="error"]'), /does not fit/);
    await page.reload();
    await page.waitForSelector('[data-role="param-h"]');
    assert.equal(await page.inputValue('[data-role="param-h"]'), "300");
  });

  await step("a hostile name is shown as text", async () => {
    await page.evaluate(() => { location.hash = "#/family/0/HEB"; });
    await shown("HEB");
    const cells = await page.$$eval('[data-role="family-table"] tbody td:first-child', (l) => l.map((e) => e.textContent));
    assert.ok(cells.includes(HOSTILE), cells.join(" | "));
    assert.equal(await page.$$eval("main img, main script", (l) => l.length), 0);
    await page.fill('[data-role="search"]', HOSTILE);
    await page.press('[data-role="search"]', "Enter");
    await page.waitForFunction(() => document.querySelector('[data-role="pattern-name"]')?.textContent.includes("<img"));
    assert.equal(await page.textContent('[data-role="pattern-name"]'), HOSTILE);
    assert.equal(await page.evaluate(() => window.pwned), undefined);
  });

  await step("values in host units of a factor typed, and a refused factor", async () => {
    await page.evaluate(() => { location.hash = "#/pattern/0/HEB/HEB%20300"; });
    await page.waitForFunction(() => document.querySelector('[data-role="param-h"]')?.value === "300");
    await page.selectOption('[data-role="metrics"]', "host");
    await page.waitForFunction(() => document.querySelector('[data-role="param-h"]')?.value === "300");
    await page.fill('[data-role="host-metrics"]', "100");
    await page.press('[data-role="host-metrics"]', "Enter");
    await page.waitForFunction(() => document.querySelector('[data-role="param-h"]')?.value === "30");
    assert.equal(await page.getAttribute('[data-role="param-h"]', "readonly"), "");
    await page.fill('[data-role="host-metrics"]', "inches");
    await page.press('[data-role="host-metrics"]', "Enter");
    await page.waitForSelector('[data-role="error"]:not([hidden])');
    assert.match(await page.textContent('[data-role="error"]'), /metrics/);
  });
} finally {
  await browser.close();
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
