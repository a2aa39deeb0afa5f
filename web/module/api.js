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

  let corePromise = null;
  function core() {
    if (!corePromise) corePromise = Promise.resolve(loadCore());
    return corePromise;
  }

  async function bytesOf(input, what) {
    if (input instanceof Uint8Array) return input;
    if (typeof Blob !== "undefined" && input instanceof Blob) return new Uint8Array(await input.arrayBuffer());
    if (input instanceof ArrayBuffer) return new Uint8Array(input);
    throw new TypeError(`${what} must be a Uint8Array or a Blob`);
  }

  // A place the target is handed to piece by piece, each piece valid only
  // during the call: a FileSystemSyncAccessHandle is written in place, a
  // WritableStream is given copies, a function is called with the piece.
  function sinkWriter(sink) {
    if (typeof sink === "function") return { write: (piece) => sink(piece), finish: async () => {} };
    if (sink && typeof sink.getWriter === "function") {
      const writer = sink.getWriter();
      const pending = [];
      return {
        write: (piece) => pending.push(writer.write(piece.slice())),
        finish: async () => {
          try {
            await Promise.all(pending);
          } finally {
            writer.releaseLock();
          }
        },
      };
    }
    if (sink && typeof sink.write === "function" && typeof sink.flush === "function") {
      let at = 0;
      sink.truncate(0);
      return {
        write: (piece) => {
          // A sync access handle may write less than asked (a full disk).
          const written = sink.write(piece, { at });
          at += written;
          if (written !== piece.length) throw new Error(`wrote ${written} of ${piece.length} bytes`);
        },
        finish: async () => sink.flush(),
      };
    }
    throw new TypeError("the target's place must be a FileSystemSyncAccessHandle, a WritableStream or a function");
  }

  // Runs one library call with the inputs copied into the module's memory,
  // and returns the CRC-32 of the output it handed to `onWrite`. Hooks run
  // inside the call; a JavaScript exception thrown by the caller's callbacks
  // stops the call and is rethrown as it was.
  async function run(inputs, options, onWrite, call) {
    const { onProgress, signal } = options || {};
    const m = await core();
    const context = m._varnock_context_new();
    if (!context) throw new VarnockError("OUT_OF_MEMORY", "Out of memory");
    const pointers = [];
    let hookError = null;
    try {
      const crc = m._malloc(4) >>> 0;
      if (!crc) throw new VarnockError("OUT_OF_MEMORY", "Out of memory");
      pointers.push(crc);
      m.HEAPU32[crc >>> 2] = 0;
      for (const bytes of inputs) {
        const pointer = m._malloc(Math.max(bytes.length, 1)) >>> 0;
        if (!pointer) throw new VarnockError("OUT_OF_MEMORY", "Out of memory");
        pointers.push(pointer);
        m.HEAPU8.set(bytes, pointer);
      }
      m.varnockHooks = {
        write(data, size) {
          try {
            onWrite(m.HEAPU8.subarray(data, data + size));
            return 0;
          } catch (error) {
            hookError = hookError || error;
            return 1;
          }
        },
        progress(stage, done, total) {
          if (signal && signal.aborted) return 1;
          try {
            if (onProgress) onProgress(kStageNames[stage], done, total);
          } catch (error) {
            hookError = hookError || error;
            return 1;
          }
          return signal && signal.aborted ? 1 : 0;
        },
      };
      m._varnock_web_set_progress(context);
      const code = call(m, context, pointers.slice(1), crc);
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
    }
  }

  function applyCall(inputs) {
    return (m, context, [source, patch], crc) =>
      m._varnock_web_apply_memory(context, source, inputs[0].length, patch, inputs[1].length, crc);
  }

  function makeCall(inputs, options) {
    const compressible = options && options.compressible ? 1 : 0;
    return (m, context, [source, target], crc) =>
      m._varnock_web_make_memory(context, source, inputs[0].length, target, inputs[1].length, compressible, crc);
  }

  // The output whole, in one Uint8Array.
  async function toArray(inputs, options, call) {
    const pieces = [];
    let size = 0;
    await run(inputs, options, (piece) => {
      pieces.push(piece.slice());
      size += piece.length;
    }, call);
    const whole = new Uint8Array(size);
    let at = 0;
    for (const piece of pieces) {
      whole.set(piece, at);
      at += piece.length;
    }
    return whole;
  }

  // The output handed to the caller's sink; its size and CRC-32 returned.
  async function toSink(inputs, sink, options, call) {
    const writer = sinkWriter(sink);
    let size = 0;
    let crc32;
    try {
      crc32 = await run(inputs, options, (piece) => {
        writer.write(piece);
        size += piece.length;
      }, call);
    } finally {
      await writer.finish();
    }
    return { size, crc32 };
  }

  const applyInputs = async (source, patch) => [await bytesOf(source, "source"), await bytesOf(patch, "patch")];
  const makeInputs = async (source, target) => [await bytesOf(source, "source"), await bytesOf(target, "target")];

  async function applyPatch(source, patch, options) {
    const inputs = await applyInputs(source, patch);
    return toArray(inputs, options, applyCall(inputs));
  }

  async function applyPatchTo(source, patch, sink, options) {
    const inputs = await applyInputs(source, patch);
    return toSink(inputs, sink, options, applyCall(inputs));
  }

  async function makePatch(source, target, options) {
    const inputs = await makeInputs(source, target);
    return toArray(inputs, options, makeCall(inputs, options));
  }

  async function makePatchTo(source, target, sink, options) {
    const inputs = await makeInputs(source, target);
    return toSink(inputs, sink, options, makeCall(inputs, options));
  }

  async function version() {
    const m = await core();
    return m.UTF8ToString(m._varnock_version_string());
  }

  return { applyPatch, applyPatchTo, makePatch, makePatchTo, version, VarnockError };
}
