/*
 * stall_shim: an LD_PRELOAD library that makes chosen files behave like a
 * disk that stops answering for a while, so tests can check that recording
 * keeps pace with the device while its output files hang.
 *
 * Environment, read once when the library is loaded:
 *
 *   ZELM_STALL_MATCH=".wav"        only descriptors whose path (the target of
 *                                  /proc/self/fd/N) contains this text stall;
 *                                  unset or empty: the shim does nothing
 *   ZELM_STALL_AT="500:2000,4000:300"
 *                                  windows START_MS:DURATION_MS, counted from
 *                                  the load of the library (process start)
 *   ZELM_STALL_EVERY="1000:200"    INTERVAL_MS:DURATION_MS, a window of
 *                                  DURATION_MS at every multiple of
 *                                  INTERVAL_MS from INTERVAL_MS on; DURATION
 *                                  must be below INTERVAL
 *
 * A wrapped call on a matching descriptor that starts inside a window sleeps
 * until the window (and any window it runs into) has ended, then runs
 * normally; a signal during the sleep does not end it early, as a write to
 * a hung disk does not return early either. Calls outside every window, or
 * on other descriptors, pass straight through.
 *
 * Wrapped: write, pwrite, pwrite64, writev, fsync, fdatasync, ftruncate,
 * ftruncate64, close, and the stdio calls whose own write(2) glibc makes
 * where a write() wrapper cannot see it: fwrite, fwrite_unlocked, fflush,
 * fclose, fputs, fputc, putc. A stdio call stalls even when it would only
 * have filled the stream buffer, which is harsher than a real disk.
 *
 * The wrappers allocate nothing and take no lock (readlink, clock_gettime
 * and clock_nanosleep only), so they are safe from any thread and from code
 * that runs in signal handlers.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

/* glibc may make these macros; the shim needs the real symbols. */
#undef putc
#undef fputc
#undef fwrite_unlocked

#define MAX_WINDOWS 64

struct window {
  long long start_ns;
  long long end_ns;
};

static struct window windows[MAX_WINDOWS];
static int window_count;
static long long every_interval_ns;
static long long every_duration_ns;
static char match[256];
static long long origin_ns;

static long long now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

/* The end of the window that holds time t (from the origin), or 0. */
static long long window_end(long long t) {
  long long end = 0;
  for (int i = 0; i < window_count; ++i) {
    if (t >= windows[i].start_ns && t < windows[i].end_ns && windows[i].end_ns > end)
      end = windows[i].end_ns;
  }
  if (every_interval_ns > 0 && t >= every_interval_ns) {
    const long long k = t / every_interval_ns;
    if (t - k * every_interval_ns < every_duration_ns &&
        k * every_interval_ns + every_duration_ns > end)
      end = k * every_interval_ns + every_duration_ns;
  }
  return end;
}

static int fd_matches(int fd) {
  /* Built by hand: snprintf is not async-signal-safe. */
  char link[32] = "/proc/self/fd/";
  char digits[12];
  int d = 0;
  for (int v = fd; d == 0 || v > 0; v /= 10) digits[d++] = (char)('0' + v % 10);
  size_t at = strlen(link);
  while (d > 0) link[at++] = digits[--d];
  link[at] = '\0';
  char target[4096];
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return 0;
  target[n] = '\0';
  return strstr(target, match) != NULL;
}

static void maybe_stall(int fd) {
  if (match[0] == '\0' || fd < 0) return;
  const int saved = errno;
  long long end = window_end(now_ns() - origin_ns);
  if (end != 0 && fd_matches(fd)) {
    /* Windows that touch or overlap make one longer stall. */
    while (end != 0) {
      const long long at = origin_ns + end;
      struct timespec ts = {(time_t)(at / 1000000000LL), (long)(at % 1000000000LL)};
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR) {
      }
      end = window_end(now_ns() - origin_ns);
    }
  }
  errno = saved;
}

static void maybe_stall_file(FILE *f) {
  if (f != NULL) maybe_stall(fileno_unlocked(f));
}

/* Reads "A:B" and moves *s past it; 0 when the text is not of that form. */
static int parse_pair(const char **s, long long *a, long long *b) {
  char *end;
  *a = strtoll(*s, &end, 10);
  if (end == *s || *end != ':') return 0;
  const char *second = end + 1;
  *b = strtoll(second, &end, 10);
  if (end == second) return 0;
  *s = end;
  return 1;
}

/* ISO C has no conversion from dlsym's object pointer to a function
 * pointer; copying the bits is the form POSIX blesses. */
#define NEXT(name, var)                  \
  do {                                   \
    if (var == NULL) {                   \
      void *p = dlsym(RTLD_NEXT, #name); \
      memcpy(&var, &p, sizeof p);        \
    }                                    \
  } while (0)

static ssize_t (*real_write)(int, const void *, size_t);
static ssize_t (*real_pwrite)(int, const void *, size_t, off_t);
static ssize_t (*real_pwrite64)(int, const void *, size_t, off64_t);
static ssize_t (*real_writev)(int, const struct iovec *, int);
static int (*real_fsync)(int);
static int (*real_fdatasync)(int);
static int (*real_ftruncate)(int, off_t);
static int (*real_ftruncate64)(int, off64_t);
static int (*real_close)(int);
static size_t (*real_fwrite)(const void *, size_t, size_t, FILE *);
static size_t (*real_fwrite_unlocked)(const void *, size_t, size_t, FILE *);
static int (*real_fflush)(FILE *);
static int (*real_fclose)(FILE *);
static int (*real_fputs)(const char *, FILE *);
static int (*real_fputc)(int, FILE *);
static int (*real_putc)(int, FILE *);

static void resolve_all(void) {
  NEXT(write, real_write);
  NEXT(pwrite, real_pwrite);
  NEXT(pwrite64, real_pwrite64);
  NEXT(writev, real_writev);
  NEXT(fsync, real_fsync);
  NEXT(fdatasync, real_fdatasync);
  NEXT(ftruncate, real_ftruncate);
  NEXT(ftruncate64, real_ftruncate64);
  NEXT(close, real_close);
  NEXT(fwrite, real_fwrite);
  NEXT(fwrite_unlocked, real_fwrite_unlocked);
  NEXT(fflush, real_fflush);
  NEXT(fclose, real_fclose);
  NEXT(fputs, real_fputs);
  NEXT(fputc, real_fputc);
  NEXT(putc, real_putc);
}

__attribute__((constructor)) static void stall_shim_load(void) {
  origin_ns = now_ns();
  resolve_all();
  const char *m = getenv("ZELM_STALL_MATCH");
  if (m != NULL && strlen(m) < sizeof match) strcpy(match, m);
  const char *at = getenv("ZELM_STALL_AT");
  while (at != NULL && *at != '\0' && window_count < MAX_WINDOWS) {
    long long start, duration;
    if (!parse_pair(&at, &start, &duration)) break;
    windows[window_count].start_ns = start * 1000000LL;
    windows[window_count].end_ns = (start + duration) * 1000000LL;
    ++window_count;
    if (*at == ',') ++at;
  }
  const char *every = getenv("ZELM_STALL_EVERY");
  long long interval, duration;
  if (every != NULL && parse_pair(&every, &interval, &duration) && interval > 0 &&
      duration < interval) {
    every_interval_ns = interval * 1000000LL;
    every_duration_ns = duration * 1000000LL;
  }
}

/* A wrapper may run before the constructor (another library's constructor
 * writing), hence NEXT in each one as well. */

ssize_t write(int fd, const void *buf, size_t n) {
  NEXT(write, real_write);
  maybe_stall(fd);
  return real_write(fd, buf, n);
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t at) {
  NEXT(pwrite, real_pwrite);
  maybe_stall(fd);
  return real_pwrite(fd, buf, n, at);
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t at) {
  NEXT(pwrite64, real_pwrite64);
  maybe_stall(fd);
  return real_pwrite64(fd, buf, n, at);
}

ssize_t writev(int fd, const struct iovec *iov, int count) {
  NEXT(writev, real_writev);
  maybe_stall(fd);
  return real_writev(fd, iov, count);
}

int fsync(int fd) {
  NEXT(fsync, real_fsync);
  maybe_stall(fd);
  return real_fsync(fd);
}

int fdatasync(int fd) {
  NEXT(fdatasync, real_fdatasync);
  maybe_stall(fd);
  return real_fdatasync(fd);
}

int ftruncate(int fd, off_t length) {
  NEXT(ftruncate, real_ftruncate);
  maybe_stall(fd);
  return real_ftruncate(fd, length);
}

int ftruncate64(int fd, off64_t length) {
  NEXT(ftruncate64, real_ftruncate64);
  maybe_stall(fd);
  return real_ftruncate64(fd, length);
}

int close(int fd) {
  NEXT(close, real_close);
  maybe_stall(fd);
  return real_close(fd);
}

size_t fwrite(const void *buf, size_t size, size_t count, FILE *f) {
  NEXT(fwrite, real_fwrite);
  maybe_stall_file(f);
  return real_fwrite(buf, size, count, f);
}

size_t fwrite_unlocked(const void *buf, size_t size, size_t count, FILE *f) {
  NEXT(fwrite_unlocked, real_fwrite_unlocked);
  maybe_stall_file(f);
  return real_fwrite_unlocked(buf, size, count, f);
}

int fflush(FILE *f) {
  NEXT(fflush, real_fflush);
  maybe_stall_file(f);
  return real_fflush(f);
}

int fclose(FILE *f) {
  NEXT(fclose, real_fclose);
  maybe_stall_file(f);
  return real_fclose(f);
}

int fputs(const char *s, FILE *f) {
  NEXT(fputs, real_fputs);
  maybe_stall_file(f);
  return real_fputs(s, f);
}

int fputc(int c, FILE *f) {
  NEXT(fputc, real_fputc);
  maybe_stall_file(f);
  return real_fputc(c, f);
}

int putc(int c, FILE *f) {
  NEXT(putc, real_putc);
  maybe_stall_file(f);
  return real_putc(c, f);
}
