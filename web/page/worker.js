// The page's worker: owns the library, so the page never blocks. It takes one
// task at a time ({task: "apply", source, patch} or {task: "make", source,
// target, compressible}, inputs as Files, and saveTo: a FileSystemFileHandle
// the user picked, if any), reports progress, and answers with the result as a
// File (or a Blob) the page offers for download, or as saved in the picked file.
// It runs inside varnockWorkerMain, after the module (createVarnockCore) and
// the API (varnockApi) it is bundled with.

const varnock = varnockApi(() => createVarnockCore());

// Results go to the Origin Private File System, written through a sync access
// handle, so a target of any size never has to be held in memory. Where that
// is missing (a page opened from disk has no origin to own one), the result is
// gathered as a Blob of Blobs, which the browser keeps out of the page's memory
// (on disk when it is large).
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

// Results of earlier tasks (the page let their links go when it started this
// one), and scratch files a cancelled task (a stopped worker) left behind; a
// scratch file another tab is using is locked, and stays.
async function removeEarlierResults(root) {
  for await (const name of root.keys()) {
    if (name.startsWith(kResultPrefix) || name.startsWith(kScratchPrefix)) await root.removeEntry(name).catch(() => {});
  }
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

async function runTask(message, report) {
  // A 16 MiB source cache keeps the tab well under its 256 MiB goal; a
  // patch's copies are mostly in order, so a larger one saves little.
  const options = {
    onProgress: (stage, done, total) => report({ type: "progress", stage, done, total }),
    sourceCache: 16 << 20,
  };
  if (message.task === "make") options.compressible = message.compressible;
  const run = (sink) =>
    message.task === "apply"
      ? varnock.applyPatchTo(message.source, message.patch, sink, options)
      : varnock.makePatchTo(message.source, message.target, sink, options);

  // The module stages a stream's output in a scratch file and writes it to
  // the picked file once the call has succeeded, so a failed call leaves the
  // picked file as it was.
  if (message.saveTo) {
    const stream = await message.saveTo.createWritable();
    let written;
    try {
      written = await run(stream);
    } catch (error) {
      await stream.abort().catch(() => {});
      throw error;
    }
    await stream.close();
    return { ...written, file: null, storage: "picked" };
  }
  const root = await privateDirectory();
  if (!root) {
    const sink = blobSink();
    const written = await run(sink.write);
    return { ...written, file: sink.result(), storage: "memory" };
  }
  await removeEarlierResults(root);
  const name = `${kResultPrefix}${Date.now()}`;
  const handle = await root.getFileHandle(name, { create: true });
  const access = await handle.createSyncAccessHandle();
  let written;
  try {
    written = await run(access);
  } finally {
    access.close();
  }
  return { ...written, file: await handle.getFile(), storage: "private" };
}

self.onmessage = async (event) => {
  const report = (message) => self.postMessage(message);
  try {
    const result = await runTask(event.data, report);
    report({ type: "done", ...result });
  } catch (error) {
    report({ type: "error", code: error.code || "SCRIPT", message: String(error.message || error) });
  }
};
// Saving to a picked file goes through the private file system (the stream's
// output staged there), so the page offers it only where there is one.
privateDirectory().then((root) => self.postMessage({ type: "ready", privateStorage: Boolean(root) }));
