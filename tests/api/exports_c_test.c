/* Loads the library as a C front end would and calls every export with null,
 * empty and invalid arguments. Every call must come back with an error record
 * of a sensible kind and message, and every record must free cleanly. */

#include "api/event_pipe_api.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef void* (*create_collector_fn)(const event_pipe_char16*, uint32_t, const event_pipe_char16*,
                                     const event_pipe_char16*, const event_pipe_char16*, int32_t, int32_t,
                                     error_info**);
typedef void (*release_fn)(void*, error_info**);
typedef void* (*create_nettrace_fn)(const event_pipe_char16*, const event_pipe_char16*, const event_pipe_char16*,
                                    event_pipe_progress_callback, error_info**);
typedef void (*release_error_fn)(error_info*);

static int failures = 0;
static int checks = 0;
static release_error_fn release_error;

static void expect_error(const char* what, void* result, error_info* error, const char* message_part) {
  ++checks;
  if (result != NULL) {
    printf("FAIL %s: a handle came back\n", what);
    ++failures;
  }
  if (error == NULL) {
    printf("FAIL %s: no error record\n", what);
    ++failures;
    return;
  }
  if (error->kind != 1 && error->kind != 2) {
    printf("FAIL %s: kind %d\n", what, error->kind);
    ++failures;
  }
  if (error->message == NULL || strstr(error->message, message_part) == NULL) {
    printf("FAIL %s: message \"%s\" lacks \"%s\"\n", what, error->message ? error->message : "(null)", message_part);
    ++failures;
  } else {
    printf("ok   %s: %s\n", what, error->message);
  }
  release_error(error);
}

static int progress_calls = 0;
static int progress(unsigned long current, unsigned long total, unsigned long finished) {
  (void)current;
  (void)total;
  (void)finished;
  ++progress_calls;
  return 1;
}

static void* symbol(void* library, const char* name) {
  void* s = dlsym(library, name);
  if (s == NULL) {
    printf("FAIL missing export %s\n", name);
    exit(1);
  }
  return s;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s LIBRARY\n", argv[0]);
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    printf("FAIL dlopen: %s\n", dlerror());
    return 1;
  }
  create_collector_fn create_collector = (create_collector_fn)symbol(library, "EventPipeApiCreateCollector");
  release_fn release_collector = (release_fn)symbol(library, "EventPipeApiReleaseCollector");
  create_nettrace_fn create_nettrace = (create_nettrace_fn)symbol(library, "EventPipeApiCreateNettraceCollector");
  release_fn release_nettrace = (release_fn)symbol(library, "EventPipeApiReleaseNettraceCollector");
  release_error = (release_error_fn)symbol(library, "ReleaseErrorInfo");

  static const event_pipe_char16 empty[] = {0};
  static const event_pipe_char16 endpoint[] = {'1', '2', '7', '.', '0', '.', '0', '.', '1', ':', '1', 0};
  static const event_pipe_char16 remote[] = {'1', '0', '.', '1', '.', '2', '.', '3', ':', '8', 0};
  static const event_pipe_char16 lone_low[] = {'/', 't', 0xDC01, 'x', 0};
  static const event_pipe_char16 lone_high[] = {'/', 't', 0xD801, 0};
  static const event_pipe_char16 missing[] = {'/', 'n', 'o', '/', 's', 'u', 'c', 'h', '.', 'n', 'e', 't', 't',
                                              'r', 'a', 'c', 'e', 0};
  static const event_pipe_char16 out[] = {'/', 't', 'm', 'p', '/', 'x', 0};
  /* Each call: a fresh record pointer, the call (which may name it as
   * `error`), then what the record must say. */
#define EXPECT_ERROR(what, call, message_part)          \
  do {                                                  \
    error_info* error = NULL;                           \
    void* handle = (call);                              \
    expect_error(what, handle, error, message_part);    \
  } while (0)
  EXPECT_ERROR("live: null endpoint", create_collector(NULL, 1, empty, empty, empty, 0, 0, &error),
               "bridge endpoint argument is null");
  EXPECT_ERROR("live: null process path", create_collector(endpoint, 1, NULL, empty, empty, 0, 0, &error),
               "process path argument is null");
  EXPECT_ERROR("live: lone low surrogate", create_collector(endpoint, 1, lone_low, empty, empty, 1, 2, &error),
               "The high utf16 surrogate char is expected");
  EXPECT_ERROR("live: lone high surrogate", create_collector(endpoint, 1, empty, lone_high, empty, 2, 1, &error),
               "The low utf16 surrogate char is expected");
  EXPECT_ERROR("live: empty arguments", create_collector(empty, 0, empty, empty, empty, 0, 0, &error),
               "The process id is 0");
  EXPECT_ERROR("live: a pid out of the system's range", create_collector(endpoint, 0x80000000u, empty, empty, empty, 0, 0, &error),
               "is out of range");
  EXPECT_ERROR("live: no such process", create_collector(endpoint, 0x7FFFFFF0, empty, empty, empty, 0, 0, &error),
               "is not alive");
  EXPECT_ERROR("live: endpoint off the loopback interface", create_collector(remote, 1, empty, empty, empty, 0, 0, &error),
               "only on the loopback interface");
  EXPECT_ERROR("live: release null", (release_collector(NULL, &error), NULL),
               "handle is null");
  EXPECT_ERROR("nettrace: null input", create_nettrace(NULL, out, empty, progress, &error),
               "nettrace path argument is null");
  EXPECT_ERROR("nettrace: lone surrogate in input path", create_nettrace(lone_low, out, empty, progress, &error),
               "The high utf16 surrogate char is expected");
  EXPECT_ERROR("nettrace: null progress callback", create_nettrace(missing, out, empty, NULL, &error),
               "progress callback");
  EXPECT_ERROR("nettrace: missing input file", create_nettrace(missing, out, empty, progress, &error),
               "/no/such.nettrace");
  EXPECT_ERROR("nettrace: empty paths", create_nettrace(empty, empty, empty, progress, &error),
               "path");
  EXPECT_ERROR("nettrace: release null", (release_nettrace(NULL, &error), NULL),
               "handle is null");

  /* A failure with nowhere to report it must still not crash or leak. */
  create_nettrace(NULL, NULL, NULL, NULL, NULL);
  release_nettrace(NULL, NULL);
  create_collector(NULL, 0, NULL, NULL, NULL, 0, 0, NULL);
  release_collector(NULL, NULL);

  release_error(NULL);

  dlclose(library);
  if (progress_calls != 0) {
    printf("FAIL the progress callback was called %d times on failed creations\n", progress_calls);
    ++failures;
  }
  printf("%d passed, %d failed\n", checks - failures, failures);
  return failures == 0 ? 0 : 1;
}
