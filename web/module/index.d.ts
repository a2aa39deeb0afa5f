// Types of the varnock module. Every function runs the library on the calling
// thread: in a page, call it from a Web Worker so the page never blocks.

/**
 * The stage names, in the order a call goes through them: the library's.
 */
export type Stage = "checksum" | "writing" | "verifying" | "indexing" | "matching";

/** An input: bytes in memory (a Node Buffer is one) or a Blob (a File is one). */
export type Input = Uint8Array | ArrayBuffer | Blob;

export interface Options {
  /** Told `done` of `total` bytes of `stage`, from 0 to total, about 30 times a second at most. */
  onProgress?: (stage: Stage, done: number, total: number) => void;
  /**
   * Cancels the call, which then rejects with code "CANCELLED". It is looked at
   * each time progress is reported; the call holds its thread, so an abort from
   * elsewhere takes effect at the next report only if that thread can run it
   * (it is aborted already, or aborted from onProgress).
   */
  signal?: AbortSignal;
}

export interface ApplyOptions extends Options {
  /**
   * The most memory the source's block cache takes in the module, in bytes
   * (whole blocks of 256 KiB; default 64 MiB). Applying reads the source and
   * the patch by ranges, so this and about 2 MiB is what the module holds,
   * whatever their sizes. A Blob of up to 32 MiB is read whole first. A larger
   * one is read where it lies, a few MiB at a time with FileReaderSync, in a
   * worker; elsewhere (a page's main thread, Node) whole.
   */
  sourceCache?: number;
  /**
   * The source's CRC-32 (ISO-HDLC, as an unsigned number), when the caller
   * has taken it already of these very bytes: the source is then not read
   * whole for it, only where the patch copies from it. One the patch does not
   * name for its source rejects with "SOURCE_CHECKSUM" before anything is
   * written. One that names it for another source cannot be seen until the
   * target is written, whose own CRC-32 then rejects the call with
   * "TARGET_CHECKSUM": a wrong target never resolves, but a function or a
   * sync access handle given as the sink has had its bytes. A value that is
   * not an integer from 0 to 2^32 - 1 is refused with a TypeError.
   */
  sourceCrc32?: number;
}

export interface MakeOptions extends Options {
  /** Aim at the smallest patch after a general-purpose compressor rather than as stored. */
  compressible?: boolean;
  /**
   * Write the patch in a container: several times smaller than the raw patch
   * on executables, and read by applyPatch (and varnock) as a patch is.
   */
  container?: boolean;
}

/**
 * What the module uses of a FileSystemSyncAccessHandle, named by its shape so
 * that the types need no worker's library (a handle comes from a dedicated
 * worker's createSyncAccessHandle()).
 */
export interface SyncAccessHandle {
  truncate(size: number): void;
  write(buffer: Uint8Array, options: { at: number }): number;
  flush(): void;
}

/**
 * What a sink function may return: anything but a promise or another
 * thenable. Its result is not used.
 */
export type SinkResult = void | null | boolean | number | bigint | string | symbol | { then?: never };

/**
 * Where the output goes: a FileSystemSyncAccessHandle (emptied, then written
 * piece by piece from offset 0 and flushed), a function called with each
 * piece, or a WritableStream. The function must be done with the piece when
 * it returns, as its memory is then reused: one that returns a promise (an
 * `async` function does) is refused with a TypeError, before any work or at
 * its first piece, since the call can neither wait for the promise nor learn
 * of its failure; a stream is the sink for writes that complete later. A
 * stream cannot take anything while the call holds the thread, so it is
 * written after the call, and only if the call succeeded (a failed call writes nothing to it;
 * it is left open and unlocked either way). In a dedicated worker with the
 * Origin Private File System, the output waits in a scratch file there and
 * is written to the stream 1 MiB at a time, each chunk once the stream has
 * taken the one before: memory stays bounded whatever the size (this is how
 * a file's createWritable() stream is best written). Where there is none (a
 * page's main thread, a page opened from disk, Node), the output waits in
 * memory, whole: use a function or a sync access handle there for large outputs.
 */
export type Sink = SyncAccessHandle | WritableStream<Uint8Array> | ((piece: Uint8Array) => SinkResult);

export interface Written {
  /** Bytes handed to the sink. */
  size: number;
  /** CRC-32 (ISO-HDLC) of those bytes, as an unsigned number. */
  crc32: number;
}

/** A failure of the library: `code` is its code's name without "VARNOCK_ERROR_", `message` its exact message. */
export class VarnockError extends Error {
  readonly name: "VarnockError";
  readonly code:
    | "OTHER" | "SOURCE_CHECKSUM" | "TARGET_CHECKSUM" | "NO_HEADER" | "HEADER_CORRUPTED" | "NOT_A_PATCH"
    | "UNSUPPORTED_VERSION" | "UNEXPECTED_END" | "UNEXPECTED_STOP" | "64BIT_LENGTH" | "SEEK_BEYOND_SOURCE"
    | "STOP_CHECK" | "RANGE" | "OS" | "CANNOT_CREATE" | "WRITE" | "OUT_OF_MEMORY" | "CANCELLED" | "BAD_ARGUMENT"
    | "INPUT_SHORTENED" | "TOO_LARGE" | "BUFFER_TOO_SMALL" | "PATCH_EXISTS" | "READ"
    | "CONTAINER_DAMAGED" | "CONTAINER_VERSION" | "XZ_DAMAGED" | "ZSTD_DAMAGED";
}

/** Rebuilds the target from the source and the patch, checked as the varnock program checks it. */
export function applyPatch(source: Input, patch: Input, options?: ApplyOptions): Promise<Uint8Array>;
/** The same, handing the target to `sink` instead of returning it whole. */
export function applyPatchTo(source: Input, patch: Input, sink: Sink, options?: ApplyOptions): Promise<Written>;
/** Makes a patch that rebuilds `target` from `source`. */
export function makePatch(source: Input, target: Input, options?: MakeOptions): Promise<Uint8Array>;
/** The same, handing the patch to `sink`. */
export function makePatchTo(source: Input, target: Input, sink: Sink, options?: MakeOptions): Promise<Written>;
export interface InspectOptions extends Options {
  /** Read the whole patch, front to back, for the target's length and the counts; else its header alone. */
  scan?: boolean;
}

/**
 * What a patch holds, told without its source. A field is absent where the
 * patch does not tell it: a raw patch carries no source length, and its
 * target's length and counts come only from a scan.
 */
export interface PatchInfo {
  kind: "raw" | "container" | "xz" | "zstd";
  /** CRC-32 (ISO-HDLC) of the source the patch was made for, as an unsigned number. */
  sourceCrc32?: number;
  /** CRC-32 of the target the patch makes. */
  targetCrc32?: number;
  sourceSize?: number;
  targetSize?: number;
  /** Numbers of copy and literal instructions (scan). */
  copies?: number;
  literals?: number;
  /** Bytes the target takes from the source, and bytes the patch carries (scan). */
  bytesCopied?: number;
  bytesCarried?: number;
  /** The end of the copy reaching furthest into the source: the least source length the patch can apply to (scan). */
  sourceReach?: number;
}

/**
 * What the patch holds, checked as applying checks it but for the tests that
 * need the source; rejects with the error applying would give. A Blob is read
 * by ranges, only as far as needed.
 */
export function inspectPatch(patch: Input, options?: InspectOptions): Promise<PatchInfo>;
/** The library's version ("0.0.1"). */
export function version(): Promise<string>;
