// What the page tells of the files chosen, in headless Chromium: faults it
// guards against are the wrong explanation for a wrong file (a file that is
// not a patch, the files swapped, a patch for another file, a damaged or
// incomplete patch), and a page left unusable after one.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { smallSet, temporaryDirectory, pseudoRandom } from "./fixtures.mjs";
import { startBrowser, openPage as open, closePage as close, runTask, text, shown, download,
  screenshots } from "./page-driver.mjs";

let server;
let browser;
let dir;
let files;

before(async () => {
  dir = temporaryDirectory();
  files = smallSet(dir, 3 << 20);
  files.wrongSource = path.join(dir, "game-0.9.bin");
  fs.writeFileSync(files.wrongSource, pseudoRandom(3 << 20, 99));
  files.incompletePatch = path.join(dir, "incomplete.patch");
  const patch = fs.readFileSync(files.patch);
  fs.writeFileSync(files.incompletePatch, patch.subarray(0, patch.length - 100));
  ({ server, browser } = await startBrowser());
});

after(async () => {
  await browser?.close();
  await server?.close();
  if (dir) fs.rmSync(dir, { recursive: true, force: true });
});

const openPage = () => open(browser, `${server.origin}/page/index.html`, dir);
const closePage = (page) => close(browser, page);

for (const [what, source, patch, words] of [
  ["wrong-source", () => files.wrongSource, () => files.patch, /made for another version of the old file/],
  ["incomplete-patch", () => files.source, () => files.incompletePatch, /patch file is incomplete/],
]) {
  test(`${what}: the page says what went wrong in plain words, and still works`, async () => {
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
