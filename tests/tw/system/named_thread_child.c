/* A child for the /proc tests: names one thread, says it is ready on stdout,
 * then waits to be killed. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static void* idle(void* arg) {
  (void)arg;
  for (;;) pause();
  return NULL;
}

int main(void) {
  pthread_t thread;
  pthread_create(&thread, NULL, idle, NULL);
  pthread_setname_np(thread, "tw-named");
  printf("%d\n", (int)gettid());
  fflush(stdout);
  printf("ready\n");
  fflush(stdout);
  for (;;) pause();
  return 0;
}
