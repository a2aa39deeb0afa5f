/*
 * libvarnock: apply and make binary patches from inside another program.
 *
 * A patch rebuilds a newer file (the target) from an older one (the source):
 * it names both by their CRC-32s and carries literal bytes and byte ranges of
 * the source. Applying checks the patch against the source before it writes
 * anything, writes the target front to back, then checks the target's CRC-32.
 *
 * The library never prints, never ends the process, installs no signal
 * handler, changes no signal disposition and takes over no descriptor. Every
 * failure comes back as a value: a code from the list below and, from the
 * context, the message the varnock program prints for it.
 *
 * Signals stay the host's: a target written past the process's file-size
 * limit (RLIMIT_FSIZE) raises SIGXFSZ as any write does, and a mapped input
 * shortened by another program raises SIGBUS (see varnock_set_input_access);
 * the varnock program ignores the one and handles the other, a host decides.
 *
 * Threads: the library keeps no mutable global state. A context is used by one
 * thread at a time; different threads may use different contexts at once, also
 * on the same input files (but not with the same target file). Callbacks run
 * on the thread that made the call.
 *
 * Sizes of memory are size_t; counts, codes and checksums are fixed-width.
 * Input files of 4 GiB or more are refused (VARNOCK_ERROR_OS, or
 * VARNOCK_ERROR_TOO_LARGE for the maker), and so are memory inputs of 4 GiB
 * or more given to the maker.
 */
#ifndef VARNOCK_H
#define VARNOCK_H

#include <stddef.h>
#include <stdint.h>

#define VARNOCK_VERSION_MAJOR 0
#define VARNOCK_VERSION_MINOR 0
#define VARNOCK_VERSION_PATCH 1
#define VARNOCK_VERSION_NUMBER \
  (VARNOCK_VERSION_MAJOR * 10000 + VARNOCK_VERSION_MINOR * 100 + VARNOCK_VERSION_PATCH)
#define VARNOCK_VERSION_STRING "0.0.1"

/* VARNOCK_API marks the exported functions. Define VARNOCK_STATIC before
 * including this header when linking the static library on Windows. */
#if defined(_WIN32) && !defined(VARNOCK_STATIC)
#if defined(VARNOCK_BUILDING)
#define VARNOCK_API __declspec(dllexport)
#else
#define VARNOCK_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VARNOCK_API __attribute__((visibility("default")))
#else
#define VARNOCK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. Each kind of failure has its own code, stable across versions;
 * the context's message gives the exact words (see varnock_error_message). */
/* The table reads best aligned, whatever the line length. */
/* clang-format off */
#define VARNOCK_OK 0
#define VARNOCK_ERROR_OTHER 1                /* a failure of no kind below */
#define VARNOCK_ERROR_SOURCE_CHECKSUM 2      /* "Source file checksum don't match" */
#define VARNOCK_ERROR_TARGET_CHECKSUM 3      /* "Target file checksum don't match" */
#define VARNOCK_ERROR_NO_HEADER 4            /* "Patch file contains no header." */
#define VARNOCK_ERROR_HEADER_CORRUPTED 5     /* "Patch file header corrupted." */
#define VARNOCK_ERROR_NOT_A_PATCH 6          /* "<patch name> is not a patch" */
#define VARNOCK_ERROR_UNSUPPORTED_VERSION 7  /* "Unsupported version of patch format " */
#define VARNOCK_ERROR_UNEXPECTED_END 8       /* "Unexpected end of patch file" */
#define VARNOCK_ERROR_UNEXPECTED_STOP 9      /* "Unexpected stop instruction before end of patch file" */
#define VARNOCK_ERROR_64BIT_LENGTH 10        /* "64-bit length of file is not supported in this version" */
#define VARNOCK_ERROR_SEEK_BEYOND_SOURCE 11  /* "Seek beyond source file end. Instruction at <offset>" */
#define VARNOCK_ERROR_STOP_CHECK 12          /* "Internal error checking the stop instruction" */
#define VARNOCK_ERROR_RANGE 13               /* "Range check error" */
#define VARNOCK_ERROR_OS 14                  /* "System Error.  Code: <n>.\r\n<text>"; see varnock_os_error_code */
#define VARNOCK_ERROR_CANNOT_CREATE 15       /* "Cannot create file \"<absolute name>\". <text>"; the maker's patch is an input */
#define VARNOCK_ERROR_WRITE 16               /* "Stream write error", also when a write callback fails */
#define VARNOCK_ERROR_OUT_OF_MEMORY 17       /* "Out of memory" */
#define VARNOCK_ERROR_CANCELLED 18           /* "Cancelled": the progress callback asked to stop */
#define VARNOCK_ERROR_BAD_ARGUMENT 19        /* "Bad argument: <what>" */
#define VARNOCK_ERROR_INPUT_SHORTENED 20     /* "Input file \"<name>\" was shortened while it was being read" */
#define VARNOCK_ERROR_TOO_LARGE 21           /* the maker, varnock_apply_ranges: an input, or the patch, of 4 GiB or more; any call: an xz or zstd patch that decodes to that */
#define VARNOCK_ERROR_BUFFER_TOO_SMALL 22    /* "Target buffer too small"; see varnock_apply_to_buffer */
#define VARNOCK_ERROR_PATCH_EXISTS 23        /* varnock_make_files: the patch file exists and is not to be replaced */
#define VARNOCK_ERROR_READ 24                /* "Stream read error": a read callback failed */
/* A patch container (doc/container-format.md) that breaks its format's
 * rules: "Damaged patch container: <what>". Applying finds it before it
 * writes any of the damaged block's runs; a damaged header, before anything. */
#define VARNOCK_ERROR_CONTAINER_DAMAGED 25
/* "Unsupported version of patch container <n>": one made by a later Varnock. */
#define VARNOCK_ERROR_CONTAINER_VERSION 26
/* A patch compressed whole by xz or zstd whose stream the decompressor finds
 * damaged: "Damaged xz stream: <what>", "Damaged zstd stream: <what>"; also
 * one that needs more memory to decode than xz -9 or zstd --long do (an xz
 * dictionary above 160 MiB in all, a zstd window above 128 MiB). */
#define VARNOCK_ERROR_XZ_DAMAGED 27
#define VARNOCK_ERROR_ZSTD_DAMAGED 28
/* clang-format on */

/* Stages a progress callback is told about. Applying goes through CHECKSUM
 * (the patch checked against the source), WRITING (the target written) and
 * VERIFYING (the target's CRC-32 checked); making a patch through INDEXING,
 * MATCHING, WRITING (the patch written) and, for files, VERIFYING. */
#define VARNOCK_STAGE_CHECKSUM 1
#define VARNOCK_STAGE_WRITING 2
#define VARNOCK_STAGE_VERIFYING 3
#define VARNOCK_STAGE_INDEXING 4
#define VARNOCK_STAGE_MATCHING 5

/* Told how far a call has come: `done` of `total` bytes of `stage`. For each
 * stage it is called first with done = 0 and last with done = total (unless
 * the call fails or is cancelled first); `done` never decreases within a stage
 * and never exceeds `total` (also when a host's read callback hands over other
 * bytes the second time a patch is read), and stages come in the order of
 * the call's own list above: applying 1, 2, 3; making 4, 5, 2, then 3 for
 * files. Between those two calls it is called at most about 30 times a
 * second, about every MiB of progress when there is time to. Returning non-zero cancels the call, which then
 * ends with VARNOCK_ERROR_CANCELLED: a target file then holds a prefix of the right target (the runs written
 * before), as it does after any other error. Like every callback it may call the library, with the same
 * context too (see varnock_context). */
typedef int32_t (*varnock_progress_fn)(void* user_data, int32_t stage, uint64_t done, uint64_t total);

/* Receives output (a target, or a patch) front to back, in pieces of any size
 * from 1 byte up; `data` is valid only during the call. Returns 0 to go on;
 * anything else fails the call with VARNOCK_ERROR_WRITE. */
typedef int32_t (*varnock_write_fn)(void* user_data, const uint8_t* data, size_t size);

/* Reads `size` bytes (1 or more) of an input, those from `offset`, into
 * `buffer`; the range always lies within the length the input was given
 * with. Returns the count of bytes placed at the start of `buffer`: `size`,
 * or fewer, and the library then asks again for the rest; 0 while bytes
 * remain means the input ended early (VARNOCK_ERROR_INPUT_SHORTENED); a
 * negative value, or one above `size`, fails the call with
 * VARNOCK_ERROR_READ. The library asks for at most 1 MiB at a time: the
 * source a block of its cache, or pages of one, at a time (see
 * varnock_set_source_cache), the patch front to back. It is called only during the call it was given to,
 * on the calling thread. */
typedef int64_t (*varnock_read_fn)(void* user_data, uint64_t offset, uint8_t* buffer, size_t size);

/* Holds a call's settings and its last error. Opaque.
 *
 * A call takes the context's settings (the progress callback, the input
 * access, the source cache, the source's CRC-32) once, as it begins: a setter called while a call
 * runs, from one of its callbacks, changes only the calls made after it. A
 * callback may also call the library with the same context; what the context
 * tells after a call (varnock_error_message, varnock_os_error_code) is that
 * call's own outcome, whatever a call nested in it left. */
typedef struct varnock_context varnock_context;

/* A new context with no progress callback and inputs read (see
 * varnock_set_input_access). Returns NULL when memory is short. The caller
 * owns it and frees it with varnock_context_free. */
VARNOCK_API varnock_context* varnock_context_new(void);

/* Frees a context and everything it holds. NULL does nothing. */
VARNOCK_API void varnock_context_free(varnock_context* context);

/* Sets the progress callback for the calls made with this context; NULL
 * removes it. `user_data` is handed to the callback and never looked at. */
VARNOCK_API void varnock_set_progress(varnock_context* context, varnock_progress_fn progress,
                                      void* user_data);

/* How varnock_apply_files reads its input files.
 *
 * VARNOCK_INPUTS_READ (the default): the inputs are read by ranges with
 * plain reads, as varnock_apply_ranges reads them: the source through the
 * block cache (see varnock_set_source_cache), the patch through a 256 KiB
 * window, and the target is read back through a 256 KiB buffer. The memory
 * taken is the cache's and about 2 MiB more, whatever the files' lengths,
 * and for a container one block's streams and yield (see
 * varnock_apply_ranges). An
 * input that another program shortens during the call ends it with
 * VARNOCK_ERROR_INPUT_SHORTENED; nothing else in the host is touched. Its CPU
 * time against the mapped way is measured in bench/README.md.
 *
 * VARNOCK_INPUTS_MAPPED: each input is mapped read-only and never copied, as
 * the varnock program does: as fast as the program (within 2% of its CPU time
 * on 64 MB and 512 MB files) and with no memory of its own. But where the OS cannot keep other programs
 * from shortening an open file (POSIX systems), a read of a mapped input that
 * was shortened meanwhile raises SIGBUS in the calling thread, and the library
 * installs no handler for it: choose this only for inputs no other program
 * writes to, or when the host handles SIGBUS itself. On Windows share modes
 * keep the inputs whole and both settings are safe. */
#define VARNOCK_INPUTS_READ 0
#define VARNOCK_INPUTS_MAPPED 1
/* Returns VARNOCK_OK, or VARNOCK_ERROR_BAD_ARGUMENT for another value. */
VARNOCK_API int32_t varnock_set_input_access(varnock_context* context, int32_t access);

/* The most memory, in bytes, that the source's block cache takes where the
 * source is read by ranges: in varnock_apply_ranges and in
 * varnock_apply_files with VARNOCK_INPUTS_READ. The cache holds whole blocks
 * of 256 KiB, at least one, and never more than the source has; 0 sets the
 * default, 64 MiB. A copy from bytes the cache holds costs what a copy in
 * memory costs; one from elsewhere reads the 4 KiB pages of its block that it
 * needs, and reads that go on one from another (a run through the source)
 * grow to whole blocks. A cache as large as the source reads it once at most.
 * Returns VARNOCK_OK. */
#define VARNOCK_DEFAULT_SOURCE_CACHE ((size_t)64 << 20)
VARNOCK_API int32_t varnock_set_source_cache(varnock_context* context, size_t bytes);

/* The CRC-32 of the source, for a host that has taken it already (a check it
 * made when the files were chosen) and knows the source has not changed
 * since: with `known` 1, every call that checks a source against a patch
 * (varnock_apply_files, _memory, _to_buffer, _ranges and varnock_target_size)
 * takes `crc` as its source's CRC-32 and does not read the source for it; the
 * source is read only where the patch copies from it (and where a container
 * predicts from it), and the CHECKSUM stage goes from 0 straight to its total.
 * With `known` 0 (a new context's setting) the source is read whole for its
 * CRC-32 again. Like the other settings it holds for every call after it: a
 * host that goes on to another source sets that one's CRC-32, or 0, first.
 *
 * The patch's own checks stand. A `crc` that is not the one the patch names
 * for its source fails the call with VARNOCK_ERROR_SOURCE_CHECKSUM and its
 * message before anything is written, as a source with that CRC-32 would (a
 * container's check of the source's length comes before it, as ever). A `crc`
 * that names the patch's source while the source given is another cannot be
 * seen before writing: the target is written from the source given, then its
 * own CRC-32 check fails the call with VARNOCK_ERROR_TARGET_CHECKSUM (or an
 * instruction that reaches beyond the source fails it before). Success
 * still means a target with the CRC-32 the patch names, but a target file
 * then holds the wrong bytes written, as after any other failure: give only
 * a CRC-32 taken of these very bytes. Returns VARNOCK_OK, or VARNOCK_ERROR_BAD_ARGUMENT (the setting left
 * as it was) for a `known` other than 0 and 1. */
VARNOCK_API int32_t varnock_set_source_crc(varnock_context* context, int32_t known, uint32_t crc);

/* The message of the last failed call made with `context`; "" after a call
 * that succeeded. For applying, exactly as the varnock program prints it after
 * its "Brevane ERROR: " prefix. For making, the words varnock-diff prints
 * after its "varnock-diff: " prefix (its manual lists them), one line without
 * a line end, naming the file concerned. Owned by the context; valid until its
 * next call. */
VARNOCK_API const char* varnock_error_message(const varnock_context* context);

/* The OS's own error code of the last failure when it was VARNOCK_ERROR_OS
 * (errno, or GetLastError on Windows); 0 otherwise. */
VARNOCK_API uint32_t varnock_os_error_code(const varnock_context* context);

/* The name of a code ("VARNOCK_ERROR_RANGE"), or "unknown" for a value that is
 * none. A static string; never NULL. */
VARNOCK_API const char* varnock_code_name(int32_t code);

/* VARNOCK_VERSION_NUMBER and VARNOCK_VERSION_STRING of the library that runs,
 * which may be newer than the header a host was built with. */
VARNOCK_API uint32_t varnock_version_number(void);
VARNOCK_API const char* varnock_version_string(void);

/* Applies the patch file `patch_name` to the file `source_name` and writes the
 * file `target_name`, with the checks and messages of the varnock program, in
 * the same order: the inputs are opened, the target is created (or emptied);
 * the patch is checked against the source; the target is written, then read
 * back and its CRC-32 checked. A target that names one of the inputs is refused
 * (VARNOCK_ERROR_CANNOT_CREATE) and that file left unchanged. The target is
 * never deleted: after any failure it holds what was written until then.
 * Names are handed to the OS unchanged. Returns VARNOCK_OK or an error code. */
VARNOCK_API int32_t varnock_apply_files(varnock_context* context, const char* source_name,
                                        const char* target_name, const char* patch_name);

/* Applies a patch held in memory to a source held in memory, handing the
 * target to `write` front to back, then checks the target's CRC-32 on the
 * bytes handed over. No file is touched. The caller keeps ownership of every
 * buffer; the library reads them only during the call. A NULL pointer is
 * allowed with a size of 0. The message for a patch without the patch magic
 * names it "<memory>". Returns VARNOCK_OK or an error code; after a failure
 * `write` has received the target's runs before the failing instruction. */
VARNOCK_API int32_t varnock_apply_memory(varnock_context* context, const uint8_t* source, size_t source_size,
                                         const uint8_t* patch, size_t patch_size, varnock_write_fn write,
                                         void* write_data);

/* The same, into the caller's buffer `target` of `capacity` bytes, with no
 * copy but the one into it. On success `*target_size` is the target's length.
 * A target longer than `capacity` fails with VARNOCK_ERROR_BUFFER_TOO_SMALL
 * (varnock_target_size tells the length needed). After any failure
 * `*target_size` is the count of bytes written to the buffer. */
VARNOCK_API int32_t varnock_apply_to_buffer(varnock_context* context, const uint8_t* source,
                                            size_t source_size, const uint8_t* patch, size_t patch_size,
                                            uint8_t* target, size_t capacity, size_t* target_size);

/* Applies a patch to a source that are both read by ranges through the
 * host's callbacks, handing the target to `write` front to back, then checks
 * the target's CRC-32 on the bytes handed over; for a host that can neither
 * map its inputs nor hold them in memory (a source of 3 GiB on a 32-bit host,
 * a file in a browser's worker).
 *
 * The source, `source_size` bytes, is read by `read_source` (with
 * `source_data`) once whole, block by block, for its CRC-32 before anything
 * is written (unless varnock_set_source_crc gave it), then block by block
 * again where copies need it, through a cache of bounded size
 * (varnock_set_source_cache): the blocks read last during the check are
 * still held when writing begins, so a source no larger than the cache is
 * read once at most. The patch, `patch_size` bytes, is read
 * by `read_patch` (with `patch_data`) front to back through a 256 KiB window;
 * its instructions are read a second time (long literal runs skipped) when a
 * progress callback is set, for the writing stage's total. A patch held in
 * memory is handed over by a callback that copies from it. The memory taken
 * is the cache's and about 2 MiB more, whatever the inputs' lengths; a
 * container (doc/container-format.md) adds one block's decoded streams and
 * yield, at most 3 times its block limit, and an LZMA2 stream's dictionary,
 * at most 2 times the limit: up to 80 MiB for the largest blocks the format
 * allows, 40 MiB for varnock-diff's (8 MiB). A container of version 2
 * whose blocks predict the references of an executable source also reads
 * that source whole into memory once, at its first predicted block, and
 * holds what it learns of it: 24 bytes for each stretch its copies move (at
 * most 2^20 of them), 8 bytes for each pointer its relocation tables list,
 * and the references of up to 1,024 of its 4 KiB pieces at a time. An xz
 * or zstd patch adds its decompressor's, at most 160 MiB (see
 * VARNOCK_ERROR_XZ_DAMAGED). Inputs of 4 GiB or more are refused with
 * VARNOCK_ERROR_TOO_LARGE.
 *
 * The checks, codes, messages and progress are those of
 * varnock_apply_memory; a patch without the patch magic is named "<patch>",
 * an input that ends early "<source>" or "<patch>". A run may reach `write`
 * in several pieces. Returns VARNOCK_OK or an error code; after a failure
 * `write` has received the target's runs before the failing instruction and,
 * after a failed read or write, part of the run at hand. The callbacks run
 * only during the call, on the calling thread. */
VARNOCK_API int32_t varnock_apply_ranges(varnock_context* context, varnock_read_fn read_source,
                                         void* source_data, uint64_t source_size, varnock_read_fn read_patch,
                                         void* patch_data, uint64_t patch_size, varnock_write_fn write,
                                         void* write_data);

/* The length of the target the patch rebuilds from the source, found by the
 * checks of applying (header, source CRC-32, every instruction) without
 * writing anything; the target's own CRC-32 is not checked. Returns VARNOCK_OK
 * and sets `*target_size`, or the error the patch would fail with. */
VARNOCK_API int32_t varnock_target_size(varnock_context* context, const uint8_t* source, size_t source_size,
                                        const uint8_t* patch, size_t patch_size, uint64_t* target_size);

/* Kinds of patch file, told apart by their first bytes: a raw patch (the
 * format varnock-diff writes by default), a container (varnock-diff -z; see
 * doc/container-format.md), and a raw patch compressed whole by xz or zstd. */
#define VARNOCK_KIND_RAW 1
#define VARNOCK_KIND_CONTAINER 2
#define VARNOCK_KIND_XZ 3
#define VARNOCK_KIND_ZSTD 4

/* Bits of varnock_patch_info's `known`: which of its fields hold a value. */
#define VARNOCK_INFO_CHECKSUMS 1u   /* source_crc, target_crc */
#define VARNOCK_INFO_SOURCE_SIZE 2u /* source_size */
#define VARNOCK_INFO_TARGET_SIZE 4u /* target_size */
#define VARNOCK_INFO_COUNTS 8u      /* copies, literals, bytes_copied, bytes_carried, source_reach */

/* What a patch holds, as varnock_inspect_patch tells it. Fields whose bit is
 * not in `known` are 0. */
typedef struct varnock_patch_info {
  int32_t kind;   /* VARNOCK_KIND_* */
  uint32_t known; /* VARNOCK_INFO_* bits */
  /* CRC-32 of the source the patch was made for, and of the target it makes. */
  uint32_t source_crc;
  uint32_t target_crc;
  /* The source's length: a container carries it; a raw patch does not (its
   * copies only tell the least length, source_reach). */
  uint64_t source_size;
  /* The target's length: a container carries it; a raw patch tells it when
   * read whole. */
  uint64_t target_size;
  /* Read whole: the numbers of copy and literal instructions, the bytes they
   * append to the target (copied from the source, carried in the patch), and
   * the end of the copy that reaches furthest into the source. */
  uint64_t copies;
  uint64_t literals;
  uint64_t bytes_copied;
  uint64_t bytes_carried;
  uint64_t source_reach;
  uint64_t reserved[4];
} varnock_patch_info;

/* How much of the patch varnock_inspect_patch reads. */
#define VARNOCK_INFO_HEADER 0 /* its header alone: kind, checksums, and the lengths a container carries */
#define VARNOCK_INFO_SCAN 1   /* all of it: also the target's length and the counts */

/* Tells what the patch `patch` of `patch_size` bytes, in memory, holds,
 * without its source, filling `*info`. With VARNOCK_INFO_HEADER it reads the
 * patch's first bytes and its header only (a raw patch: at most 65,540 bytes)
 * and checks them as applying does (VARNOCK_ERROR_NO_HEADER,
 * VARNOCK_ERROR_HEADER_CORRUPTED, VARNOCK_ERROR_NOT_A_PATCH naming the patch
 * "<memory>", VARNOCK_ERROR_UNSUPPORTED_VERSION), but for one thing: a file
 * without the patch magic in its head is VARNOCK_ERROR_NOT_A_PATCH, whatever
 * its first bytes spell as a header, where applying may find its header
 * corrupted or, checking the source first, the source's CRC-32 wrong. With
 * VARNOCK_INFO_SCAN it reads the whole patch, front to back, and checks every
 * instruction as applying does, but for the tests that need the source (its
 * CRC-32, copies beyond its end), returning the error applying would return
 * first. Nothing
 * is written. A container tells both lengths and CRC-32s from its header; read
 * whole, its blocks are decoded and the raw patch inside scanned, but what
 * needs the source (its literals sent as differences, its CRC-32s) is left to
 * applying. An xz or zstd file is decoded as far as the raw patch's header,
 * or whole; its damage is VARNOCK_ERROR_XZ_DAMAGED or _ZSTD_DAMAGED, and a
 * raw patch of 4 GiB or more inside VARNOCK_ERROR_TOO_LARGE, found from its
 * index or frame headers where they tell the length, else when the decoding
 * reaches 4 GiB (read whole: 4 GiB is the most ever decoded).
 * Returns VARNOCK_OK or an error code; `*info` is all zeros after a failure. */
VARNOCK_API int32_t varnock_inspect_patch(varnock_context* context, const uint8_t* patch, size_t patch_size,
                                          int32_t scope, varnock_patch_info* info);

/* The same on a patch of `patch_size` bytes read by ranges through
 * `read_patch` (with `patch_data`), as varnock_apply_ranges reads it: front
 * to back, at most 1 MiB at a time, and only as far as `scope` needs. The
 * patch is named "<patch>"; patches of 4 GiB or more are refused with
 * VARNOCK_ERROR_TOO_LARGE. */
VARNOCK_API int32_t varnock_inspect_patch_ranges(varnock_context* context, varnock_read_fn read_patch,
                                                 void* patch_data, uint64_t patch_size, int32_t scope,
                                                 varnock_patch_info* info);

/* The maker's settings. Start from all zeros (the defaults) and set fields;
 * `reserved32` and `reserved` must stay zero. */
typedef struct varnock_make_options {
  /* Non-zero: aim at the smallest patch after a general-purpose compressor
   * rather than the smallest patch as stored. */
  int32_t compressible;
  /* Threads that find matches; 0 takes one per core. Where the OS will not
   * start that many, the call goes on with those it could start. The patch's
   * bytes never depend on it. */
  uint32_t threads;
  /* Bytes the maker may hold besides the inputs, whatever the thread count.
   * 0 sets no limit: the index then depends on the inputs' sizes alone
   * (varnock-diff's manual, MEMORY), unless the machine cannot give what it
   * needs, when a smaller one is taken and the patch may differ from one
   * made on a larger machine; a limit fixes the choice. Past what the full
   * index needs a smaller one is used; a limit below the least the maker can
   * work in for the inputs' sizes fails with VARNOCK_ERROR_BAD_ARGUMENT, and
   * the message names the least. */
  uint64_t memory_limit;
  /* varnock_make_files only: non-zero replaces an existing patch file; zero
   * refuses it with VARNOCK_ERROR_PATCH_EXISTS. */
  int32_t replace_existing;
  /* 1 to 9, as varnock-diff's -1 ... -9; 0 takes the default, 9, which
   * finds every match of 8 bytes and more. Each level below takes a sampled
   * index of half the size of the one above (2 times the source at 8): faster,
   * in less memory, for a larger patch. The patch depends on the level; any
   * other value fails with VARNOCK_ERROR_BAD_ARGUMENT. */
  int32_t level;
  /* Non-zero: the patch goes out in a container (doc/container-format.md),
   * several times smaller than the raw patch, which every apply call reads
   * as it reads a raw one. The raw patch is made as without it and encoded
   * as it comes, a block at a time on `threads` threads, never held whole;
   * the container's bytes never depend on their number. varnock_make_memory
   * holds the container and checks that it rebuilds the target before
   * `write` gets any of it; varnock_make_files checks it as read back from
   * the file. Its compressors aim at the smallest container: it takes longer
   * than the raw patch (varnock-diff's manual, -z). */
  int32_t container;
  uint32_t reserved32;
  uint64_t reserved[2];
} varnock_make_options;

/* Makes a patch that rebuilds `target` from `source`, both in memory, handing
 * it to `write` front to back. `options` may be NULL for the defaults. On
 * success `*patch_size` (when not NULL) is the patch's length. Returns
 * VARNOCK_OK or an error code. */
VARNOCK_API int32_t varnock_make_memory(varnock_context* context, const uint8_t* source, size_t source_size,
                                        const uint8_t* target, size_t target_size,
                                        const varnock_make_options* options, varnock_write_fn write,
                                        void* write_data, uint64_t* patch_size);

/* Makes the patch file `patch_name` that rebuilds the file `target_name` from
 * the file `source_name`, as the varnock-diff program does: the patch is
 * written to a file without a name yet (or a hidden one) in its directory,
 * checked by applying it, synced to storage, and only then given the name
 * `patch_name`; a failure leaves no patch and no other file, and a replaced
 * file's permission bits are kept. The codes of the refusals, all made before
 * any work: a patch name that reaches either input (by any spelling or link),
 * even with `replace_existing`, VARNOCK_ERROR_CANNOT_CREATE; an existing file
 * without `replace_existing`, VARNOCK_ERROR_PATCH_EXISTS; a directory, a block
 * device, a socket or an empty name, VARNOCK_ERROR_CANNOT_CREATE; "-" (which
 * stands for standard output in varnock-diff), VARNOCK_ERROR_BAD_ARGUMENT. A
 * character device or a FIFO takes the patch as a stream, checked as it is
 * written, and is never replaced. The inputs are mapped, as with
 * VARNOCK_INPUTS_MAPPED, whatever the context's input access. `options` may
 * be NULL. Returns VARNOCK_OK or an error code. */
VARNOCK_API int32_t varnock_make_files(varnock_context* context, const char* source_name,
                                       const char* target_name, const char* patch_name,
                                       const varnock_make_options* options);

#ifdef __cplusplus
}
#endif

#endif /* VARNOCK_H */
