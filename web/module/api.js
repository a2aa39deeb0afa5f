// The JavaScript face of libvarnock: promises, typed arrays and one error
// class over the C API compiled to WebAssembly. Nothing of the library's
// work is done here; this file only moves bytes in and out of the module's
// memory and turns codes into errors. It has no import or export of its own,
// so that the npm package's ES module and the page's worker script (which
// must run from a blob: URL) both wrap the same text.

/* eslint-disable no-unused-vars */
function varnockApi(loadCore) {
  const kStageNames = [undefined, "checksum", "writing", "verifying", "indexing", "matching"];
  const kCodePrefix = "VARNOCK_ERROR_";

  class VarnockError extends Error {
    constructor(code, message) {
      super(message);
      this.name = "VarnockError";
      this.code = code;
    }
  }

  // Loaded once; a load that failed is tried again by the next call.
  let corePromise = null;
  let loaded = null;
  function core() {
    if (!corePromise) {
      corePromise = Promise.resolve().then(loadCore);
      corePromise.then((m) => { loaded = m; }, () => { corePromise = null; });
    }
    return corePromise;
  }

  // WebAssembly memory never shrinks: a module that a call grew past this
  // (a large make, or one that ran out of memory) is let go, for the
  // collector to give its memory back, and the next call loads a new one.
  // Loading again takes a fraction of what such a call took.
  const kKeptMemory = 256 << 20;
  function forget(m) {
    if (loaded !== m) return;
    loaded = null;
    corePromise = null;
  }

  async function bytesOf(input, what) {
    if (input instanceof Uint8Array) return input;
    if (typeof Blob !== "undefined" && input instanceof Blob) return new Uint8Array(await input.arrayBuffer());
    if (input instanceof ArrayBuffer) return new Uint8Array(input);
    throw new TypeError(`${what} must be a Uint8Array, an ArrayBuffer or a Blob`);
  }

  // Blobs up to this size are read whole before the call: the fastest way in,
  // and within the tab's memory goal for a source and a patch together.
  const kWholeBlobLimit = 32 << 20;

  const isLargeBlob = (input) => typeof Blob !== "undefined" && input instanceof Blob && input.size > kWholeBlobLimit;

  // A Blob read where it lies, a window of slices at a time: the library asks
  // for at most 1 MiB, and each FileReaderSync call costs a round trip to the
  // browser's file reader, so a few MiB are read at once and the library's
  // ranges served from them. The window is the only copy: nothing is staged.
  // Each read makes a new ArrayBuffer, whose memory is given back only when
  // the collector passes over its small object on the JavaScript heap, which
  // a loop that allocates nothing else fills too slowly: Chromium's worker
  // was seen at 420 MiB reading 1 GiB so. Short-lived arrays allocated with
  // each window make the young generation's collector run every few windows
  // (116 MiB, 64 of them the module's own); detaching a window with
  // transfer(0) did not free it (1 GiB).
  const kSliceWindow = 4 << 20;
  const kNudgesPerWindow = 64;
  let nudge = null;

  function blobSliceReader(blob) {
    const reader = new FileReaderSync();
    let windowStart = 0;
    let window = new Uint8Array(0);
    return {
      size: blob.size,
      read: (offset, size, heap, into) => {
        if (offset < windowStart || offset + size > windowStart + window.length) {
          for (let i = 0; i < kNudgesPerWindow; i += 1) nudge = new Array(1024);
          windowStart = offset;
          window = new Uint8Array(reader.readAsArrayBuffer(blob.slice(offset, offset + Math.max(size, kSliceWindow))));
        }
        const range = window.subarray(offset - windowStart, offset - windowStart + size);
        heap.set(range, into);
        return range.length;
      },
      close: async () => {
        nudge = null;
      },
    };
  }

  // An input the library reads by ranges, with close() to call after the call.
  // Bytes in memory are copied from range by range. A large Blob is read in
  // place by slices where FileReaderSync is (a worker); elsewhere (Node, a
  // page's main thread) read whole.
  async function rangeReader(input, what) {
    if (isLargeBlob(input) && typeof FileReaderSync !== "undefined") return blobSliceReader(input);
    const bytes = await bytesOf(input, what);
    return {
      size: bytes.length,
      read: (offset, size, heap, into) => {
        const range = bytes.subarray(offset, offset + size);
        heap.set(range, into);
        return range.length;
      },
      close: async () => {},
    };
  }

  const kAsyncSink = "the sink function must write each piece before it returns, as the piece's memory is " +
    "reused after: give a WritableStream for writes that complete later";

  // Whether a sink's result is a promise, or anything `await` would wait for.
  const isThenable = (value) => value !== null && (typeof value === "object" || typeof value === "function") &&
    typeof value.then === "function";

  // A place the target is handed to piece by piece, each piece valid only
  // during the call: a FileSystemSyncAccessHandle is written in place, a
  // function is called with the piece, a WritableStream is written once the
  // call has succeeded (it cannot take pieces while the call holds the
  // thread), from a scratch file where there is one, else from copies kept
  // in memory. write() returns false for a write that failed; finish(succeeded)
  // ends the output, and writes nothing after a failure.
  async function sinkWriter(sink) {
    if (typeof sink === "function") {
      // The call cannot wait for a promise while it holds the thread: a write
      // still pending when the function returns would read a reused piece,
      // and its failure would come after the call's success. An async
      // function is refused before any work, any other function at the first
      // promise it returns, whose rejection is then taken care of here.
      if (Object.prototype.toString.call(sink) === "[object AsyncFunction]") throw new TypeError(kAsyncSink);
      return {
        write: (piece) => {
          const result = sink(piece);
          if (isThenable(result)) {
            try {
              result.then(undefined, () => {});
            } catch {
              // A thenable whose then() throws leaves nothing to take care of.
            }
            throw new TypeError(kAsyncSink);
          }
          return true;
        },
        finish: async () => {},
      };
    }
    if (sink && typeof sink.getWriter === "function") {
      if (sink.locked) throw new TypeError("the WritableStream is locked");
      const scratch = await openScratch();
      if (scratch) {
        const staged = handleWriter(scratch.access);
        return {
          write: staged.write,
          finish: async (succeeded) => {
            try {
              if (succeeded) await scratchToStream(scratch.access, staged.size(), sink);
            } finally {
              await scratch.remove();
            }
          },
        };
      }
      const pieces = [];
      return {
        write: (piece) => pieces.push(piece.slice()) > 0,
        finish: async (succeeded) => {
          if (!succeeded) return;
          const writer = sink.getWriter();
          try {
            while (pieces.length) await writer.write(pieces.shift());
          } finally {
            writer.releaseLock();
          }
        },
      };
    }
    if (sink && typeof sink.write === "function" && typeof sink.flush === "function") {
      sink.truncate(0);
      const writer = handleWriter(sink);
      return { write: writer.write, finish: async () => sink.flush() };
    }
    throw new TypeError("the target's place must be a FileSystemSyncAccessHandle, a WritableStream or a function");
  }

  // Writes pieces front to back through a sync access handle. A handle that
  // writes less than asked, or throws (its quota reached, a full disk), fails
  // the call as the library's own write error.
  function handleWriter(access) {
    let at = 0;
    return {
      write: (piece) => {
        let written;
        try {
          written = access.write(piece, { at });
        } catch {
          return false;
        }
        at += written;
        return written === piece.length;
      },
      size: () => at,
    };
  }

  // Runs one library call and returns the CRC-32 of the output it handed to
  // `onWrite` (which returns false for a write that failed). `call(m, context, crc, copyIn)` makes the call; copyIn puts
  // bytes in the module's memory for the call's length. `readers` answer the
  // library's reads of input 0 and 1. Hooks run inside the call; a JavaScript
  // exception thrown by the caller's callbacks (or a read) stops the call and
  // is rethrown as it was.
  async function run(options, onWrite, call, readers = []) {
    const { onProgress, signal } = options || {};
    const m = await core();
    const context = m._varnock_context_new();
    if (!context) throw new VarnockError("OUT_OF_MEMORY", "Out of memory");
    const pointers = [];
    const allocate = (size) => {
      const pointer = m._malloc(Math.max(size, 1)) >>> 0;
      if (!pointer) throw new VarnockError("OUT_OF_MEMORY", "Out of memory");
      pointers.push(pointer);
      return pointer;
    };
    const copyIn = (bytes) => {
      const pointer = allocate(bytes.length);
      m.HEAPU8.set(bytes, pointer);
      return pointer;
    };
    let hookError = null;
    const guarded = (work, failed) => (...args) => {
      try {
        return work(...args);
      } catch (error) {
        hookError = hookError || error;
        return failed;
      }
    };
    try {
      const crc = allocate(4);
      m.HEAPU32[crc >>> 2] = 0;
      m.varnockHooks = {
        write: guarded((data, size) => (onWrite(m.HEAPU8.subarray(data, data + size)) === false ? 1 : 0), 1),
        read: guarded((input, offset, buffer, size) => readers[input].read(offset, size, m.HEAPU8, buffer), -1),
        progress: guarded((stage, done, total) => {
          if (signal && signal.aborted) return 1;
          if (onProgress) onProgress(kStageNames[stage], done, total);
          return signal && signal.aborted ? 1 : 0;
        }, 1),
      };
      m._varnock_web_set_progress(context);
      const code = call(m, context, crc, copyIn);
      if (hookError) throw hookError;
      if (code !== 0) {
        const name = m.UTF8ToString(m._varnock_code_name(code));
        throw new VarnockError(name.slice(kCodePrefix.length), m.UTF8ToString(m._varnock_error_message(context)));
      }
      return m.HEAPU32[crc >>> 2];
    } finally {
      m.varnockHooks = null;
      for (const pointer of pointers) m._free(pointer);
      m._varnock_context_free(context);
      if (m.HEAPU8.length > kKeptMemory) forget(m);
    }
  }

  // The source's CRC-32 that the caller took before (options.sourceCrc32),
  // or null; refused before any work unless it is one, as an unsigned number.
  function knownSourceCrc(options) {
    const crc = options ? options.sourceCrc32 : undefined;
    if (crc === undefined) return null;
    if (!Number.isInteger(crc) || crc < 0 || crc > 0xffffffff) {
      throw new TypeError("sourceCrc32 must be a CRC-32 as an unsigned number, an integer from 0 to 4294967295");
    }
    return crc;
  }

  // Applying reads both inputs by ranges: the module holds the source's block
  // cache (options.sourceCache bytes, default the library's 64 MiB), never
  // the source, which it reads whole for its CRC-32 only where the caller
  // does not give it (options.sourceCrc32). The target's CRC-32 is not taken
  // again here: the library checked it against the patch header's, whose
  // last 4 bytes (little-endian) hold it, the header's size being the
  // patch's first 2.
  async function applyRun(source, patch, options, onWrite) {
    const sourceCrc = knownSourceCrc(options);
    // Both at once: a Blob read whole in one overlaps its wait with the other's.
    const opened = await Promise.allSettled([rangeReader(source, "source"), rangeReader(patch, "patch")]);
    const readers = opened.filter(({ status }) => status === "fulfilled").map(({ value }) => value);
    try {
      const failed = opened.find(({ status }) => status === "rejected");
      if (failed) throw failed.reason;
      const cache = (options && options.sourceCache) || 0;
      let targetCrc;
      await run(options, onWrite, (m, context, crc, copyIn) => {
        // A CRC-32 of 2^31 or more goes to the module's 32-bit argument as the same bits.
        const code = m._varnock_web_apply_ranges(context, readers[0].size, readers[1].size, cache,
          sourceCrc === null ? 0 : 1, sourceCrc === null ? 0 : sourceCrc | 0);
        if (code !== 0) return code;
        // The patch's own header, raw or inside what carries it, names the
        // target's CRC-32, which the library has checked.
        const out = copyIn(new Uint8Array(8 * kInfoFields.length));
        const told = m._varnock_web_inspect_patch(context, readers[1].size, 0, out);
        targetCrc = new Float64Array(m.HEAPU8.buffer, out, kInfoFields.length)[kInfoFields.indexOf("targetCrc32")];
        return told;
      }, readers);
      return targetCrc;
    } finally {
      for (const reader of readers) await reader.close();
    }
  }

  // Making needs both inputs whole, in the module's memory.
  async function makeRun(source, target, options, onWrite) {
    const inputs = [await bytesOf(source, "source"), await bytesOf(target, "target")];
    const compressible = options && options.compressible ? 1 : 0;
    const container = options && options.container ? 1 : 0;
    return run(options, onWrite, (m, context, crc, copyIn) =>
      m._varnock_web_make_memory(context, copyIn(inputs[0]), inputs[0].length, copyIn(inputs[1]), inputs[1].length,
        compressible, container, crc));
  }

  // The output whole, in one Uint8Array.
  async function toArray(runner, first, second, options) {
    const pieces = [];
    let size = 0;
    await runner(first, second, options, (piece) => {
      pieces.push(piece.slice());
      size += piece.length;
    });
    const whole = new Uint8Array(size);
    let at = 0;
    for (const piece of pieces) {
      whole.set(piece, at);
      at += piece.length;
    }
    return whole;
  }

  // The output handed to the caller's sink; its size and CRC-32 returned. A
  // failed call rejects with its own error, whatever ending the output does.
  async function toSink(runner, first, second, sink, options) {
    const writer = await sinkWriter(sink);
    let size = 0;
    let crc32;
    try {
      crc32 = await runner(first, second, options, (piece) => {
        if (!writer.write(piece)) return false;
        size += piece.length;
        return true;
      });
    } catch (error) {
      await writer.finish(false).catch(() => {});
      throw error;
    }
    await writer.finish(true);
    return { size, crc32 };
  }

  const kKindNames = [undefined, "raw", "container", "xz", "zstd"];
  // varnock.h's VARNOCK_INFO_* bits, and the fields each one makes known.
  const kInfoGroups = [
    [1, ["sourceCrc32", "targetCrc32"]],
    [2, ["sourceSize"]],
    [4, ["targetSize"]],
    [8, ["copies", "literals", "bytesCopied", "bytesCarried", "sourceReach"]],
  ];
  const kInfoFields = ["kind", "known", "sourceCrc32", "targetCrc32", "sourceSize", "targetSize", "copies",
    "literals", "bytesCopied", "bytesCarried", "sourceReach"];

  // What a patch holds, without its source: its header alone, or (options.scan)
  // the whole patch read front to back. Fields the patch does not tell are absent.
  async function inspectPatch(patch, options) {
    const reader = await rangeReader(patch, "patch", () => {});
    try {
      let fields;
      const scope = options && options.scan ? 1 : 0;
      await run(options, () => true, (m, context, crc, copyIn) => {
        const out = copyIn(new Uint8Array(8 * kInfoFields.length));
        const code = m._varnock_web_inspect_patch(context, reader.size, scope, out);
        fields = Array.from(new Float64Array(m.HEAPU8.buffer, out, kInfoFields.length));
        return code;
      }, [null, reader]);
      const found = Object.fromEntries(kInfoFields.map((name, i) => [name, fields[i]]));
      const info = { kind: kKindNames[found.kind] };
      for (const [bit, names] of kInfoGroups) {
        if (found.known & bit) for (const name of names) info[name] = found[name];
      }
      return info;
    } finally {
      await reader.close();
    }
  }

  const applyPatch = (source, patch, options) => toArray(applyRun, source, patch, options);
  const applyPatchTo = (source, patch, sink, options) => toSink(applyRun, source, patch, sink, options);
  const makePatch = (source, target, options) => toArray(makeRun, source, target, options);
  const makePatchTo = (source, target, sink, options) => toSink(makeRun, source, target, sink, options);

  async function version() {
    const m = await core();
    return m.UTF8ToString(m._varnock_version_string());
  }

  return { applyPatch, applyPatchTo, makePatch, makePatchTo, inspectPatch, version, VarnockError };
}
