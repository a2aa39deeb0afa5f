// What the page tells of the files chosen, in headless Chromium: faults it
// guards against are the wrong explanation for a wrong file (a file that is
// not a patch, the files swapped, a patch for another file, a damaged or
// incomplete patch), a page left unusable after one, and the old file's
// CRC-32 taken by the check but not handed to the apply (or handed over for
// a file it was not taken of).
import { test, before } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { execFileSync } from "node:child_process";
import { crc32 } from "node:zlib";
import { largeSet, pseudoRandom, runNative } from "./fixtures.mjs";
import { varnockDiff } from "./paths.mjs";
import { pageSuite, openPage as open, closePage as close, runTask, chooseFiles, text, shown, download, control,
  screenshots, fileInput, setChecked, kPickLabel, inView, pressStart, catchWorkers, taskRequests } from "./page-driver.mjs";

let server;
let browser;
let dir;
let files;

pageSuite((made) => ({ server, browser, dir, files } = made));

// The wrong files, beside the small set.
before(() => {
  files.wrongSource = path.join(dir, "game-0.9.bin");
  fs.writeFileSync(files.wrongSource, pseudoRandom(3 << 20, 99));
  files.incompletePatch = path.join(dir, "incomplete.patch");
  const patch = fs.readFileSync(files.patch);
  fs.writeFileSync(files.incompletePatch, patch.subarray(0, patch.length - 100));
  // The first instruction made a stop: damaged, as a scan of the patch finds.
  files.damagedPatch = path.join(dir, "damaged.patch");
  const damaged = Buffer.from(patch);
  damaged[damaged[0] + 5] = 0;
  fs.writeFileSync(files.damagedPatch, damaged);
  files.text = path.join(dir, "readme.txt");
  fs.writeFileSync(files.text, "Apply game-1.0-to-1.1.patch to game-1.0.bin.\n".repeat(100));
  // 64 KiB of text whose first bytes hold as a raw patch's header.
  files.notes = path.join(dir, "release-notes.txt");
  fs.writeFileSync(files.notes, "Apply game-1.0-to-1.1.patch to game-1.0.bin.\n".repeat(1500).slice(0, 65536));
  files.shortSource = path.join(dir, "game-1.0-short.bin");
  fs.writeFileSync(files.shortSource, fs.readFileSync(files.source).subarray(0, 1 << 20));
});

const openPage = (options) => open(browser, `${server.origin}/page/index.html`, dir, options);
const crcText = (file) => crc32(fs.readFileSync(file)).toString(16).toUpperCase().padStart(8, "0");

// Waits for the check of the chosen files to end; returns its state and words.
async function checked(page) {
  await page.waitForFunction(() => {
    const box = document.getElementById("check");
    return !box.hidden && box.dataset.state !== "checking";
  }, { timeout: 60_000 });
  return page.$eval("#check", (box) => ({ state: box.dataset.state, words: box.textContent }));
}

// Each wrong choice, told apart before Apply is pressed, in words that say
// what to do, with what the patch expects and what the file chosen has.
for (const [state, source, patch, words] of [
  ["good", () => files.source, () => files.patch, [/fits this old file/, /makes a new file of/]],
  ["not-a-patch", () => files.source, () => files.text, [/readme\.txt, chosen as the patch, is not a Varnock patch/]],
  ["not-a-patch", () => files.source, () => files.notes,
    [/release-notes\.txt, chosen as the patch, is not a Varnock patch/]],
  ["swapped", () => files.patch, () => files.source, [/files seem swapped/]],
  ["wrong-source", () => files.wrongSource, () => files.patch,
    [/made for another version of the old file/, () => new RegExp(`CRC-32 ${crcText(files.source)}`),
      () => new RegExp(`game-0\\.9\\.bin, is 3\\.0 MiB .*CRC-32 ${crcText(files.wrongSource)}`)]],
  ["wrong-source", () => files.shortSource, () => files.patch,
    [/does not have the length it expects/, /at least 3\.0 MiB/, /is 1\.0 MiB/]],
  ["already-new", () => files.target, () => files.patch, [/already the new version/]],
  ["damaged", () => files.source, () => files.incompletePatch, [/incomplete \(it ends too early\)/]],
  ["damaged", () => files.source, () => files.damagedPatch, [/patch file is damaged/]],
]) {
  test(`${path.basename(source())} with ${path.basename(patch())}: the check says "${state}" before Apply`, async () => {
    const { page } = await openPage();
    await chooseFiles(page, "apply", source(), patch());
    const found = await checked(page);
    assert.equal(found.state, state, found.words);
    for (const pattern of words) assert.match(found.words, typeof pattern === "function" ? pattern() : pattern);
    await screenshots(page, `check-${state}-${path.basename(source())}-${path.basename(patch())}`);
    assert.equal(await inView(page, state === "good" ? "#start" : "#check-text"), true);
    if (state === "swapped") {
      await (await control(page, "Swap the two files")).click();
      assert.equal((await checked(page)).state, "good");
    }
    await closePage(page);
  });
}

test("the old file's check shows its progress, and pressing Apply meanwhile goes straight to the work", async () => {
  const large = largeSet(fs.mkdtempSync(path.join(dir, "checking-")), 512 << 20);
  const { page } = await openPage({ prepare: catchWorkers });
  await setChecked(page, kPickLabel, false);
  await chooseFiles(page, "apply", large.source, large.patch);
  await page.waitForSelector("#check-progress:not([hidden])");
  await screenshots(page, "checking");
  // Screenshots take long enough on a loaded machine for the check to end:
  // the old file is cleared and chosen again (the same file chosen twice is
  // no change), which starts the check again, for the press.
  const old = await fileInput(page, "Old file");
  await old.evaluate((input) => {
    input.value = "";
    input.dispatchEvent(new Event("change", { bubbles: true }));
  });
  await old.uploadFile(large.source);
  await page.waitForSelector("#check-progress:not([hidden])");
  await pressStart(page, "apply");
  assert.equal(await shown(page, "#check"), false);
  await page.waitForSelector("#result:not([hidden]), #error:not([hidden])", { timeout: 600_000 });
  assert.equal(await shown(page, "#result"), true, await text(page, "#error"));
  // The same file chosen again is another File, whose check had not ended:
  // the apply takes its own CRC-32, whatever the first check took.
  assert.deepEqual(await taskRequests(page), [{ task: "apply", sourceCrc32: null }]);
  fs.rmSync(path.dirname(large.source), { recursive: true });
  await closePage(page);
});

// The CRC-32 a finished check took goes with the apply of the same old file,
// whether it fits the patch or not. (A file chosen again mid-check is another
// File, whose apply takes its own: above.)
for (const [state, source] of [["good", () => files.source], ["wrong-source", () => files.wrongSource]]) {
  test(`${path.basename(source())} checked ("${state}"): the apply is handed the check's CRC-32`, async () => {
    const { page } = await openPage({ prepare: catchWorkers });
    await setChecked(page, kPickLabel, false);
    await chooseFiles(page, "apply", source(), files.patch);
    assert.equal((await checked(page)).state, state);
    await pressStart(page, "apply");
    await page.waitForSelector("#result:not([hidden]), #error:not([hidden])");
    const crc = crc32(fs.readFileSync(source()));
    assert.deepEqual(await taskRequests(page), [{ task: "apply", sourceCrc32: crc }]);
    await closePage(page);
  });
}

test("two files dropped anywhere are sorted by what they hold", async () => {
  const { page } = await openPage();
  const bytes = (file) => fs.readFileSync(file).toString("base64");
  await page.evaluate((patch, source) => {
    const file = (name, base64) => new File([Uint8Array.from(atob(base64), (c) => c.charCodeAt(0))], name);
    const transfer = new DataTransfer();
    transfer.items.add(file("game-1.0-to-1.1.patch", patch));
    transfer.items.add(file("game-1.0.bin", source));
    document.querySelector("h1").dispatchEvent(new DragEvent("drop", { dataTransfer: transfer, bubbles: true,
      cancelable: true }));
  }, bytes(files.patch), bytes(files.source));
  await page.waitForFunction(() => document.getElementById("second").files.length === 1);
  assert.equal(await (await fileInput(page, "Old file")).evaluate((input) => input.files[0].name), "game-1.0.bin");
  assert.equal(await (await fileInput(page, "Patch")).evaluate((input) => input.files[0].name),
    "game-1.0-to-1.1.patch");
  assert.equal((await checked(page)).state, "good");
  await closePage(page);
});

const closePage = (page) => close(browser, page);

// The forms a patch is shipped in: the native maker's container, and its raw
// patch compressed by xz and by zstd.
function shippedForms() {
  const forms = { container: path.join(dir, "game-1.0-to-1.1.vnz") };
  runNative(varnockDiff, "-q", "-z", files.source, files.target, forms.container);
  for (const [kind, program] of [["xz", "xz"], ["zstd", "zstd"]]) {
    forms[kind] = `${files.patch}.${kind === "xz" ? "xz" : "zst"}`;
    fs.writeFileSync(forms[kind], execFileSync(program, ["-9", "-c", files.patch]));
  }
  return forms;
}

test("a container, and a raw patch in xz or zstd, are told by kind and apply to the native varnock's target", async () => {
  for (const [kind, patch] of Object.entries(shippedForms())) {
    // A page of its own per form: each download goes to a directory of its own.
    const { page, downloads } = await openPage();
    await chooseFiles(page, "apply", files.source, patch);
    const found = await checked(page);
    assert.equal(found.state, "good", `${kind}: ${found.words}`);
    assert.match(found.words, kind === "container" ? /is a compressed Varnock patch/ : new RegExp(`compressed with ${kind}`));
    await runTask(page, "apply", files.source, patch);
    assert.equal(await shown(page, "#error"), false, `${kind}: ${await text(page, "#error")}`);
    assert.deepEqual(await download(page, downloads), fs.readFileSync(files.rebuilt), kind);
    await closePage(page);
  }
});

for (const [what, source, patch, words] of [
  ["wrong-source", () => files.wrongSource, () => files.patch, /made for another version of the old file/],
  ["incomplete-patch", () => files.source, () => files.incompletePatch, /patch file is incomplete/],
  ["text-as-patch", () => files.source, () => files.notes, /The file chosen as the patch is not a Varnock patch/],
]) {
  test(`${what}, applied regardless: the page says what went wrong in plain words, and still works`, async () => {
    const { page, downloads } = await openPage();
    await runTask(page, "apply", source(), patch());
    assert.match(await text(page, "#error-text"), words);
    assert.equal(await shown(page, "#result"), false);
    await screenshots(page, `error-${what}`);
    await runTask(page, "apply", files.source, files.patch);
    assert.deepEqual(await download(page, downloads), fs.readFileSync(files.rebuilt));
    await closePage(page);
  });
}
