// The JavaScript module's behaviour, as one table run both under Node
// (api.test.mjs) and in Chromium (page.test.mjs, through api-cases.html):
// faults it guards against are a wrapper that loses or reorders bytes between
// the module's memory and the caller, codes or messages that drift from the
// library's, progress and cancellation that do not reach the library, and
// sinks that write the wrong bytes or report the wrong size or CRC-32.

// Inputs made here, the same on every run.
function pseudoRandom(length, seed) {
  const bytes = new Uint8Array(length);
  let state = seed >>> 0 || 1;
  for (let i = 0; i < length; i += 1) {
    state ^= state << 13;
    state ^= state >>> 17;
    state ^= state << 5;
    bytes[i] = state & 0xff;
  }
  return bytes;
}

// The target: the source with a piece moved, a piece replaced and bytes added.
function edited(source) {
  const third = Math.floor(source.length / 3);
  const parts = [source.subarray(third, 2 * third), pseudoRandom(777, 9), source.subarray(0, third),
    source.subarray(2 * third + 1000)];
  const target = new Uint8Array(parts.reduce((sum, part) => sum + part.length, 0));
  let at = 0;
  for (const part of parts) {
    target.set(part, at);
    at += part.length;
  }
  return target;
}

// An independent CRC-32 (ISO-HDLC), to check the one the module reports;
// `crc` continues an earlier one.
const kCrcTable = Array.from({ length: 256 }, (_, byte) => {
  let crc = byte;
  for (let bit = 0; bit < 8; bit += 1) crc = (crc >>> 1) ^ (0xedb88320 & -(crc & 1));
  return crc >>> 0;
});
function crc32(bytes, crc = 0) {
  let running = ~crc;
  for (let i = 0; i < bytes.length; i += 1) running = (running >>> 8) ^ kCrcTable[(running ^ bytes[i]) & 0xff];
  return ~running >>> 0;
}

// A source larger than the module reads whole from a Blob (32 MiB), and a
// patch built by hand that rebuilds it with its halves swapped: a patch made
// by the maker would take its index of the source. A copy is opcode 0xFE with
// a big-endian 32-bit offset and length; the header holds both CRC-32s.
function largeInputs() {
  const block = pseudoRandom(1 << 20, 5);
  const large = new Uint8Array(33 << 20);
  for (let at = 0; at < large.length; at += block.length) {
    large.set(block, at);
    large[at] = at >>> 20;
  }
  const half = large.length / 2;
  const patch = new Uint8Array(12 + 5 + 9 + 9 + 1);
  const view = new DataView(patch.buffer);
  view.setUint16(0, 12, true);
  view.setUint32(4, crc32(large), true);
  view.setUint32(8, crc32(large.subarray(0, half), crc32(large.subarray(half))), true);
  patch.set([0xd1, 0xff, 0xd1, 0xff, 4], 12);
  [[half, half], [0, half]].forEach(([offset, length], i) => {
    patch[17 + 9 * i] = 0xfe;
    view.setUint32(18 + 9 * i, offset, false);
    view.setUint32(22 + 9 * i, length, false);
  });
  const target = new Uint8Array(large.length);
  target.set(large.subarray(half));
  target.set(large.subarray(0, half), half);
  return { source: large, patch, target };
}

// The names in the private file system, where this thread has one (a page's
// main thread and Node have none).
async function privateFiles() {
  if (typeof navigator === "undefined" || !navigator.storage || !navigator.storage.getDirectory) return [];
  const names = [];
  for await (const name of (await navigator.storage.getDirectory()).keys()) names.push(name);
  return names;
}

// Whether this thread has sync access handles: a dedicated worker's has.
const hasSyncAccess = typeof FileSystemFileHandle !== "undefined" &&
  typeof FileSystemFileHandle.prototype.createSyncAccessHandle === "function";

function equal(a, b) {
  if (a.length !== b.length) return false;
  for (let i = 0; i < a.length; i += 1) if (a[i] !== b[i]) return false;
  return true;
}

function check(condition, what) {
  if (!condition) throw new Error(what);
}

async function rejection(promise) {
  try {
    await promise;
  } catch (error) {
    return error;
  }
  throw new Error("expected the call to fail");
}

function checkError(api, error, code, message) {
  check(error instanceof api.VarnockError, `expected a VarnockError, got ${error}`);
  check(error.code === code, `code ${error.code}, expected ${code}`);
  check(error.message === message, `message "${error.message}", expected "${message}"`);
}

const source = pseudoRandom(300_000, 1);
const target = edited(source);

// Patches that fail, each with the library's code and exact message.
const kFailures = [
  { name: "a patch for another source", source: () => target, code: "SOURCE_CHECKSUM",
    message: "Source file checksum don't match" },
  { name: "an empty patch", patch: () => new Uint8Array(0), code: "NO_HEADER", message: "Patch file contains no header." },
  { name: "bytes that are no patch", patch: (good) => good.map((byte, i) => (i >= 12 && i < 16 ? 0 : byte)),
    code: "NOT_A_PATCH", message: "<patch> is not a patch" },
  { name: "a truncated patch", patch: (good) => good.subarray(0, good.length - 40), code: "UNEXPECTED_END",
    message: "Unexpected end of patch file" },
];

export const cases = [
  ...[
    ["empty files", new Uint8Array(0), new Uint8Array(0)],
    ["an empty source", new Uint8Array(0), pseudoRandom(5000, 3)],
    ["an edited file", source, target],
    ["the same file", source, source],
  ].map(([what, from, to]) => ({
    name: `makePatch then applyPatch rebuild ${what}, from Uint8Arrays and from Blobs alike`,
    async run(api) {
      const patch = await api.makePatch(from, to);
      check(equal(await api.applyPatch(from, patch), to), "target from Uint8Arrays differs");
      const fromBlobs = await api.applyPatch(new Blob([from]), new Blob([patch]));
      check(equal(fromBlobs, to), "target from Blobs differs");
      // A cache of one block makes every copy from elsewhere read its block anew.
      check(equal(await api.applyPatch(from, patch, { sourceCache: 1 }), to), "target through a small cache differs");
      check(equal(await api.makePatch(new Blob([from]), new Blob([to])), patch), "patch from Blobs differs");
    },
  })),
  ...kFailures.map((failure) => ({
    name: `applyPatch of ${failure.name} rejects with ${failure.code} and the library's message`,
    async run(api) {
      const good = await api.makePatch(source, target);
      const from = failure.source ? failure.source() : source;
      const patch = failure.patch ? failure.patch(good) : good;
      checkError(api, await rejection(api.applyPatch(from, patch)), failure.code, failure.message);
      const pieces = [];
      checkError(api, await rejection(api.applyPatchTo(from, patch, (piece) => pieces.push(piece.slice()))),
        failure.code, failure.message);
    },
  })),
  {
    name: "applyPatchTo and makePatchTo hand a function, a WritableStream and a sync-access-like handle the same bytes",
    async run(api) {
      const patch = await api.makePatch(source, target);
      const sinks = {
        function() {
          const pieces = [];
          return { sink: (piece) => pieces.push(piece.slice()), bytes: () => pieces };
        },
        stream() {
          const pieces = [];
          return { sink: new WritableStream({ write: (piece) => pieces.push(piece) }), bytes: () => pieces };
        },
        handle() {
          const file = new Uint8Array(target.length + 100).fill(7);
          let size = file.length;
          const handle = {
            truncate: (length) => { size = length; },
            write: (piece, { at }) => { file.set(piece, at); size = Math.max(size, at + piece.length); return piece.length; },
            flush: () => {},
            getSize: () => size,
          };
          return { sink: handle, bytes: () => [file.subarray(0, size)] };
        },
      };
      for (const [kind, make] of Object.entries(sinks)) {
        for (const [call, args, expected] of [
          [api.applyPatchTo, [source, patch], target],
          [api.makePatchTo, [source, target], patch],
        ]) {
          const { sink, bytes } = make();
          const written = await call(...args, sink);
          const whole = new Uint8Array(await new Blob(bytes()).arrayBuffer());
          check(equal(whole, expected), `${kind}: bytes differ`);
          check(written.size === expected.length, `${kind}: size ${written.size}, expected ${expected.length}`);
          check(written.crc32 === crc32(expected), `${kind}: CRC-32 ${written.crc32}, expected ${crc32(expected)}`);
        }
      }
    },
  },
  {
    name: "a WritableStream takes the output a chunk at a time once the call succeeded, and nothing from a failure",
    async run(api) {
      const patch = await api.makePatch(source, target);
      let busy = 0;
      let mostBusy = 0;
      let stagedInScratch = null;
      const pieces = [];
      const slow = new WritableStream({
        async write(piece) {
          if (stagedInScratch === null) {
            stagedInScratch = (await privateFiles()).some((name) => name.startsWith("varnock-scratch-"));
          }
          busy += 1;
          mostBusy = Math.max(mostBusy, busy);
          await new Promise((resolve) => setTimeout(resolve, 1));
          pieces.push(piece);
          busy -= 1;
        },
      }, { highWaterMark: 1 });
      await api.applyPatchTo(source, patch, slow);
      check(equal(new Uint8Array(await new Blob(pieces).arrayBuffer()), target), "bytes differ");
      check(mostBusy === 1, `the stream was given ${mostBusy} chunks at once`);
      // Where the thread has sync access, the output waited in a scratch file, not in memory.
      check(stagedInScratch === hasSyncAccess, `staged in a scratch file: ${stagedInScratch}`);
      check(!slow.locked, "the stream is left locked");
      pieces.length = 0;
      checkError(api, await rejection(api.applyPatchTo(target, patch, slow)), "SOURCE_CHECKSUM",
        "Source file checksum don't match");
      check(pieces.length === 0, "a failed call wrote to the stream");
      // Locked by its host during a failing call: still the call's own error.
      let hostWriter = null;
      const lockIt = () => { hostWriter = hostWriter || slow.getWriter(); };
      checkError(api, await rejection(api.applyPatchTo(target, patch, slow, { onProgress: lockIt })),
        "SOURCE_CHECKSUM", "Source file checksum don't match");
      hostWriter.releaseLock();
      check((await privateFiles()).every((name) => !name.startsWith("varnock-scratch-")), "a scratch file is left");
    },
  },
  {
    name: "a large Blob is applied exactly, read where it lies, leaving no file behind",
    async run(api) {
      const large = largeInputs();
      const stages = new Set();
      const onProgress = (stage) => stages.add(stage);
      const pieces = [];
      const written = await api.applyPatchTo(new Blob([large.source]), new Blob([large.patch]),
        (piece) => pieces.push(piece.slice()), { onProgress, sourceCache: 1 << 20 });
      check(equal(new Uint8Array(await new Blob(pieces).arrayBuffer()), large.target), "bytes differ");
      check(written.crc32 === crc32(large.target), "CRC-32 differs");
      check([...stages].join() === "checksum,writing,verifying", `stages ${[...stages]}`);
      check((await privateFiles()).every((name) => !name.startsWith("varnock-scratch-")), "a scratch file is left");
    },
  },
  {
    name: "a sink function that returns a promise is refused with a TypeError, its rejection taken care of",
    async run(api) {
      const patch = await api.makePatch(source, target);
      // Each sink keeps what it got only later, as a write that completes
      // later reads it; `followed` tells whether its failure was taken care of.
      let followed = false;
      const kept = [];
      const later = (piece) => new Promise((resolve) => setTimeout(() => resolve(kept.push(piece.slice())), 1));
      const sinks = {
        "an async function": async (piece) => later(piece),
        "a function returning a promise": (piece) => later(piece),
        "a function returning a thenable that fails": (piece) => ({
          then(onDone, onFailed) {
            followed = typeof onFailed === "function";
            setTimeout(() => onFailed && onFailed(new Error("disk full")), 1);
            later(piece);
          },
        }),
      };
      for (const [kind, sink] of Object.entries(sinks)) {
        for (const call of [() => api.applyPatchTo(source, patch, sink), () => api.makePatchTo(source, target, sink)]) {
          const error = await rejection(call());
          check(error instanceof TypeError, `${kind}: got ${error}`);
        }
      }
      check(followed, "the thenable's failure was left to nobody");
      await new Promise((resolve) => setTimeout(resolve, 20));
      check(kept.length <= 4, `the sinks were handed ${kept.length} pieces after the first`);
    },
  },
  {
    name: "a sync access handle that writes less than asked, or throws, fails the call with WRITE",
    async run(api) {
      const patch = await api.makePatch(source, target);
      for (const write of [(piece) => piece.length - 1, () => { throw new Error("quota"); }]) {
        const handle = { truncate: () => {}, write, flush: () => {}, getSize: () => 0 };
        checkError(api, await rejection(api.applyPatchTo(source, patch, handle)), "WRITE", "Stream write error");
      }
    },
  },
  {
    name: "onProgress sees each stage in the library's order, from 0 to its total, never going back",
    async run(api) {
      for (const [call, args, stages] of [
        [api.makePatch, [source, target], ["indexing", "matching", "writing"]],
        [api.applyPatch, [source, null], ["checksum", "writing", "verifying"]],
      ]) {
        if (!args[1]) args[1] = await api.makePatch(source, target);
        const seen = [];
        await call(...args, { onProgress: (stage, done, total) => seen.push([stage, done, total]) });
        check(JSON.stringify([...new Set(seen.map(([stage]) => stage))]) === JSON.stringify(stages),
          `stages ${seen.map(([stage]) => stage)}`);
        for (const stage of stages) {
          const reports = seen.filter(([name]) => name === stage);
          check(reports[0][1] === 0, `${stage} starts at ${reports[0][1]}`);
          const last = reports[reports.length - 1];
          check(last[1] === last[2] && last[2] > 0, `${stage} ends at ${last[1]} of ${last[2]}`);
          check(reports.every(([, done], i) => i === 0 || done >= reports[i - 1][1]), `${stage} went back`);
        }
      }
    },
  },
  {
    name: "a signal aborted before or during a call cancels it with the library's CANCELLED",
    async run(api) {
      const patch = await api.makePatch(source, target);
      const before = new AbortController();
      before.abort();
      checkError(api, await rejection(api.applyPatch(source, patch, { signal: before.signal })), "CANCELLED",
        "Cancelled");
      const during = new AbortController();
      const onProgress = (stage) => {
        if (stage === "writing") during.abort();
      };
      checkError(api, await rejection(api.makePatch(source, target, { signal: during.signal, onProgress })),
        "CANCELLED", "Cancelled");
      check(equal(await api.applyPatch(source, patch), target), "a call after a cancel fails");
    },
  },
  {
    name: "an exception thrown by the caller's callback or sink comes back as it was thrown",
    async run(api) {
      const patch = await api.makePatch(source, target);
      const mine = new RangeError("from the caller");
      const fromProgress = await rejection(api.applyPatch(source, patch, { onProgress: () => { throw mine; } }));
      check(fromProgress === mine, `got ${fromProgress}`);
      const fromSink = await rejection(api.applyPatchTo(source, patch, () => { throw mine; }));
      check(fromSink === mine, `got ${fromSink}`);
      check(equal(await api.applyPatch(source, patch), target), "a call after a failure fails");
    },
  },
  {
    name: "inspectPatch tells a made patch's checksums, and with scan its target's length and counts, from bytes and Blobs",
    async run(api) {
      const patch = await api.makePatch(source, target);
      for (const input of [patch, new Blob([patch])]) {
        const header = await api.inspectPatch(input);
        check(header.kind === "raw" && header.sourceCrc32 === crc32(source) && header.targetCrc32 === crc32(target),
          `header ${JSON.stringify(header)}`);
        check(header.targetSize === undefined && header.copies === undefined, "header alone told more");
        const scanned = await api.inspectPatch(input, { scan: true });
        check(scanned.targetSize === target.length, `target size ${scanned.targetSize}`);
        check(scanned.bytesCopied + scanned.bytesCarried === target.length && scanned.copies > 0 &&
          scanned.literals > 0 && scanned.sourceReach <= source.length, `counts ${JSON.stringify(scanned)}`);
      }
      checkError(api, await rejection(api.inspectPatch(patch.subarray(0, patch.length - 40), { scan: true })),
        "UNEXPECTED_END", "Unexpected end of patch file");
      checkError(api, await rejection(api.inspectPatch(new Uint8Array(2))), "NO_HEADER", "Patch file contains no header.");
      // Text given as the patch, whatever its first bytes spell as a header
      // ("Ap" "pl" one that holds, "Re" "le" one that does not), is no patch.
      for (const line of ["Apply game-1.0-to-1.1.patch to game-1.0.\n", "Release notes, version 2.4\n"]) {
        const text = new TextEncoder().encode(line.repeat(Math.ceil(65536 / line.length))).subarray(0, 65536);
        for (const scan of [false, true]) {
          checkError(api, await rejection(api.inspectPatch(text, { scan })), "NOT_A_PATCH", "<patch> is not a patch");
        }
      }
    },
  },
  {
    name: "makePatch with container makes a container that applyPatch rebuilds, from bytes and Blobs, with its CRC-32",
    async run(api) {
      const patch = await api.makePatch(source, target, { container: true });
      check((await api.inspectPatch(patch)).kind === "container", "not a container");
      check(equal(await api.applyPatch(source, patch), target), "target from a container differs");
      check(equal(await api.applyPatch(new Blob([source]), new Blob([patch]), { sourceCache: 1 }), target),
        "target from Blobs differs");
      const written = await api.applyPatchTo(source, patch, () => {});
      check(written.size === target.length && written.crc32 === crc32(target), `written ${JSON.stringify(written)}`);
      const broken = patch.slice();
      broken[broken.length - 10] ^= 0xff;
      const error = await rejection(api.applyPatch(source, broken));
      check(error.code === "CONTAINER_DAMAGED", `code ${error.code}`);
    },
  },
  {
    name: "applyPatch takes sourceCrc32 for the source's: the right one rebuilds the target, a wrong one never resolves",
    async run(api) {
      // A source whose CRC-32 has its top bit set, which must reach the library as the same 32 bits.
      const old = [2, 3, 4, 6, 7, 8, 10, 11].map((seed) => pseudoRandom(100_000, seed))
        .find((bytes) => crc32(bytes) >= 2 ** 31);
      check(old, "no source with a CRC-32 of 2^31 or more");
      const made = edited(old);
      const right = crc32(old);
      for (const patch of [await api.makePatch(old, made), await api.makePatch(old, made, { container: true })]) {
        check(equal(await api.applyPatch(new Blob([old]), patch, { sourceCrc32: right }), made), "target differs");
        // A byte the target copies changed, the claim kept: only the target's check can tell.
        const other = old.slice();
        other[Math.floor(old.length / 3) + 10] ^= 1;
        for (const [from, sourceCrc32, code, message] of [
          [old, (right ^ 1) >>> 0, "SOURCE_CHECKSUM", "Source file checksum don't match"],
          [other, right, "TARGET_CHECKSUM", "Target file checksum don't match"],
        ]) {
          checkError(api, await rejection(api.applyPatch(from, patch, { sourceCrc32 })), code, message);
        }
        for (const bad of [-1, 2 ** 32, 1.5, "0", null]) {
          const error = await rejection(api.applyPatch(old, patch, { sourceCrc32: bad }));
          check(error instanceof TypeError, `sourceCrc32 ${bad}: got ${error}`);
        }
      }
    },
  },
  {
    name: "inputs that are not bytes are refused with a TypeError",
    async run(api) {
      const error = await rejection(api.applyPatch("old.bin", new Uint8Array(0)));
      check(error instanceof TypeError, `got ${error}`);
    },
  },
  {
    name: "version() is the library's",
    async run(api) {
      check(/^\d+\.\d+\.\d+$/.test(await api.version()), "not a version");
    },
  },
];
