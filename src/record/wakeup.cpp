#include "record/wakeup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

bool OpenWakeups(Wakeups* w) {
  for (int* fd : {&w->main.fd, &w->room.fd, &w->writer.fd, &w->stop, &w->go}) {
    *fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (*fd < 0) return false;
  }
  return true;
}

void CloseWakeups(Wakeups* w) {
  for (int* fd : {&w->main.fd, &w->room.fd, &w->writer.fd, &w->stop, &w->go}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void Signal(int fd) {
  const uint64_t one = 1;
  // A full counter still wakes its reader; nothing else can go wrong here.
  [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
}

void DrainWakeup(int fd) {
  uint64_t count;
  [[maybe_unused]] const ssize_t n = read(fd, &count, sizeof count);
}

void Notify(Wakeup* w) {
  if (w->sleeping.exchange(false, std::memory_order_acq_rel)) Signal(w->fd);
}
