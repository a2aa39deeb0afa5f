// Scratch files in the Origin Private File System, written and read through
// a sync access handle, which a dedicated worker has (a page's main thread,
// Node and a page opened from disk have none). They carry an output bound for
// an asynchronous WritableStream, which can only drain once the library's
// synchronous call returns and would otherwise pile up in memory. Wrapped with
// api.js like it.

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
