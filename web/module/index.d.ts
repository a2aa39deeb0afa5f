// Types of the varnock module. Every function runs the library on the calling
// thread: in a page, call it from a Web Worker so the page never blocks.

/** The library's stage names, in the order a call goes through them. */
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
   * the patch by ranges (a Blob with FileReaderSync in a worker, never whole),
   * so this and about 2 MiB is what the module holds, whatever their sizes.
   */
  sourceCache?: number;
}

export interface MakeOptions extends Options {
  /** Aim at the smallest patch after a general-purpose compressor rather than as stored. */
  compressible?: boolean;
}

/**
 * Where a target goes piece by piece: a FileSystemSyncAccessHandle (emptied,
 * then written from offset 0 and flushed), a WritableStream (given copies; as
 * the call holds the thread, it drains once the call returns), or a function
 * called with each piece, valid only during the call.
 */
export type Sink = FileSystemSyncAccessHandle | WritableStream<Uint8Array> | ((piece: Uint8Array) => void);

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
    | "INPUT_SHORTENED" | "TOO_LARGE" | "BUFFER_TOO_SMALL" | "PATCH_EXISTS" | "READ";
}

/** Rebuilds the target from the source and the patch, checked as the varnock program checks it. */
export function applyPatch(source: Input, patch: Input, options?: ApplyOptions): Promise<Uint8Array>;
/** The same, handing the target to `sink` instead of returning it whole. */
export function applyPatchTo(source: Input, patch: Input, sink: Sink, options?: ApplyOptions): Promise<Written>;
/** Makes a patch that rebuilds `target` from `source`. */
export function makePatch(source: Input, target: Input, options?: MakeOptions): Promise<Uint8Array>;
/** The same, handing the patch to `sink`. */
export function makePatchTo(source: Input, target: Input, sink: Sink, options?: MakeOptions): Promise<Written>;
/** The library's version ("0.0.1"). */
export function version(): Promise<string>;
