// The page in headless Chromium, through its own controls: faults it guards
// against are a result that differs from the native programs', a failure that
// shows the wrong words or leaves the page stuck, a cancel that does not stop
// or breaks the next run, a request to anything but the page's own files, and
// memory that grows with the source. It also runs the module's API table
// (api-cases.js) in the browser.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { pathToFileURL } from "node:url";
import { startServer } from "./serve.mjs";
import { launchChromium } from "./chromium.mjs";
import { largeSet, smallSet, temporaryDirectory, pseudoRandom } from "./fixtures.mjs";
import { cases } from "./api-cases.js";
import { projectRoot, webBuild } from "./paths.mjs";

const kMemoryGoal = 256 * 1024 * 1024;
const kLargeSize = Number(process.env.VARNOCK_LARGE_APPLY_BYTES || 1024 * 1024 * 1024);
const artifacts = path.resolve(process.env.VARNOCK_ARTIFACTS || path.join(webBuild, "artifacts"));

let server;
let browser;
let dir;
let files;

before(async () => {
  dir = temporaryDirectory();
  files = smallSet(dir, 3 << 20);
  files.wrongSource = path.join(dir, "game-0.9.bin");
  fs.writeFileSync(files.wrongSource, pseudoRandom(3 << 20, 99));
  files.corruptPatch = path.join(dir, "damaged.patch");
  const patch = fs.readFileSync(files.patch);
  fs.writeFileSync(files.corruptPatch, patch.subarray(0, patch.length - 100));
  server = await startServer({ "/page/": path.join(webBuild, "page"), "/npm/": path.join(webBuild, "npm"),
    "/tests/": path.join(projectRoot, "web", "tests") });
  browser = await launchChromium();
  fs.mkdirSync(artifacts, { recursive: true });
});

after(async () => {
  await browser?.close();
  await server?.close();
  if (dir) fs.rmSync(dir, { recursive: true, force: true });
});

// A fresh tab on the page, with every request it makes recorded, and its
// downloads going to a directory of its own.
// A context of its own gives the tab a renderer process of its own. Such a
// context is off the record, and keeps its private file system in memory with
// a small quota: a large result needs the default context, on disk.
async function openPage(url = `${server.origin}/page/index.html`, { ownContext = true } = {}) {
  const context = ownContext ? await browser.createBrowserContext() : browser.defaultBrowserContext();
  const page = await context.newPage();
  const requests = [];
  page.on("request", (request) => requests.push(request.url()));
  const downloads = fs.mkdtempSync(path.join(dir, "downloads-"));
  const session = await browser.target().createCDPSession();
  await session.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads,
    ...(ownContext ? { browserContextId: context.id } : {}) });
  await page.goto(url, { waitUntil: "load" });
  return { page, requests, downloads };
}

async function closePage(page) {
  if (page.browserContext() === browser.defaultBrowserContext()) await page.close();
  else await page.browserContext().close();
}

async function runTask(page, task, first, second) {
  await page.click(`input[name=task][value=${task}]`);
  await (await page.$("#source")).uploadFile(first);
  await (await page.$("#second")).uploadFile(second);
  await page.click("#start");
  await page.waitForSelector("#result:not([hidden]), #error:not([hidden])", { timeout: 600_000 });
}

const text = (page, selector) => page.$eval(selector, (element) => element.textContent);
const shown = (page, selector) => page.$eval(selector, (element) => !element.hidden);

// Clicks the result's link and waits for the file Chromium saves.
async function download(page, downloads) {
  const name = await page.$eval("#download", (link) => link.download);
  await page.click("#download");
  const file = path.join(downloads, name);
  for (let tries = 0; tries < 600 && !fs.existsSync(file); tries += 1) await new Promise((r) => setTimeout(r, 100));
  return fs.readFileSync(file);
}

async function assertApplies(page, downloads) {
  await runTask(page, "apply", files.source, files.patch);
  assert.equal(await shown(page, "#error"), false, await text(page, "#error"));
  assert.deepEqual(await download(page, downloads), fs.readFileSync(files.rebuilt));
}

test("apply through the page gives the native varnock's target, named, sized and checksummed", async () => {
  const { page, downloads } = await openPage();
  await assertApplies(page, downloads);
  const rebuilt = fs.readFileSync(files.rebuilt);
  assert.equal(await text(page, "#result-name"), "game-1.0.patched.bin");
  assert.match(await text(page, "#result-size"), new RegExp(`\\(${rebuilt.length.toLocaleString("en")} bytes\\)`));
  const crc = (await import("node:zlib")).crc32(rebuilt).toString(16).toUpperCase().padStart(8, "0");
  assert.equal(await text(page, "#result-crc"), crc);
  await page.screenshot({ path: path.join(artifacts, "apply.png"), fullPage: true });
  await closePage(page);
});

test("make through the page gives the native varnock-diff's patch", async () => {
  const { page, downloads } = await openPage();
  await runTask(page, "make", files.source, files.target);
  assert.equal(await text(page, "#result-name"), "game-1.0-to-game-1.1.patch");
  assert.deepEqual(await download(page, downloads), fs.readFileSync(files.patch));
  await closePage(page);
});

for (const [what, source, patch, words] of [
  ["a wrong source", () => files.wrongSource, () => files.patch, /made for another version of the old file/],
  ["a corrupt patch", () => files.source, () => files.corruptPatch, /patch file is incomplete/],
]) {
  test(`${what} shows what went wrong in plain words, and the page still works`, async () => {
    const { page, downloads } = await openPage();
    await runTask(page, "apply", source(), patch());
    assert.match(await text(page, "#error-text"), words);
    assert.equal(await shown(page, "#result"), false);
    await assertApplies(page, downloads);
    await closePage(page);
  });
}

test("cancel stops a running apply, says so, and the page still works", async () => {
  const large = largeSet(fs.mkdtempSync(path.join(dir, "cancel-")), 256 << 20);
  const { page, downloads } = await openPage();
  await page.click("input[name=task][value=apply]");
  await (await page.$("#source")).uploadFile(large.source);
  await (await page.$("#second")).uploadFile(large.patch);
  await page.click("#start");
  await page.waitForFunction(() => /%/.test(document.getElementById("progress-text").textContent));
  await page.click("#cancel");
  assert.equal(await text(page, "#error-text"), "Cancelled. Nothing was saved.");
  assert.equal(await shown(page, "#result"), false);
  fs.rmSync(path.dirname(large.source), { recursive: true });
  await assertApplies(page, downloads);
  await closePage(page);
});

test("the page asks for nothing but its own files", async () => {
  const { page, requests, downloads } = await openPage();
  await assertApplies(page, downloads);
  await runTask(page, "make", files.source, files.target);
  const own = new Set(["index.html", "page.css", "varnock-worker.js", "page.js"].map((f) => `${server.origin}/page/${f}`));
  const elsewhere = requests.filter((url) => !own.has(url) && !url.startsWith("blob:") && !url.startsWith("data:"));
  assert.deepEqual(elsewhere, []);
  assert.deepEqual(server.requests.filter((url) => !url.startsWith("/page/")), []);
  await closePage(page);
});

// The browser's file picker cannot be answered headless: it is replaced by one
// that picks a file in the private file system, a FileSystemFileHandle as good
// as the user's for the worker's path.
test("where the browser can save to a picked file, the target ends up in it, and a failure leaves it as it was", async () => {
  const context = await browser.createBrowserContext();
  const page = await context.newPage();
  await page.evaluateOnNewDocument(() => {
    window.showSaveFilePicker = async ({ suggestedName }) =>
      (await navigator.storage.getDirectory()).getFileHandle(`picked-${suggestedName}`, { create: true });
  });
  await page.goto(`${server.origin}/page/index.html`);
  await page.waitForSelector("#pick-row:not([hidden])");
  await page.click("#pick");
  const picked = () => page.evaluate(async () => {
    const file = await (await (await navigator.storage.getDirectory()).getFileHandle("picked-game-1.0.patched.bin")).getFile();
    return Array.from(new Uint8Array(await file.arrayBuffer()), (byte) => String.fromCharCode(byte)).join("");
  });
  await runTask(page, "apply", files.source, files.patch);
  assert.equal(await shown(page, "#error"), false, await text(page, "#error"));
  assert.equal(await page.$eval("#result", (result) => result.dataset.storage), "picked");
  assert.equal(await shown(page, "#saved-row"), true);
  assert.deepEqual(Buffer.from(await picked(), "latin1"), fs.readFileSync(files.rebuilt));
  await runTask(page, "apply", files.wrongSource, files.patch);
  assert.match(await text(page, "#error-text"), /made for another version of the old file/);
  assert.deepEqual(Buffer.from(await picked(), "latin1"), fs.readFileSync(files.rebuilt));
  await context.close();
});

test("the page works opened from disk", async () => {
  const { page, downloads } = await openPage(pathToFileURL(path.join(webBuild, "page", "index.html")).href);
  await assertApplies(page, downloads);
  // A page from disk has no origin of its own, so no private file system, and
  // so no saving to a picked file (its output would be staged there).
  assert.equal(await page.$eval("#result", (result) => result.dataset.storage), "memory");
  assert.equal(await shown(page, "#pick-row"), false);
  // A source too large to read whole, with no scratch file to copy it to: read
  // by slices.
  const large = largeSet(fs.mkdtempSync(path.join(dir, "from-disk-")), 40 << 20);
  await runTask(page, "apply", large.source, large.patch);
  assert.equal(await shown(page, "#error"), false, await text(page, "#error"));
  assert.equal(await text(page, "#result-crc"), large.targetCrc.toString(16).toUpperCase().padStart(8, "0"));
  fs.rmSync(path.dirname(large.source), { recursive: true });
  await closePage(page);
});

test("at a phone's width nothing overflows, and every control has a label", async () => {
  const { page } = await openPage();
  await page.setViewport({ width: 360, height: 740 });
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 360));
  const unlabelled = await page.$$eval("input", (inputs) => inputs.filter((input) => !input.labels.length).map((i) => i.id));
  assert.deepEqual(unlabelled, []);
  await closePage(page);
});

// The tab's memory: its renderer process (the page and its worker run in
// it) is the renderer that spent the most CPU time while the apply ran, by
// the process ids and times the DevTools protocol gives. Memory is read from
// the OS as RssAnon, the private memory the process holds (what Chromium's
// task manager calls its footprint), leaving out the pages of the browser's
// binary and libraries that every process shares.
async function renderers() {
  const session = await browser.target().createCDPSession();
  const { processInfo } = await session.send("SystemInfo.getProcessInfo");
  await session.detach();
  return new Map(processInfo.filter((info) => info.type === "renderer").map((info) => [info.id, info.cpuTime]));
}

function privateMemory(pid) {
  try {
    return Number(/RssAnon:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, "utf8"))[1]) * 1024;
  } catch {
    return 0;
  }
}

// Each renderer's largest RssAnon, polled every 20 ms while `work` runs; and
// the tab's, with its memory once the page had loaded.
async function tabPeakDuring(work) {
  const before = await renderers();
  const idle = new Map([...before.keys()].map((pid) => [pid, privateMemory(pid)]));
  const peaks = new Map(idle);
  const poll = () => {
    for (const pid of peaks.keys()) peaks.set(pid, Math.max(peaks.get(pid), privateMemory(pid)));
  };
  const timer = setInterval(poll, 20);
  try {
    await work();
  } finally {
    clearInterval(timer);
  }
  poll();
  const after = await renderers();
  const busiest = [...before.keys()].reduce((best, pid) =>
    (after.get(pid) ?? 0) - before.get(pid) > (after.get(best) ?? 0) - before.get(best) ? pid : best);
  return { peak: peaks.get(busiest), idle: idle.get(busiest) };
}

test(`applying to a ${kLargeSize} byte source keeps the renderer under ${kMemoryGoal} bytes`, async () => {
  const large = largeSet(fs.mkdtempSync(path.join(dir, "large-")), kLargeSize);
  const { page } = await openPage(undefined, { ownContext: false });
  const started = performance.now();
  const { peak, idle } = await tabPeakDuring(() => runTask(page, "apply", large.source, large.patch));
  const seconds = (performance.now() - started) / 1000;
  assert.equal(await shown(page, "#error"), false, await text(page, "#error"));
  assert.equal(await text(page, "#result-crc"), large.targetCrc.toString(16).toUpperCase().padStart(8, "0"));
  assert.equal(await page.$eval("#result", (result) => result.dataset.storage), "private");
  console.log(`large apply: ${kLargeSize} bytes in ${seconds.toFixed(1)} s, the tab's renderer peak ${peak} bytes ` +
    `(${idle} bytes once the page had loaded)`);
  assert.ok(peak < kMemoryGoal, `the tab's renderer peak ${peak} bytes`);
  fs.rmSync(path.dirname(large.source), { recursive: true });
  await closePage(page);
});

test("the module's API table passes in Chromium, on a page's thread and in a worker", async () => {
  const page = await (await browser.createBrowserContext()).newPage();
  await page.goto(`${server.origin}/tests/api-cases.html`);
  await page.waitForFunction(() => window.caseNames);
  for (const runner of ["runCase", "runCaseInWorker"]) {
    for (let index = 0; index < cases.length; index += 1) {
      assert.equal(await page.evaluate((name, i) => window[name](i), runner, index), "ok",
        `${runner}: ${cases[index].name}`);
    }
  }
  await closePage(page);
});
