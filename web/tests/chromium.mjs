// Debian's Chromium, headless, driven through the DevTools protocol; nothing
// downloads a browser. Each launch has a profile of its own, made for it and
// removed with it, unless it is given one (`profile`, a directory the caller
// keeps: a browser opened on it again finds what the last one left).
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import puppeteer from "puppeteer-core";

export const chromiumPath = process.env.VARNOCK_CHROMIUM || "/usr/bin/chromium";

export async function launchChromium({ profile: given } = {}) {
  const profile = given || fs.mkdtempSync(path.join(os.tmpdir(), "varnock-chromium-"));
  const browser = await puppeteer.launch({
    executablePath: chromiumPath,
    headless: true,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync",
      `--user-data-dir=${profile}`],
  });
  const close = browser.close.bind(browser);
  browser.close = async () => {
    await close();
    if (!given) fs.rmSync(profile, { recursive: true, force: true });
  };
  return browser;
}
