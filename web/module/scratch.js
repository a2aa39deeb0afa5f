// Scratch files in the Origin Private File System, written and read through
// a sync access handle, which a dedicated worker has (a page's main thread,
// Node and a page opened from disk have none). They carry what would
// otherwise cross slowly or pile up in memory during the library's
// synchronous call: a large Blob input, copied there first at the speed of
// its stream and then read in place into the module's memory (a Blob read by
// FileReaderSync came at a fraction of that speed, and its ArrayBuffers were
// collected late), and an output bound for an asynchronous WritableStream,
// which can only drain once the call returns. Wrapped with api.js like it.

const kScratchPrefix = "varnock-scratch-";
const kScratchChunk = 1 << 20;

// A new scratch file, open for sync access, or null where there is none to be
// had (no private file system, no sync access handles on this thread, a page
// opened from disk, storage refused).
async function openScratch() {
  const hasSyncAccess = typeof FileSystemFileHandle !== "undefined" &&
    typeof FileSystemFileHandle.prototype.createSyncAccessHandle === "function";
  if (!hasSyncAccess || typeof navigator === "undefined" || !navigator.storage) return null;
  try {
    const root = await navigator.storage.getDirectory();
    const name = `${kScratchPrefix}${Date.now()}-${Math.random().toString(36).slice(2)}`;
    const handle = await root.getFileHandle(name, { create: true });
    let access;
    try {
      access = await handle.createSyncAccessHandle();
    } catch (error) {
      await root.removeEntry(name).catch(() => {});
      throw error;
    }
    return {
      access,
      remove: async () => {
        access.close();
        await root.removeEntry(name).catch(() => {});
      },
    };
  } catch {
    return null;
  }
}

// The Blob copied into a scratch file; `onChunk(done)` is told the bytes
// copied so far and may throw to stop. Null where there is no scratch file, or
// the copy did not fit (the origin's quota, a full disk): the caller then
// reads the Blob another way.
async function blobInScratch(blob, onChunk) {
  const scratch = await openScratch();
  if (!scratch) return null;
  let copied = false;
  try {
    const chunks = blobChunks(blob);
    let at = 0;
    for (;;) {
      const { done, value } = await chunks.next();
      if (done) break;
      let written;
      try {
        written = scratch.access.write(value, { at });
      } catch {
        written = -1;
      }
      if (written !== value.length) {
        await chunks.return();
        return null;
      }
      at += written;
      onChunk(at);
    }
    copied = at === blob.size;
    return copied ? scratch : null;
  } finally {
    if (!copied) await scratch.remove();
  }
}

// The Blob's bytes in turn, read into one buffer that is handed back and
// forth where its stream lets the reader bring its own (no ArrayBuffer per
// chunk, which the collector was seen to leave uncollected by hundreds of
// MiB); a chunk is valid until the next is asked for.
async function* blobChunks(blob) {
  const stream = blob.stream();
  let reader;
  try {
    reader = stream.getReader({ mode: "byob" });
  } catch {
    reader = null;
  }
  if (!reader) {
    yield* stream;
    return;
  }
  let buffer = new ArrayBuffer(kScratchChunk);
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

// Writes `access`'s first `size` bytes to the stream, a chunk at a time, each
// after the stream has taken the one before: memory stays at about a chunk
// whatever the size. The stream is left open, for its owner to close.
async function scratchToStream(access, size, stream) {
  const writer = stream.getWriter();
  try {
    for (let at = 0; at < size;) {
      const chunk = new Uint8Array(Math.min(kScratchChunk, size - at));
      const count = access.read(chunk, { at });
      if (count <= 0) throw new Error("the scratch file ended early");
      await writer.write(count === chunk.length ? chunk : chunk.subarray(0, count));
      at += count;
    }
  } finally {
    writer.releaseLock();
  }
}
