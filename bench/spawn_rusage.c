/* Runs a command and writes what wait4(2) reports about it alone:
 *
 *   zelm_spawn_rusage RESULT_FILE COMMAND [ARGS...]
 *
 * RESULT_FILE gets one line:
 * "exit=N user=S sys=S wall=S maxrss_kib=N nvcsw=N nivcsw=N" (the last two
 * are the voluntary and involuntary context switches).
 * A small C program on purpose: Linux carries the resident set of the process
 * that forks over into the child's ru_maxrss, so a child forked from a large
 * interpreter would report that interpreter's size instead of its own. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double Seconds(struct timeval t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s RESULT_FILE COMMAND [ARGS...]\n", argv[0]);
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  const pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    return 2;
  }
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) {
    perror("wait4");
    return 2;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  const double wall = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE* out = fopen(argv[1], "w");
  if (out == NULL) {
    perror(argv[1]);
    return 2;
  }
  fprintf(out, "exit=%d user=%.6f sys=%.6f wall=%.6f maxrss_kib=%ld nvcsw=%ld nivcsw=%ld\n", code,
          Seconds(usage.ru_utime), Seconds(usage.ru_stime), wall, usage.ru_maxrss, usage.ru_nvcsw,
          usage.ru_nivcsw);
  return fclose(out) == 0 ? 0 : 2;
}
