/* Applies a patch with a progress bar on standard error, through libvarnock:
 *   apply_with_progress <source> <target> <patch> */
#include <stdio.h>
#include <varnock.h>

static int32_t show(void* user_data, int32_t stage, uint64_t done, uint64_t total) {
  static const char* const names[] = {"", "checking", "writing", "verifying"};
  const int percent = total > 0 ? (int)(done * 100 / total) : 100;
  (void)user_data;
  fprintf(stderr, "\r%-9s [%-25.*s] %3d%%", names[stage], percent / 4, "#########################", percent);
  return 0; /* non-zero would cancel */
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s <source> <target> <patch>\n", argv[0]);
    return 1;
  }
  varnock_context* context = varnock_context_new();
  if (context == NULL) return 2;
  varnock_set_progress(context, show, NULL);
  int32_t code = varnock_apply_files(context, argv[1], argv[2], argv[3]);
  fputc('\n', stderr);
  if (code != VARNOCK_OK)
    fprintf(stderr, "%s: %s\n", varnock_code_name(code), varnock_error_message(context));
  varnock_context_free(context);
  return code == VARNOCK_OK ? 0 : 2;
}
