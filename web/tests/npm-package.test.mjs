// The npm package as a user gets it: `npm pack` makes varnock-<version>.tgz,
// which installs into an empty project and works from Node on Buffers read
// from file paths. Guards against a tarball missing a file the module needs
// (the .wasm, the types, the licence) or a module that only works in place,
// and types that let through a sink the module refuses.
import { test } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { execFileSync, spawnSync } from "node:child_process";
import { fileURLToPath } from "node:url";
import { projectRoot, webBuild } from "./paths.mjs";
import { temporaryDirectory } from "./fixtures.mjs";

const npmDir = path.join(webBuild, "npm");
const { version } = JSON.parse(fs.readFileSync(path.join(npmDir, "package.json"), "utf8"));

test("npm pack makes varnock-<version>.tgz with the module, the wasm, the types, the README and the licence", () => {
  const packed = JSON.parse(execFileSync("npm", ["pack", "--json", "--pack-destination", webBuild], { cwd: npmDir }));
  assert.equal(packed[0].filename, `varnock-${version}.tgz`);
  const names = packed[0].files.map((file) => file.path).sort();
  assert.deepEqual(names, ["LICENSE", "README.md", "index.d.ts", "index.js", "package.json", "varnock-core.mjs",
    "varnock-core.wasm"]);
});

test("the tarball installed into an empty project applies and makes patches from Node", () => {
  const tarball = path.join(webBuild, `varnock-${version}.tgz`);
  assert.ok(fs.existsSync(tarball), "run the npm pack test first");
  const project = temporaryDirectory();
  try {
    fs.writeFileSync(path.join(project, "package.json"), JSON.stringify({ name: "user", private: true, type: "module" }));
    execFileSync("npm", ["install", "--offline", "--no-audit", "--no-fund", tarball], { cwd: project, stdio: "pipe" });
    const examples = path.join(projectRoot, "examples");
    fs.writeFileSync(path.join(project, "use.mjs"), `
      import { applyPatch, applyPatchTo, makePatch, VarnockError } from "varnock";
      import { readFileSync, openSync, writeSync, closeSync } from "node:fs";
      const [oldPath, newPath, patchPath, outPath] = process.argv.slice(2);
      const source = readFileSync(oldPath);
      const rebuilt = await applyPatch(source, readFileSync(patchPath));
      if (!Buffer.from(rebuilt).equals(readFileSync(newPath))) throw new Error("applied target differs");
      const patch = await makePatch(source, readFileSync(newPath));
      const out = openSync(outPath, "w");
      const written = await applyPatchTo(source, patch, (piece) => writeSync(out, piece));
      closeSync(out);
      if (!readFileSync(outPath).equals(readFileSync(newPath))) throw new Error("streamed target differs");
      try {
        await applyPatch(readFileSync(newPath), patch);
        throw new Error("a wrong source was accepted");
      } catch (error) {
        if (!(error instanceof VarnockError) || error.code !== "SOURCE_CHECKSUM") throw error;
      }
      console.log(written.size);
    `);
    const output = execFileSync("node", ["use.mjs", path.join(examples, "old.txt"), path.join(examples, "new.txt"),
      path.join(examples, "old-to-new.patch"), path.join(project, "out.txt")], { cwd: project, encoding: "utf8" });
    assert.equal(Number(output.trim()), fs.statSync(path.join(examples, "new.txt")).size);
  } finally {
    fs.rmSync(project, { recursive: true, force: true });
  }
});

test("the types take the sinks the module takes and refuse one that returns a promise, in a page and a worker", () => {
  const project = temporaryDirectory();
  const module = JSON.stringify(path.join(npmDir, "index.js"));
  const tsc = path.join(path.dirname(fileURLToPath(import.meta.url)), "node_modules", "typescript", "bin", "tsc");
  try {
    fs.writeFileSync(path.join(project, "sinks.ts"), `
      import { applyPatchTo, makePatchTo } from ${module};
      declare function writeSync(fd: number, bytes: Uint8Array): number;
      export async function sinks(source: Uint8Array, patch: Uint8Array, fd: number): Promise<void> {
        const pieces: Uint8Array[] = [];
        await applyPatchTo(source, patch, (piece) => pieces.push(piece.slice()));
        await applyPatchTo(source, patch, (piece) => writeSync(fd, piece));
        await applyPatchTo(source, patch, (piece) => { pieces.push(piece.slice()); });
        await makePatchTo(source, patch, new WritableStream<Uint8Array>({ write: async () => {} }));
        // @ts-expect-error an async function
        await applyPatchTo(source, patch, async (piece) => { pieces.push(piece.slice()); });
        // @ts-expect-error a function that returns a promise
        await makePatchTo(source, patch, (piece) => Promise.resolve(piece));
      }`);
    fs.writeFileSync(path.join(project, "worker.ts"), `
      import { applyPatchTo } from ${module};
      export const toFile = (source: Uint8Array, patch: Uint8Array, file: FileSystemSyncAccessHandle) =>
        applyPatchTo(source, patch, file);`);
    const options = ["--noEmit", "--strict", "--target", "es2022", "--module", "es2022", "--moduleResolution", "bundler"];
    for (const [lib, files] of [["es2022,dom", ["sinks.ts"]], ["es2022,webworker", ["sinks.ts", "worker.ts"]]]) {
      const run = spawnSync("node", [tsc, ...options, "--lib", lib, ...files], { cwd: project, encoding: "utf8" });
      assert.equal(run.status, 0, `${lib}: ${run.stdout}${run.stderr}`);
    }
  } finally {
    fs.rmSync(project, { recursive: true, force: true });
  }
});
