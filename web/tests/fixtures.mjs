// Files for the browser tests, written to a temporary directory: inputs, the
// native programs' patches and targets, and large files made by ranges. Large
// patches are built here from the format's instructions (a copy is opcode 0xFE
// with a big-endian 32-bit offset and length, a literal 0xF8 with a 32-bit
// length), because making one with the maker would need the source's index.
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { execFileSync } from "node:child_process";
import { crc32 } from "node:zlib";
import { varnock, varnockDiff } from "./paths.mjs";

export function temporaryDirectory() {
  return fs.mkdtempSync(path.join(os.tmpdir(), "varnock-web-"));
}

export function pseudoRandom(length, seed) {
  const bytes = Buffer.alloc(length);
  let state = seed >>> 0 || 1;
  for (let i = 0; i < length; i += 4) {
    state ^= state << 13;
    state ^= state >>> 17;
    state ^= state << 5;
    bytes.writeUInt32LE(state >>> 0, i - (i + 4 > length ? i + 4 - length : 0));
  }
  return bytes;
}

export function runNative(program, ...args) {
  execFileSync(program, args, { stdio: "pipe" });
}

// A source, an edited target, and the native varnock-diff's patch between them.
export function smallSet(dir, size) {
  const source = pseudoRandom(size, 11);
  const third = Math.floor(size / 3);
  const target = Buffer.concat([source.subarray(third), pseudoRandom(4096, 12), source.subarray(0, third)]);
  const set = { source: path.join(dir, "game-1.0.bin"), target: path.join(dir, "game-1.1.bin"),
    patch: path.join(dir, "game-1.0-to-1.1.patch"), rebuilt: path.join(dir, "native-rebuilt.bin") };
  fs.writeFileSync(set.source, source);
  fs.writeFileSync(set.target, target);
  runNative(varnockDiff, "-q", set.source, set.target, set.patch);
  runNative(varnock, set.source, set.rebuilt, set.patch);
  return set;
}

// A source of `size` bytes written in 1 MiB blocks (each block different),
// and a patch that rebuilds it with `insert` bytes put in the middle. Returns
// the target's size and CRC-32.
export function largeSet(dir, size, insert = 4096) {
  const block = pseudoRandom(1 << 20, 21);
  const sourcePath = path.join(dir, "large-source.bin");
  const file = fs.openSync(sourcePath, "w");
  let sourceCrc = 0;
  for (let at = 0, index = 0; at < size; at += block.length, index += 1) {
    block.writeUInt32LE(index, 0);
    const piece = block.subarray(0, Math.min(block.length, size - at));
    fs.writeSync(file, piece);
    sourceCrc = crc32(piece, sourceCrc);
  }
  fs.closeSync(file);
  const half = Math.floor(size / 2);
  const inserted = pseudoRandom(insert, 22);
  // The target's CRC-32 over the source's two halves around the insert.
  let targetCrc = 0;
  const reader = fs.openSync(sourcePath, "r");
  const buffer = Buffer.alloc(1 << 20);
  const crcOfRange = (from, to) => {
    for (let at = from; at < to;) {
      const count = fs.readSync(reader, buffer, 0, Math.min(buffer.length, to - at), at);
      targetCrc = crc32(buffer.subarray(0, count), targetCrc);
      at += count;
    }
  };
  crcOfRange(0, half);
  targetCrc = crc32(inserted, targetCrc);
  crcOfRange(half, size);
  fs.closeSync(reader);
  const copy = (offset, length) => {
    const bytes = Buffer.alloc(9);
    bytes[0] = 0xfe;
    bytes.writeUInt32BE(offset, 1);
    bytes.writeUInt32BE(length, 5);
    return bytes;
  };
  const literal = Buffer.alloc(5);
  literal[0] = 0xf8;
  literal.writeUInt32BE(insert, 1);
  const header = Buffer.alloc(12);
  header.writeUInt16LE(12, 0);
  header.writeUInt32LE(sourceCrc, 4);
  header.writeUInt32LE(targetCrc, 8);
  const patchPath = path.join(dir, "large.patch");
  fs.writeFileSync(patchPath, Buffer.concat([header, Buffer.from([0xd1, 0xff, 0xd1, 0xff, 4]), copy(0, half),
    literal, inserted, copy(half, size - half), Buffer.from([0])]));
  return { source: sourcePath, patch: patchPath, targetSize: size + insert, targetCrc };
}
