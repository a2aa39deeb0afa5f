// Drives the page in headless Chromium as a user would, through its controls'
// roles and labels: the browser, the server of the page's files, fresh tabs,
// a task run, and the page's state read back for the tests.
import fs from "node:fs";
import path from "node:path";
import { before, after } from "node:test";
import { smallSet, temporaryDirectory } from "./fixtures.mjs";
import { startServer } from "./serve.mjs";
import { launchChromium } from "./chromium.mjs";
import { projectRoot, webBuild } from "./paths.mjs";

export const artifacts = path.resolve(process.env.VARNOCK_ARTIFACTS || path.join(webBuild, "artifacts"));
export const kPhone = { width: 390, height: 844 };
export const kDesktop = { width: 1280, height: 800 };

export const kTaskLabels = {
  apply: "Apply a patch (old file + patch → new file)",
  make: "Make a patch (old file + new file → patch)",
};
export const kPickLabel = "Save straight to a file I choose (the browser asks where when you start)";
export const kContainerLabel = "Compress the patch, the smallest to send (Varnock applies it from this version on)";

export async function startBrowser() {
  const server = await startServer({ "/page/": path.join(webBuild, "page"), "/npm/": path.join(webBuild, "npm"),
    "/tests/": path.join(projectRoot, "web", "tests") });
  const browser = await launchChromium();
  fs.mkdirSync(artifacts, { recursive: true });
  return { server, browser };
}

// A test file's browser, the server of the page's files and a scratch
// directory holding the small set of files (fixtures.mjs): made before the
// file's tests, handed to `take`, and gone after them. The files are handed
// over before the browser starts: a file's hook runs at once up to its first
// wait, and test names made as the file loads may name them.
export function pageSuite(take) {
  const made = {};
  before(async () => {
    made.dir = temporaryDirectory();
    made.files = smallSet(made.dir, 3 << 20);
    take(made);
    Object.assign(made, await startBrowser());
    take(made);
  });
  after(async () => {
    await made.browser?.close();
    await made.server?.close();
    if (made.dir) fs.rmSync(made.dir, { recursive: true, force: true });
  });
}

// A fresh tab on the page, with every request it makes recorded, and its
// downloads going to a directory of its own. A context of its own gives the
// tab a renderer process of its own; such a context is off the record and
// keeps its private file system in memory with a small quota: a large result
// needs the default context, on disk. `prepare(page)` runs before the page loads.
export async function openPage(browser, url, downloadsParent, { ownContext = true, prepare } = {}) {
  const context = ownContext ? await browser.createBrowserContext() : browser.defaultBrowserContext();
  const page = await context.newPage();
  await page.setViewport(kDesktop);
  const requests = [];
  page.on("request", (request) => requests.push(request.url()));
  const downloads = fs.mkdtempSync(path.join(downloadsParent, "downloads-"));
  const session = await browser.target().createCDPSession();
  await session.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads,
    ...(ownContext ? { browserContextId: context.id } : {}) });
  if (prepare) await prepare(page);
  await page.goto(url, { waitUntil: "load" });
  return { page, requests, downloads };
}

export async function closePage(browser, page) {
  if (page.browserContext() === browser.defaultBrowserContext()) await page.close();
  else await page.browserContext().close();
}

// The control whose accessible name is `name` (a label, a button's words).
// Waits until it is shown: a loaded machine may still be drawing the last state.
export async function control(page, name) {
  const handle = await page.waitForSelector(`::-p-aria([name=${JSON.stringify(name)}])`, { visible: true, timeout: 60_000 });
  // While the page scrolls what comes next into view, the layout can leave the
  // control no point to press for a moment: it is pressed again shortly after.
  const click = handle.click.bind(handle);
  handle.click = async (options) => {
    for (let attempt = 1; ; attempt++) {
      try {
        return await click(options);
      } catch (error) {
        if (attempt === 5 || !/not clickable/.test(error.message)) throw error;
        await new Promise((resolve) => setTimeout(resolve, 200));
      }
    }
  };
  return handle;
}

// The file input labelled `label` (its accessible node is the button inside
// it, which takes no files).
export async function fileInput(page, label) {
  const input = await page.evaluateHandle((name) => [...document.querySelectorAll("input[type=file]")]
    .find((element) => [...element.labels].some((each) => each.textContent.trim() === name)), label);
  if (!input.asElement()) throw new Error(`no file input labelled ${label}`);
  return input.asElement();
}

export async function setChecked(page, name, on) {
  const box = await control(page, name);
  if ((await box.evaluate((element) => element.checked)) !== on) await box.click();
}

export async function chooseFiles(page, task, first, second) {
  await (await control(page, kTaskLabels[task])).click();
  await (await fileInput(page, "Old file")).uploadFile(first);
  await (await fileInput(page, task === "make" ? "New file" : "Patch")).uploadFile(second);
}

const kOutcome = "#result:not([hidden]), #error:not([hidden]), #cancelled:not([hidden])";

// Chooses the files, presses the task's button and waits for its outcome.
// Saving to a picked file is off unless asked for (headless, the browser's
// picker cannot be answered; tests that pick replace it).
// Making, the patch is compressed unless `container` is false.
export async function runTask(page, task, first, second, { pick = false, container = true } = {}) {
  await setChecked(page, kPickLabel, pick).catch(() => {});
  await chooseFiles(page, task, first, second);
  if (task === "make") await setChecked(page, kContainerLabel, container);
  // A new choice clears the last outcome, so the one waited for is this task's.
  await page.waitForFunction((selector) => !document.querySelector(selector), {}, kOutcome);
  await pressStart(page, task);
  await page.waitForSelector(kOutcome, { timeout: 600_000 });
}

// Presses the task's button once it is enabled, and again should the page not
// take the press: a check finishing as the click lands scrolls its finding
// into view, and the click then meets whatever moved under it. The page
// disables the button as it takes a press, and an outcome shown says the
// same of a job over already.
export async function pressStart(page, task) {
  const start = await control(page, task === "make" ? "Make the patch" : "Apply the patch");
  await page.waitForFunction((button) => !button.disabled, { timeout: 60_000 }, start);
  for (let attempt = 1; ; attempt++) {
    await start.click();
    try {
      await page.waitForFunction((button, outcome) => button.disabled || document.querySelector(outcome),
        { timeout: 5_000 }, start, kOutcome);
      return;
    } catch (error) {
      if (attempt === 5) throw error;
    }
  }
}

export const text = (page, selector) => page.$eval(selector, (element) => element.textContent);
export const shown = (page, selector) =>
  page.$eval(selector, (element) => !element.hidden && element.getClientRects().length > 0);

// Whether the element lies wholly inside the viewport.
export const inView = (page, selector) => page.$eval(selector, (element) => {
  const box = element.getBoundingClientRect();
  return box.top >= -1 && box.bottom <= window.innerHeight + 1 && box.height > 0;
});

// Clicks the result's link and waits for the file Chromium saves.
export async function download(page, downloads) {
  const name = await page.$eval("#download", (link) => link.download);
  await page.click("#download");
  const file = path.join(downloads, name);
  for (let tries = 0; tries < 600 && !fs.existsSync(file); tries += 1) await new Promise((r) => setTimeout(r, 100));
  return fs.readFileSync(file);
}

// The names in the origin's private file system.
// What the origin's private storage holds once a worker's start-up probe, a
// file it makes and removes at once, has had five seconds to go.
export const privateFiles = (page) => page.evaluate(async () => {
  for (let waited = 0; ; waited += 100) {
    const names = [];
    for await (const name of (await navigator.storage.getDirectory()).keys()) names.push(name);
    if (!names.some((name) => name.endsWith("-probe")) || waited >= 5000) return names;
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
});

// The names of the page's own files in the origin's private file system.
export const ourFiles = (page) => page.evaluate(async () => {
  const names = [];
  for await (const name of (await navigator.storage.getDirectory()).keys()) {
    if (name.startsWith("varnock-")) names.push(name);
  }
  return names.sort();
});

// Waits for the start-up tidy of the page's task worker, which the page
// itself waits for before a job (page.js, `privateStorage`).
export const tidied = (page) => page.evaluate(() => worker.privateStorage);

// Every Worker the page makes, kept in `window.madeWorkers` with the messages
// sent to it (`sent`), so that a test can find the one given a task and stop
// it or make it seem to fail. Test code only: the page has no handle on its
// workers for anyone else.
export const catchWorkers = (page) => page.evaluateOnNewDocument(() => {
  window.madeWorkers = [];
  const Made = window.Worker;
  window.Worker = class extends Made {
    constructor(...args) {
      super(...args);
      this.sent = [];
      window.madeWorkers.push(this);
    }

    postMessage(message, ...rest) {
      this.sent.push(message);
      return super.postMessage(message, ...rest);
    }
  };
});

// The requests of tasks (not inquiries) the page sent its workers, with the
// old file's CRC-32 each carried (null for none).
export const taskRequests = (page) => page.evaluate(() => window.madeWorkers.flatMap((made) => made.sent)
  .filter((message) => message.task && !message.inquiry)
  .map(({ task, sourceCrc32 }) => ({ task, sourceCrc32: sourceCrc32 ?? null })));

// A screenshot of the page's state at both widths, for CI's artefacts.
export async function screenshots(page, state) {
  const viewport = page.viewport();
  for (const [width, size] of [["1280", kDesktop], ["390", kPhone]]) {
    await page.setViewport(size);
    await page.screenshot({ path: path.join(artifacts, `page-${state}-${width}.png`), fullPage: true });
  }
  if (viewport) await page.setViewport(viewport);
}

// The accessibility checker's violations on the page as it is.
export async function axeViolations(page) {
  // Evaluated through DevTools, which the page's script policy does not govern.
  await page.evaluate(fs.readFileSync(path.join(projectRoot, "web", "tests", "node_modules", "axe-core", "axe.min.js"),
    "utf8"));
  return page.evaluate(async () => (await window.axe.run(document)).violations.map(({ id, nodes }) =>
    `${id}: ${nodes.map((node) => node.target.join(" ")).join(", ")}`));
}
