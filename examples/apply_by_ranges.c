/* Applies a patch with the source and the patch read by ranges (pread) and
 * the target written as it comes, in the source cache's memory and a few MiB
 * more, whatever the files' lengths (a 3 GiB source on a 32-bit host too):
 *   apply_by_ranges <source> <target> <patch> [cache MiB] */
#define _FILE_OFFSET_BITS 64
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <varnock.h>

static int64_t read_at(void* file, uint64_t offset, uint8_t* buffer, size_t size) {
  return pread(*(const int*)file, buffer, size, (off_t)offset); /* -1 fails the call, 0 is an early end */
}

static int32_t write_out(void* file, const uint8_t* data, size_t size) {
  return fwrite(data, 1, size, (FILE*)file) == size ? 0 : 1;
}

static uint64_t size_of(int file) {
  struct stat status;
  return fstat(file, &status) == 0 ? (uint64_t)status.st_size : 0;
}

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    fprintf(stderr, "usage: %s <source> <target> <patch> [cache MiB]\n", argv[0]);
    return 1;
  }
  int source = open(argv[1], O_RDONLY), patch = open(argv[3], O_RDONLY);
  FILE* target = source >= 0 && patch >= 0 ? fopen(argv[2], "wb") : NULL;
  varnock_context* context = varnock_context_new();
  if (target == NULL || context == NULL) {
    perror("apply_by_ranges");
    return 2;
  }
  if (argc == 5) varnock_set_source_cache(context, (size_t)strtoul(argv[4], NULL, 10) << 20);
  int32_t code = varnock_apply_ranges(context, read_at, &source, size_of(source), read_at, &patch,
                                      size_of(patch), write_out, target);
  if (fclose(target) != 0 && code == VARNOCK_OK) code = VARNOCK_ERROR_WRITE;
  if (code != VARNOCK_OK)
    fprintf(stderr, "%s: %s\n", varnock_code_name(code), varnock_error_message(context));
  varnock_context_free(context);
  close(source);
  close(patch);
  return code == VARNOCK_OK ? 0 : 2;
}
