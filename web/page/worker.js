// The page's worker: owns the library, so the page never blocks. It takes one
// task at a time ({task: "apply", source, patch, sourceCrc32} or {task:
// "make", source, target, compressible}, inputs as Files, the old file's
// CRC-32 if the page knows it, and saveTo: a FileSystemFileHandle the user
// picked, if any), reports progress, and answers with the result as a
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
// closed tab or a stopped worker left is removed when the page asks (as it
// starts). Where there is no private file system (a page opened from disk has
// no origin to own one), the result is gathered as a Blob of Blobs, which the
// browser keeps out of the page's memory (on disk when it is large).
const kResultPrefix = "varnock-result-";
const kProbePrefix = "varnock-probe-";

// Names of ours unique across the origin's tabs, which share its files.
const uniqueName = (prefix) => `${prefix}${Date.now()}-${Math.random().toString(36).slice(2)}`;

// A file of ours in use is held under a lock of its name, shared by the
// origin's tabs and workers, from before it is made until it is removed: a
// tidy, in this tab or another, removes only a file whose lock it can take,
// so never a result another tab offers or a file a task is saving from, and
// a holder that dies (a closed tab, a stopped worker) lets go of its locks.
// Resolves, once the lock is held, with the function that lets it go. The
// page is told each name first: a worker it stops lets go of its locks only
// a moment later, and the page's next worker waits for those files.
function holdName(name) {
  self.postMessage({ type: "holding", name });
  if (!navigator.locks) return Promise.resolve(() => {});
  return new Promise((held) => {
    navigator.locks.request(name, { mode: "shared" }, () => new Promise((release) => held(release)))
      .catch(() => held(() => {}));
  });
}

// Found once per worker: the probe costs a file's creation and removal.
let privateDirectoryFound = null;
function privateDirectory() {
  if (!privateDirectoryFound) privateDirectoryFound = probePrivateDirectory();
  return privateDirectoryFound;
}

// Whether files of the private file system take a sync access handle here,
// tried on a file of this worker's own, which goes whatever the answer.
async function probePrivateDirectory() {
  let root;
  try {
    root = await navigator.storage.getDirectory();
  } catch {
    return null;
  }
  const name = uniqueName(kProbePrefix);
  const release = await holdName(name);
  try {
    const probe = await root.getFileHandle(name, { create: true });
    (await probe.createSyncAccessHandle()).close();
    return root;
  } catch {
    return null;
  } finally {
    await root.removeEntry(name).catch(() => {});
    release();
  }
}

// The result this worker made that the page offers: its file stays, held,
// until the page lets it go or starts another task.
let offered = null;

async function dropOffered() {
  if (!offered) return;
  const { root, name, release } = offered;
  offered = null;
  await root.removeEntry(name).catch(() => {});
  release();
}

// Every file of ours: results of earlier tasks, probes, and files a stopped
// worker (a cancel, a closed or crashed tab) left. Earlier pages probed under
// one name for every tab, a result's.
async function ourFiles(root) {
  const names = [];
  for await (const name of root.keys()) {
    if ([kResultPrefix, kScratchPrefix, kProbePrefix].some((prefix) => name.startsWith(prefix))) names.push(name);
  }
  return names;
}

// Removes a file of ours unless it is in use. Says "gone", "in use" (its lock
// is held), or "locked" (its lock is free, but a sync access handle still
// holds the file: one a stopped worker had open stays so a moment).
async function removeUnheld(root, name) {
  const remove = () => root.removeEntry(name).then(() => "gone",
    (error) => (error.name === "NotFoundError" ? "gone" : "locked"));
  if (!navigator.locks) return remove();
  return navigator.locks.request(name, { ifAvailable: true }, (lock) => (lock ? remove() : "in use"));
}

async function removeOurFiles(root) {
  for (const name of await ourFiles(root)) await removeUnheld(root, name);
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

// The module's apply options for the old file's CRC-32 as the page's check
// took it (an apply's `sourceCrc32`, when it has one: the page gives it only
// for the very File it checked, unchanged since), so that the apply need not
// read the whole old file once more for it. A wrong one cannot make a wrong
// new file pass: the library still checks the new file's CRC-32.
const knownSourceCrc = (crc32) => (crc32 === undefined ? {} : { sourceCrc32: crc32 });

async function runTask(message, report) {
  // A 16 MiB source cache keeps the tab well under its 256 MiB goal; a
  // patch's copies are mostly in order, so a larger one saves little.
  const options = {
    onProgress: (stage, done, total) => report({ type: "progress", stage, done, total }),
    sourceCache: 16 << 20,
  };
  if (message.task === "make") Object.assign(options, { compressible: message.compressible, container: message.container });
  else Object.assign(options, knownSourceCrc(message.sourceCrc32));
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
  await dropOffered();
  await removeOurFiles(root);
  const name = uniqueName(kResultPrefix);
  const release = await holdName(name);
  let kept = false;
  try {
    const handle = await root.getFileHandle(name, { create: true });
    const access = await handle.createSyncAccessHandle();
    let written;
    try {
      written = await run(access);
    } finally {
      access.close();
    }
    if (!message.saveTo) {
      const file = await handle.getFile();
      offered = { root, name, release };
      kept = true;
      return { ...written, file, storage: "private" };
    }
    await saveToPicked(await handle.getFile(), message.saveTo, report);
    return { ...written, file: null, storage: "picked" };
  } finally {
    if (!kept) {
      await root.removeEntry(name).catch(() => {});
      release();
    }
  }
}

// What a stopped worker (a cancel, one that died) or a closed or crashed tab
// left. A file stays locked a moment after the worker that wrote it is gone,
// and its lock stays held as long (`stopped`: the names a worker the page
// stopped held), so removal is tried again for some seconds; files in use (a
// result another tab offers, a task of another tab) stay.
async function removeLeftovers(stopped = []) {
  const root = await privateDirectory();
  if (!root) return;
  let left = await ourFiles(root);
  for (let tries = 0; left.length && tries < 40; tries += 1) {
    if (tries) await new Promise((resolve) => setTimeout(resolve, 250));
    const outcomes = [];
    for (const name of left) outcomes.push(await removeUnheld(root, name));
    left = left.filter((name, i) => outcomes[i] === "locked" || (outcomes[i] === "in use" && stopped.includes(name)));
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
      await removeLeftovers(request.stopped);
      report({ type: "tidied", privateStorage: Boolean(await privateDirectory()) });
    } else if (request.task === "drop") {
      await dropOffered();
      report({ type: "dropped" });
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
