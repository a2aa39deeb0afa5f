// The page's worker: owns the library, so the page never blocks. It takes one
// task at a time ({task: "apply", source, patch} or {task: "make", source,
// target, compressible}, inputs as Files, and saveTo: a FileSystemFileHandle
// the user picked, if any), reports progress, and answers with the result as a
// File (or a Blob) the page offers for download, or as saved in the picked file.
// It runs inside varnockWorkerMain, after the module (createVarnockCore) and
// the API (varnockApi) it is bundled with.

// One instance of the module, shared by the API and the checks below.
const core = createVarnockCore();
const varnock = varnockApi(() => core);

// The output goes to the Origin Private File System, written in place through
// a sync access handle, so a target of any size never has to be held in
// memory. A picked file can only be written by an asynchronous stream, which
// cannot run while the library's call holds this thread: the output is copied
// there from the private file once the call has succeeded, then removed. The
// file of a result offered for download stays while the page offers it; every
// other file of ours is removed when its task ends, and what a crashed or
// closed tab left is removed when the page asks (as it starts). Where there is no private
// file system (a page opened from disk has no origin to own one), the result
// is gathered as a Blob of Blobs, which the browser keeps out of the page's
// memory (on disk when it is large).
const kResultPrefix = "varnock-result-";

// Found once per worker: the probe costs a file's creation and removal.
let privateDirectoryFound = null;
function privateDirectory() {
  if (!privateDirectoryFound) privateDirectoryFound = probePrivateDirectory();
  return privateDirectoryFound;
}

async function probePrivateDirectory() {
  try {
    const root = await navigator.storage.getDirectory();
    const probe = await root.getFileHandle(`${kResultPrefix}probe`, { create: true });
    const access = await probe.createSyncAccessHandle();
    access.close();
    await root.removeEntry(`${kResultPrefix}probe`);
    return root;
  } catch {
    return null;
  }
}

// Every file of ours: results of earlier tasks, and files a stopped worker
// (a cancel, a closed or crashed tab) left. A file another tab is writing is
// locked, and stays.
async function ourFiles(root) {
  const names = [];
  for await (const name of root.keys()) {
    if (name.startsWith(kResultPrefix) || name.startsWith(kScratchPrefix)) names.push(name);
  }
  return names;
}

async function removeOurFiles(root) {
  for (const name of await ourFiles(root)) await root.removeEntry(name).catch(() => {});
}

function blobSink() {
  const kPieceLimit = 8 << 20;
  const blobs = [];
  let pending = [];
  let pendingSize = 0;
  const flush = () => {
    if (pending.length) blobs.push(new Blob(pending));
    pending = [];
    pendingSize = 0;
  };
  return {
    write(piece) {
      pending.push(piece.slice());
      pendingSize += piece.length;
      if (pendingSize >= kPieceLimit) flush();
    },
    result() {
      flush();
      return new Blob(blobs);
    },
  };
}

// The finished output copied into the picked file, its progress reported as
// the "saving" stage. Written as slices of the file itself, which the browser
// copies file to file: twice as fast as piping its bytes through a stream
// (bench/README.md). A failed copy leaves the picked file as it was.
const kSaveSlice = 32 << 20;

async function saveToPicked(file, handle, report) {
  const stream = await handle.createWritable();
  const saved = (done) => report({ type: "progress", stage: "saving", done, total: file.size });
  saved(0);
  try {
    for (let at = 0; at < file.size; at += kSaveSlice) {
      await stream.write(file.slice(at, at + kSaveSlice));
      saved(Math.min(at + kSaveSlice, file.size));
    }
  } catch (error) {
    await stream.abort().catch(() => {});
    throw error;
  }
  await stream.close();
}

async function runTask(message, report) {
  // A 16 MiB source cache keeps the tab well under its 256 MiB goal; a
  // patch's copies are mostly in order, so a larger one saves little.
  const options = {
    onProgress: (stage, done, total) => report({ type: "progress", stage, done, total }),
    sourceCache: 16 << 20,
  };
  if (message.task === "make") Object.assign(options, { compressible: message.compressible, container: message.container });
  const run = (sink) =>
    message.task === "apply"
      ? varnock.applyPatchTo(message.source, message.patch, sink, options)
      : varnock.makePatchTo(message.source, message.target, sink, options);

  const root = await privateDirectory();
  if (!root) {
    const sink = blobSink();
    const written = await run(sink.write);
    const file = sink.result();
    if (!message.saveTo) return { ...written, file, storage: "memory" };
    await saveToPicked(file, message.saveTo, report);
    return { ...written, file: null, storage: "picked" };
  }
  await removeOurFiles(root);
  const name = `${kResultPrefix}${Date.now()}`;
  const handle = await root.getFileHandle(name, { create: true });
  let kept = false;
  try {
    const access = await handle.createSyncAccessHandle();
    let written;
    try {
      written = await run(access);
    } finally {
      access.close();
    }
    if (!message.saveTo) {
      kept = true;
      return { ...written, file: await handle.getFile(), storage: "private" };
    }
    await saveToPicked(await handle.getFile(), message.saveTo, report);
    return { ...written, file: null, storage: "picked" };
  } finally {
    if (!kept) await root.removeEntry(name).catch(() => {});
  }
}

// What a stopped worker (a cancel) or a closed or crashed tab left. A file
// stays locked a moment after the worker that wrote it is gone, so removal
// is tried again for a few seconds; only files there when asked are removed,
// never those of a task started since.
async function removeLeftovers() {
  const root = await privateDirectory();
  if (!root) return;
  let left = await ourFiles(root);
  for (let tries = 0; left.length && tries < 20; tries += 1) {
    if (tries) await new Promise((resolve) => setTimeout(resolve, 250));
    for (const name of left) await root.removeEntry(name).catch(() => {});
    const now = new Set(await ourFiles(root));
    left = left.filter((name) => now.has(name));
  }
}

// The Blob's bytes in turn, read into one buffer handed back and forth where
// its stream lets the reader bring its own (no ArrayBuffer per chunk, which
// the collector was seen to leave unreclaimed by hundreds of MiB); a chunk is
// valid until the next is asked for.
async function* blobChunks(blob) {
  const stream = blob.stream();
  let reader;
  try {
    reader = stream.getReader({ mode: "byob" });
  } catch {
    yield* stream;
    return;
  }
  let buffer = new ArrayBuffer(1 << 20);
  try {
    for (;;) {
      const { done, value } = await reader.read(new Uint8Array(buffer));
      if (done) return;
      yield value;
      buffer = value.buffer;
    }
  } finally {
    reader.releaseLock();
  }
}

// The CRC-32 of a chosen file, taken by the library's own function in the
// module as the file streams past, with progress.
async function crc32Of(file, report) {
  const m = await core;
  const chunkSize = 1 << 20;
  const buffer = m._malloc(chunkSize) >>> 0;
  let crc = 0;
  let done = 0;
  try {
    for await (const chunk of blobChunks(file)) {
      for (let at = 0; at < chunk.length; at += chunkSize) {
        const piece = chunk.subarray(at, at + chunkSize);
        m.HEAPU8.set(piece, buffer);
        crc = m._varnock_web_crc32(crc, buffer, piece.length) >>> 0;
      }
      done += chunk.length;
      report({ type: "progress", stage: "crc", done, total: file.size });
    }
  } finally {
    m._free(buffer);
  }
  return crc;
}

// The page's questions about chosen files, each answered with its `inquiry`.
async function answer(request) {
  const report = (message) => self.postMessage({ ...message, inquiry: request.inquiry });
  try {
    if (request.task === "tidy") {
      await removeLeftovers();
      report({ type: "tidied", privateStorage: Boolean(await privateDirectory()) });
    } else if (request.task === "inspect") {
      report({ type: "inspected", info: await varnock.inspectPatch(request.patch, { scan: request.scan }) });
    } else if (request.task === "crc32") {
      report({ type: "crc32", crc32: await crc32Of(request.file, report) });
    }
  } catch (error) {
    report({ type: "refused", code: error.code || "SCRIPT", message: String(error.message || error) });
  }
}

self.onmessage = async (event) => {
  const report = (message) => self.postMessage(message);
  if (event.data.inquiry) {
    await answer(event.data);
    return;
  }
  try {
    const result = await runTask(event.data, report);
    report({ type: "done", ...result });
  } catch (error) {
    report({ type: "error", ...(await explained(event.data, error)) });
  }
};

// Applying a raw patch checks the old file's CRC-32 before the patch's magic,
// so a file that is no patch at all (text chosen as the patch) fails as a
// patch for another old file; the library's inspection says what it is.
async function explained(request, error) {
  const told = { code: error.code || "SCRIPT", message: String(error.message || error) };
  if (request.task !== "apply" || told.code !== "SOURCE_CHECKSUM") return told;
  try {
    await varnock.inspectPatch(request.patch);
  } catch (inspected) {
    if (inspected.code === "NOT_A_PATCH" || inspected.code === "NO_HEADER") {
      return { code: inspected.code, message: String(inspected.message) };
    }
  }
  return told;
}
// The private file system is first looked at when asked (the page's task
// worker tidies as it starts): a checker, stopped whenever its check is no
// longer wanted, would otherwise leave its probe's file behind.
self.postMessage({ type: "ready" });
