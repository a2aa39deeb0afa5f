// The page in headless Chromium, through its own controls: faults it guards
// against are a result that differs from the native programs', a failure that
// shows the wrong words or leaves the page stuck, a cancel that does not stop
// or breaks the next run, a worker that dies mid-job leaving the page waiting
// or its files behind, a request to anything but the page's own files, and
// memory that grows with the source. It also runs the module's API table
// (api-cases.js) in the browser.
import { test } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { pathToFileURL } from "node:url";
import { crc32 } from "node:zlib";
import { largeSet, pseudoRandom, runNative } from "./fixtures.mjs";
import { cases } from "./api-cases.js";
import { varnockDiff, webBuild } from "./paths.mjs";
import { fileInput, pageSuite, openPage as open, closePage as close, runTask, text, shown, download, control, kPickLabel,
  setChecked, screenshots, privateFiles, pressStart, catchWorkers, ourFiles } from "./page-driver.mjs";

const kMemoryGoal = 256 * 1024 * 1024;
const kLargeSize = Number(process.env.VARNOCK_LARGE_APPLY_BYTES || 1024 * 1024 * 1024);

let server;
let browser;
let dir;
let files;

pageSuite((made) => ({ server, browser, dir, files } = made));

const pageUrl = () => `${server.origin}/page/index.html`;
const openPage = (url = pageUrl(), options = {}) => open(browser, url, dir, options);
const closePage = (page) => close(browser, page);
const crcText = (bytes) => crc32(bytes).toString(16).toUpperCase().padStart(8, "0");

async function assertApplies(page, downloads) {
  await runTask(page, "apply", files.source, files.patch);
  assert.equal(await shown(page, "#error"), false, await text(page, "#error"));
  assert.deepEqual(await download(page, downloads), fs.readFileSync(files.rebuilt));
}

test("apply through the page gives the native varnock's target, under the name proposed or the one typed", async () => {
  const { page, downloads } = await openPage();
  await screenshots(page, "choose");
  await assertApplies(page, downloads);
  const rebuilt = fs.readFileSync(files.rebuilt);
  // "game-1.0-to-1.1.patch" on "game-1.0.bin": the new version's name.
  assert.equal(await text(page, "#result-name"), "game-1.1.bin");
  assert.match(await text(page, "#result-size"), new RegExp(`\\(${rebuilt.length.toLocaleString("en")} bytes\\)`));
  assert.equal(await text(page, "#result-crc"), crcText(rebuilt));
  await screenshots(page, "done");
  const name = await control(page, "Name of the new file");
  await name.click({ clickCount: 3 });
  await name.type("mine.bin");
  await pressStart(page, "apply");
  await page.waitForSelector("#result:not([hidden])");
  assert.equal(await page.$eval("#download", (link) => link.download), "mine.bin");
  await closePage(page);
});

test("make through the page gives the native varnock-diff's patch, compressed or plain, and it applies back", async () => {
  const compressed = path.join(dir, "native-compressed.patch");
  runNative(varnockDiff, "-q", "-z", "--compressible", files.source, files.target, compressed);
  for (const [container, native] of [[true, compressed], [false, files.patch]]) {
    // A page of its own per form: each download goes to a directory of its own.
    const { page, downloads } = await openPage();
    await runTask(page, "make", files.source, files.target, { container });
    assert.equal(await text(page, "#result-name"), "game-1.0-to-game-1.1.patch");
    const made = path.join(downloads, "game-1.0-to-game-1.1.patch");
    assert.deepEqual(await download(page, downloads), fs.readFileSync(native), `container: ${container}`);
    await runTask(page, "apply", files.source, made);
    assert.deepEqual(await download(page, downloads), fs.readFileSync(files.target), `container: ${container}`);
    await closePage(page);
  }
});

test("cancel stops a running apply, says so without calling it a failure, and the page still works", async () => {
  const large = largeSet(fs.mkdtempSync(path.join(dir, "cancel-")), 256 << 20);
  const { page, downloads } = await openPage();
  await setChecked(page, kPickLabel, false);
  await (await fileInput(page, "Old file")).uploadFile(large.source);
  await (await fileInput(page, "Patch")).uploadFile(large.patch);
  await pressStart(page, "apply");
  await page.waitForFunction(() => /%/.test(document.getElementById("progress-text").textContent));
  assert.equal(await page.evaluate(() => document.activeElement.textContent), "Cancel");
  await screenshots(page, "working");
  await (await control(page, "Cancel")).click();
  assert.equal(await shown(page, "#cancelled"), true);
  assert.equal(await shown(page, "#error"), false);
  assert.equal(await page.evaluate(() => document.activeElement.textContent), "Apply the patch");
  // The stopped worker's files go once the fresh worker has them.
  await page.waitForFunction(async () => {
    for await (const name of (await navigator.storage.getDirectory()).keys()) if (name.startsWith("varnock-")) return false;
    return true;
  }, { polling: 200, timeout: 10_000 });
  fs.rmSync(path.dirname(large.source), { recursive: true });
  await assertApplies(page, downloads);
  await closePage(page);
});

// Ways a worker dies mid-job, done to the one the page gave the job: it
// throws where nothing catches it, sends what cannot be read, or is gone
// without a word (as when the browser ends it), which only the page's
// watchdog can tell, after its 30 s.
for (const [how, kill, words] of [
  ["throws", (made) => made.dispatchEvent(new ErrorEvent("error", { message: "Uncaught RangeError: boom" })),
    /Uncaught RangeError: boom/],
  ["sends what cannot be read", (made) => made.dispatchEvent(new MessageEvent("messageerror")), /could not be read/],
  ["goes silent", (made) => made.terminate(), /said nothing for 30 s/],
]) {
  test(`a worker that ${how} mid-apply: the page says so, leaves no file, and the next apply works`, async () => {
    const large = largeSet(fs.mkdtempSync(path.join(dir, "dies-")), 256 << 20);
    const { page, downloads } = await openPage(pageUrl(), { prepare: catchWorkers });
    await setChecked(page, kPickLabel, false);
    await (await fileInput(page, "Old file")).uploadFile(large.source);
    await (await fileInput(page, "Patch")).uploadFile(large.patch);
    await pressStart(page, "apply");
    await page.waitForFunction(() => /%/.test(document.getElementById("progress-text").textContent));
    await page.evaluate(`(${kill})(window.madeWorkers.find((made) => made.sent.some((message) =>
      message.task === "apply" && !message.inquiry)))`);
    await page.waitForSelector("#error:not([hidden])", { timeout: 60_000 });
    assert.equal(await page.$eval("#error", (box) => box.getAttribute("role")), "alert");
    assert.match(await text(page, "#error-text"), /stopped answering, so the job was stopped and nothing was saved/);
    assert.match(await text(page, "#error-detail"), words);
    assert.equal(await shown(page, "#working"), false);
    assert.equal(await page.$eval("#start", (button) => button.disabled), false);
    await page.waitForFunction(async () => {
      for await (const name of (await navigator.storage.getDirectory()).keys()) if (name.startsWith("varnock-")) return false;
      return true;
    }, { polling: 200, timeout: 10_000 });
    fs.rmSync(path.dirname(large.source), { recursive: true });
    await assertApplies(page, downloads);
    assert.equal((await ourFiles(page)).length, 1);
    await closePage(page);
  });
}

test("the page asks for nothing but its own files", async () => {
  const { page, requests, downloads } = await openPage();
  await assertApplies(page, downloads);
  await runTask(page, "make", files.source, files.target);
  const own = new Set(["index.html", "page.css", "varnock-worker.js", "workers.js", "progress.js", "checks.js",
    "page.js", "service-worker.js", "manifest.webmanifest", "icon.svg"].map((f) => `${server.origin}/page/${f}`));
  const elsewhere = requests.filter((url) => !own.has(url) && !url.startsWith("blob:") && !url.startsWith("data:"));
  assert.deepEqual(elsewhere, []);
  assert.deepEqual(server.requests.filter((url) => !url.startsWith("/page/")), []);
  await closePage(page);
});

// The browser's file picker cannot be answered headless: it is replaced by one
// that picks a file in the private file system, a FileSystemFileHandle as good
// as the user's for the worker's path.
const pickInPrivateFiles = (page) => page.evaluateOnNewDocument(() => {
  window.showSaveFilePicker = async ({ suggestedName }) =>
    (await navigator.storage.getDirectory()).getFileHandle(`picked-${suggestedName}`, { create: true });
});

test("saving to a picked file is offered at once; the target ends up there, a failure leaves it as it was, " +
  "and no other file stays", async () => {
  const { page } = await openPage(pageUrl(), { prepare: pickInPrivateFiles });
  assert.equal(await (await control(page, kPickLabel)).evaluate((box) => box.checked), true);
  const picked = () => page.evaluate(async () => {
    const file = await (await (await navigator.storage.getDirectory()).getFileHandle("picked-game-1.1.bin")).getFile();
    return Array.from(new Uint8Array(await file.arrayBuffer()), (byte) => String.fromCharCode(byte)).join("");
  });
  await runTask(page, "apply", files.source, files.patch, { pick: true });
  assert.equal(await shown(page, "#error"), false, await text(page, "#error"));
  assert.equal(await page.$eval("#result", (result) => result.dataset.storage), "picked");
  assert.equal(await shown(page, "#saved-row"), true);
  assert.deepEqual(Buffer.from(await picked(), "latin1"), fs.readFileSync(files.rebuilt));
  assert.deepEqual(await privateFiles(page), ["picked-game-1.1.bin"]);
  const wrongSource = path.join(dir, "game-0.9.bin");
  fs.writeFileSync(wrongSource, pseudoRandom(3 << 20, 99));
  await runTask(page, "apply", wrongSource, files.patch, { pick: true });
  assert.equal(await shown(page, "#error"), true);
  assert.deepEqual(Buffer.from(await picked(), "latin1"), fs.readFileSync(files.rebuilt));
  assert.deepEqual(await privateFiles(page), ["picked-game-1.1.bin"]);
  await closePage(page);
});

test("opened from disk the page works, offers a picked file, and says before starting what does better for " +
  "large files", async () => {
  const url = pathToFileURL(path.join(webBuild, "page", "index.html")).href;
  const { page, downloads } = await openPage(url);
  await assertApplies(page, downloads);
  // No origin of its own, so no private file system: the result waits in memory.
  assert.equal(await page.$eval("#result", (result) => result.dataset.storage), "memory");
  assert.equal(await shown(page, "#pick-row"), true);
  // A source too large to read whole: read by slices.
  const large = largeSet(fs.mkdtempSync(path.join(dir, "from-disk-")), 40 << 20);
  await runTask(page, "apply", large.source, large.patch);
  assert.equal(await shown(page, "#error"), false, await text(page, "#error"));
  assert.equal(await text(page, "#result-crc"), large.targetCrc.toString(16).toUpperCase().padStart(8, "0"));
  assert.equal(await shown(page, "#notice"), false);
  // A large file (sparse: only its size matters here) brings the plain statement.
  const huge = path.join(path.dirname(large.source), "huge.bin");
  fs.closeSync(fs.openSync(huge, "w"));
  fs.truncateSync(huge, 300 << 20);
  await (await fileInput(page, "Old file")).uploadFile(huge);
  assert.equal(await shown(page, "#notice"), true);
  assert.match(await text(page, "#notice"), /open the page from a web server/);
  fs.rmSync(path.dirname(large.source), { recursive: true });
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
