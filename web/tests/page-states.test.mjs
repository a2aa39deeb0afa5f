// The page's states in headless Chromium: faults it guards against are a
// result or error left from an earlier task, what must be seen next left
// below the fold, a bar that moves back or says nothing of time, files left
// in the browser's storage (also by a tab closed or a browser quit, and
// taken from another tab that still offers its result), a control without a label or a checker's
// violation in either colour scheme, and a page that does not open offline.
import { test } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { largeSet } from "./fixtures.mjs";
import { fileInput, pageSuite, openPage as open, closePage as close, runTask, chooseFiles, text, shown, inView, control,
  kPhone, kTaskLabels, privateFiles, axeViolations, setChecked, kPickLabel, kContainerLabel, pressStart, ourFiles, tidied,
  download } from "./page-driver.mjs";
import { launchChromium } from "./chromium.mjs";

let server;
let browser;
let dir;
let files;

pageSuite((made) => ({ server, browser, dir, files } = made));

const pageUrl = () => `${server.origin}/page/index.html`;
const openPage = (options = {}) => open(browser, pageUrl(), dir, options);
const closePage = (page) => close(browser, page);

test("a new choice of file or task clears the earlier result and error, and shows that task's controls only", async () => {
  const { page } = await openPage();
  assert.equal(await shown(page, "#container-row"), false);
  assert.equal(await shown(page, "#compressible-row"), false);
  await runTask(page, "apply", files.source, files.patch);
  assert.equal(await shown(page, "#result"), true);
  await (await fileInput(page, "Patch")).uploadFile(files.target);
  assert.equal(await shown(page, "#result"), false);
  assert.equal(await page.$eval("#download", (link) => link.hasAttribute("href")), false);
  await runTask(page, "apply", files.target, files.patch);
  assert.equal(await shown(page, "#error"), true);
  await (await control(page, kTaskLabels.make)).click();
  assert.equal(await shown(page, "#error"), false);
  // A compressed patch is made for its compressor: the choice is offered for a plain one only.
  assert.equal(await shown(page, "#container-row"), true);
  assert.equal(await shown(page, "#compressible-row"), false);
  await setChecked(page, kContainerLabel, false);
  assert.equal(await shown(page, "#compressible-row"), true);
  await closePage(page);
});

test("at a phone's width nothing overflows, every control has a label, and what comes next is in view", async () => {
  const { page } = await openPage();
  await page.setViewport(kPhone);
  assert.ok(await page.evaluate((width) => document.documentElement.scrollWidth <= width, kPhone.width));
  const unlabelled = await page.$$eval("input", (inputs) => inputs.filter((input) => !input.labels.length).map((i) => i.id));
  assert.deepEqual(unlabelled, []);
  await runTask(page, "apply", files.source, files.patch);
  assert.equal(await inView(page, "#result"), true);
  await runTask(page, "apply", files.target, files.patch);
  assert.equal(await inView(page, "#error"), true);
  await page.evaluate(() => window.scrollTo(0, 0));
  const large = largeSet(fs.mkdtempSync(path.join(dir, "view-")), 128 << 20);
  await setChecked(page, kPickLabel, false);
  await chooseFiles(page, "apply", large.source, large.patch);
  await pressStart(page, "apply");
  await page.waitForSelector("#working:not([hidden])", { timeout: 120_000 });
  assert.equal(await inView(page, "#progress"), true);
  await page.waitForSelector("#result:not([hidden]), #error:not([hidden])", { timeout: 600_000 });
  fs.rmSync(path.dirname(large.source), { recursive: true });
  await closePage(page);
});

test("one bar for the whole apply: it never moves back, and it says the stage, speed and time left", async () => {
  const large = largeSet(fs.mkdtempSync(path.join(dir, "bar-")), 256 << 20);
  const { page } = await openPage();
  await page.evaluate(() => {
    window.seen = [];
    const bar = document.getElementById("progress");
    new MutationObserver(() => window.seen.push([bar.value, document.getElementById("progress-text").textContent]))
      .observe(document.getElementById("status"), { subtree: true, childList: true, characterData: true,
        attributes: true });
  });
  await runTask(page, "apply", large.source, large.patch);
  assert.equal(await shown(page, "#error"), false, await text(page, "#error"));
  const seen = await page.evaluate(() => window.seen);
  const values = seen.map(([value]) => value);
  assert.ok(values.every((value, i) => i === 0 || value >= values[i - 1]), `the bar went back: ${values}`);
  const words = seen.map(([, words]) => words).join("\n");
  for (const stage of ["Checking the old file", "Writing the new file"]) assert.match(words, new RegExp(stage));
  assert.match(words, /\/s/);
  assert.match(words, /left/);
  fs.rmSync(path.dirname(large.source), { recursive: true });
  await closePage(page);
});

test("no file stays in the browser's storage after success, failure or cancel, nor from a closed tab", async () => {
  // Files of a tab closed in the middle of a task, there before the page loads.
  const { page } = await openPage({
    prepare: (tab) => tab.evaluateOnNewDocument(() => {
      if (location.pathname.endsWith("index.html") && !sessionStorage.getItem("planted")) {
        sessionStorage.setItem("planted", "1");
        navigator.storage.getDirectory().then((root) => Promise.all([
          root.getFileHandle("varnock-result-1", { create: true }),
          root.getFileHandle("varnock-scratch-1", { create: true }),
        ])).then(() => location.reload());
      }
    }),
  });
  await page.waitForFunction(() => sessionStorage.getItem("planted") === "1");
  await page.waitForFunction(async () => {
    for await (const name of (await navigator.storage.getDirectory()).keys()) if (name.startsWith("varnock-")) return false;
    return true;
  }, { polling: 200, timeout: 10_000 });
  await runTask(page, "apply", files.target, files.patch);
  assert.deepEqual(await privateFiles(page), []);
  await closePage(page);
});

test("a fresh load of a used profile starts with nothing of ours in the browser's storage but the result " +
  "another tab offers", async () => {
  const profile = fs.mkdtempSync(path.join(dir, "profile-"));
  // The default context keeps its private file system on disk, in the profile.
  const onProfile = async (work) => {
    const used = await launchChromium({ profile });
    try {
      await work((options = {}) => open(used, pageUrl(), dir, { ...options, ownContext: false }));
    } finally {
      await used.close();
    }
  };
  // Used: a job run and its result offered, then the browser quit with what a
  // tab quit mid-probe or mid-task leaves beside it.
  await onProfile(async (openTab) => {
    const { page } = await openTab();
    await runTask(page, "apply", files.source, files.patch);
    await page.evaluate(async () => {
      const root = await navigator.storage.getDirectory();
      for (const name of ["varnock-result-probe", "varnock-probe-1-a", "varnock-scratch-1", "varnock-result-1"]) {
        await root.getFileHandle(name, { create: true });
      }
    });
    assert.equal((await ourFiles(page)).length, 5);
  });
  await onProfile(async (openTab) => {
    const first = await openTab();
    await tidied(first.page);
    assert.deepEqual(await ourFiles(first.page), []);
    await runTask(first.page, "apply", files.source, files.patch);
    const offered = await ourFiles(first.page);
    assert.equal(offered.length, 1);
    const second = await openTab();
    await tidied(second.page);
    assert.deepEqual(await ourFiles(second.page), offered);
    // Still there to save (the default context saves to the directory its last tab was given).
    await first.page.bringToFront();
    assert.deepEqual(await download(first.page, second.downloads), fs.readFileSync(files.rebuilt));
    // Let go of by the page that offered it, the result goes.
    await runTask(first.page, "apply", files.target, files.patch);
    assert.deepEqual(await ourFiles(second.page), []);
  });
});

test("without room in the browser's storage the page says so before starting", async () => {
  const { page } = await openPage({
    prepare: (tab) => tab.evaluateOnNewDocument(() => {
      navigator.storage.estimate = async () => ({ quota: 2 << 20, usage: 1 << 20 });
    }),
  });
  await runTask(page, "apply", files.source, files.patch);
  assert.match(await text(page, "#error-text"), /not enough room in this browser's storage/);
  assert.deepEqual(await privateFiles(page), []);
  await closePage(page);
});

test("the accessibility checker finds nothing, light or dark, and dark mode is dark", async () => {
  for (const scheme of ["light", "dark"]) {
    // A page of its own per scheme: each starts from the first choice.
    const { page } = await openPage();
    await page.emulateMediaFeatures([{ name: "prefers-color-scheme", value: scheme }]);
    const background = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
    const [red, green, blue] = background.match(/\d+/g).map(Number);
    assert.equal(red + green + blue < 150, scheme === "dark", `${scheme}: ${background}`);
    assert.deepEqual(await axeViolations(page), [], scheme);
    await runTask(page, "apply", files.source, files.patch);
    assert.deepEqual(await axeViolations(page), [], `${scheme}, done`);
    await runTask(page, "apply", files.target, files.patch);
    assert.deepEqual(await axeViolations(page), [], `${scheme}, an error`);
    await closePage(page);
  }
});

test("installed, the page opens and applies with no network, asking only its own origin", async () => {
  const { page, requests } = await openPage();
  assert.ok(await page.evaluate(async () => Boolean(await navigator.serviceWorker.ready)));
  await page.reload({ waitUntil: "load" });
  assert.ok(await page.evaluate(() => Boolean(navigator.serviceWorker.controller)));
  const { errors, data } = await (await page.createCDPSession()).send("Page.getAppManifest");
  assert.deepEqual(errors, []);
  assert.equal(JSON.parse(data).start_url, "index.html");
  await page.setOfflineMode(true);
  await page.reload({ waitUntil: "load" });
  assert.equal(await page.title(), "Varnock: apply or make a patch");
  await runTask(page, "apply", files.source, files.patch);
  assert.equal(await shown(page, "#result"), true, await text(page, "#error"));
  assert.deepEqual(requests.filter((url) => !url.startsWith(server.origin) && !/^(blob|data):/.test(url)), []);
  await closePage(page);
});
