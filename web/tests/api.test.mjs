// The module's API table (api-cases.js) under Node, against the npm
// package's directory as built (VARNOCK_WEB_BUILD, default build/wasm); and,
// Node only, patches compressed by the xz and zstd programs, containers of
// executables that must equal the native maker's, and the package with a
// damaged .wasm.
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync, spawnSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { pathToFileURL } from "node:url";
import { cases } from "./api-cases.js";
import { runNative, smallSet, temporaryDirectory } from "./fixtures.mjs";
import { projectRoot, varnockDiff, webBuild } from "./paths.mjs";

const npmDir = path.join(webBuild, "npm");
const api = await import(pathToFileURL(path.join(npmDir, "index.js")).href);

for (const { name, run } of cases) test(name, () => run(api));

test("a raw patch compressed by xz or zstd is told by kind and applies, from bytes and from Blobs", async () => {
  const dir = temporaryDirectory();
  try {
    const files = smallSet(dir, 1 << 20);
    const rebuilt = fs.readFileSync(files.rebuilt);
    const source = fs.readFileSync(files.source);
    for (const kind of ["xz", "zstd"]) {
      const patch = execFileSync(kind, ["-9", "-c", files.patch]);
      assert.equal((await api.inspectPatch(patch)).kind, kind);
      assert.deepEqual(Buffer.from(await api.applyPatch(source, patch)), rebuilt, kind);
      assert.deepEqual(Buffer.from(await api.applyPatch(new Blob([source]), new Blob([patch]))), rebuilt, kind);
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test("a container of an executable of each kind is the native varnock-diff -z's and applies", async () => {
  const fixtures = path.join(projectRoot, "tests", "unit", "data", "exe");
  const dir = temporaryDirectory();
  try {
    for (const name of ["x86_64.so", "i386.so", "aarch64.so", "arm.so", "i386.dll", "x86_64.dll"]) {
      const older = path.join(fixtures, name);
      const newer = path.join(fixtures, name.replace(/(\.[a-z]+)$/, "-newer$1"));
      const native = path.join(dir, `${name}.box`);
      runNative(varnockDiff, "-q", "-f", "-z", older, newer, native);
      const source = fs.readFileSync(older);
      const target = fs.readFileSync(newer);
      const made = Buffer.from(await api.makePatch(source, target, { container: true }));
      assert.deepEqual(made, fs.readFileSync(native), `${name}: not the native container`);
      assert.deepEqual(Buffer.from(await api.applyPatch(source, made)), target, name);
      assert.deepEqual(Buffer.from(await api.applyPatch(new Blob([source]), new Blob([made]))), target, name);
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test("a damaged varnock-core.wasm makes each call reject with an error that names it, printing nothing", () => {
  const copy = temporaryDirectory();
  try {
    fs.cpSync(npmDir, copy, { recursive: true });
    const wasm = path.join(copy, "varnock-core.wasm");
    const bytes = fs.readFileSync(wasm);
    fs.writeFileSync(wasm, bytes.subarray(0, bytes.length >> 1));
    const script = `
      const api = await import(${JSON.stringify(pathToFileURL(path.join(copy, "index.js")).href)});
      for (const call of [() => api.version(), () => api.applyPatch(new Uint8Array(0), new Uint8Array(0))]) {
        try {
          await call();
          console.log("resolved");
        } catch (error) {
          console.log(error.constructor.name + ": " + error.message);
        }
      }`;
    const run = spawnSync("node", ["--input-type=module", "-e", script], { encoding: "utf8" });
    assert.deepEqual([run.status, run.stderr], [0, ""]);
    const lines = run.stdout.trim().split("\n");
    assert.equal(lines.length, 2, run.stdout);
    for (const line of lines) assert.match(line, /^Error: varnock-core\.wasm cannot be loaded from file:.*: \S/);
  } finally {
    fs.rmSync(copy, { recursive: true, force: true });
  }
});
