// An output file's life on its file system.
#include "record/output_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

void OutputFile::Close() {
  if (fd >= 0) close(fd);
  if (folder >= 0) close(folder);
  fd = folder = -1;
}

std::string FolderOf(const std::string& name) {
  const auto slash = name.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : name.substr(0, slash);
}

std::string NeededAndFree(uint64_t needed, uint64_t free) {
  char a[48], b[48];
  for (const auto& [scale, unit] : {std::pair{1e6, "MB"}, std::pair{1e3, "kB"}}) {
    std::snprintf(a, sizeof a, "%.1f %s", static_cast<double>(needed) / scale, unit);
    std::snprintf(b, sizeof b, "%.1f %s", static_cast<double>(free) / scale, unit);
    if (std::strcmp(a, b) != 0) return std::string(a) + " needed, " + b + " free";
  }
  return std::to_string(needed) + " bytes needed, " + std::to_string(free) + " bytes free";
}

namespace {

bool OnBtrfs(int fd) {
  struct statfs fs {};
  return fstatfs(fd, &fs) == 0 && fs.f_type == BTRFS_SUPER_MAGIC;
}

// btrfs copies on write: the header and a partly written last block need
// fresh space at every rewrite, which no reservation holds, so a disk filled
// by another program would fail them. A file without copy on write (and so
// without btrfs's checksums) is rewritten in place; btrfs allows the change
// only while the file is empty. Where it cannot be had the take goes on, and
// the user is told what the reservation no longer promises.
void RewriteInPlace(const OutputFile& file) {
  if (!OnBtrfs(file.fd)) return;
  int flags = 0;
  if (ioctl(file.fd, FS_IOC_GETFLAGS, &flags) == 0) {
    flags |= FS_NOCOW_FL;
    if (ioctl(file.fd, FS_IOC_SETFLAGS, &flags) == 0) return;
  }
  std::printf(
      "btrfs cannot rewrite %s in place (%s): a program that fills its disk during the take "
      "may end the take early\n",
      file.name.c_str(), std::strerror(errno));
}

// btrfs keeps a reserved extent whole while any part of it is in use, so a
// take stopped early would hold all of one big reservation: reserved in
// pieces, each its own extent, it gives back every piece it did not reach.
constexpr uint64_t kBtrfsPieceBytes = 8 << 20;
constexpr uint64_t kMostPieces = 4096;

uint64_t PieceBytes(int fd, uint64_t fileBytes) {
  if (!OnBtrfs(fd)) return fileBytes;
  return std::max(kBtrfsPieceBytes, (fileBytes + kMostPieces - 1) / kMostPieces);
}

// Writes all of `count` pieces at the descriptor's position. False, errno
// set, on failure.
bool WriteAll(int fd, iovec* iov, int count) {
  for (;;) {
    while (count > 0 && iov->iov_len == 0) {
      ++iov;
      --count;
    }
    if (count == 0) return true;
    const ssize_t n = writev(fd, iov, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    for (auto done = static_cast<size_t>(n); done > 0;) {
      const size_t step = std::min(done, iov->iov_len);
      iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + step;
      iov->iov_len -= step;
      done -= step;
      if (iov->iov_len == 0) {
        ++iov;
        --count;
      }
    }
  }
}

// Noted whenever the file is looked at: later writes at the take's own
// place would make it whole-sized again and hide the cut.
void NoteSize(OutputFile* file, off_t size) {
  if (static_cast<uint64_t>(size) < file->end) file->cutShort = true;
}

// A hole below what the take wrote is a cut that later writes grew over.
bool HoleBelow(int fd, off_t end) {
  const off_t hole = lseek(fd, 0, SEEK_HOLE);
  return hole >= 0 && hole < end;
}

// What a reservation held past the end goes back. ext4 frees it with the
// finishing cut, which is made even when it changes no size; xfs, btrfs and
// fuse2fs need it punched out. Failing here loses no audio: the space only
// stays with the file until it is deleted.
void GiveBackReservation(const OutputFile& file) {
  struct stat st {};
  if (file.reserved == 0 || fstat(file.fd, &st) != 0) return;
  const off_t block = std::max<off_t>(st.st_blksize, 512);
  const off_t from = (st.st_size + block - 1) / block * block;
  if (static_cast<uint64_t>(from) >= file.reserved) return;
  fallocate(file.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, from,
            static_cast<off_t>(file.reserved) - from);
}

}  // namespace

bool StartOutputFile(OutputFile* file, int64_t frames) {
  if (!file->regular) {
    const int32_t stereo = file->format.channels == 2 ? 1 : 0;
    return WriteWavHeader(file->fd, file->format.SampleRate, frames, file->format.SampleBytes,
                          stereo);
  }
  if (ftruncate(file->fd, 0) != 0) return false;
  RewriteInPlace(*file);
  if (!StartWavFile(file->fd, file->format)) return false;
  file->end = static_cast<uint64_t>(file->format.headerBytes);
  return true;
}

bool ReserveOutputFile(OutputFile* file, uint64_t fileBytes) {
  const uint64_t piece = PieceBytes(file->fd, fileBytes);
  int error = 0;
  while (file->reserved < fileBytes && error == 0) {
    const uint64_t length = std::min(piece, fileBytes - file->reserved);
    if (fallocate(file->fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(file->reserved),
                  static_cast<off_t>(length)) == 0)
      file->reserved += length;
    else
      error = errno;
  }
  // A file system that cannot reserve (exFAT, some network and FUSE mounts)
  // records unreserved; so does a take whose stop cut the reservation short,
  // and that stop is handled next.
  if (error == 0 || error == EOPNOTSUPP || error == ENOSYS || error == EINVAL || error == EINTR)
    return true;
  if (error != ENOSPC && error != EDQUOT && error != EFBIG) {
    std::printf("Can't reserve room for %s: %s\n", file->name.c_str(), std::strerror(error));
    return false;
  }
  // ENOSPC, EDQUOT or EFBIG here mean the free space check lost a race or
  // met a quota. What part was reserved goes back before the free space is
  // told.
  std::string why = std::strerror(error);
  const bool cut = ftruncate(file->fd, file->format.headerBytes) == 0;
  if (cut) GiveBackReservation(*file);
  file->reserved = 0;
  struct statvfs fs {};
  if (cut && error == ENOSPC && fstatvfs(file->fd, &fs) == 0)
    why = NeededAndFree(fileBytes, static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize);
  std::printf("Not enough free space in %s for this take: %s\n", FolderOf(file->name).c_str(),
              why.c_str());
  return false;
}

bool WriteOutputFile(OutputFile* file, iovec* iov, int count) {
  struct stat st {};
  if (file->regular && fstat(file->fd, &st) == 0) NoteSize(file, st.st_size);
  size_t bytes = 0;
  for (int i = 0; i < count; ++i) bytes += iov[i].iov_len;
  if (!WriteAll(file->fd, iov, count)) return false;
  file->end += bytes;
  return true;
}

bool SyncOutputFile(OutputFile* file) {
  if (fdatasync(file->fd) != 0) return false;
  struct stat st {};
  if (fstat(file->fd, &st) != 0) return false;
  NoteSize(file, st.st_size);
  // What another program cut off meanwhile is not claimed.
  const auto held = std::min(file->end, static_cast<uint64_t>(st.st_size));
  const auto header = static_cast<uint64_t>(file->format.headerBytes);
  const uint32_t blockAlign = file->format.SampleBytes * file->format.channels;
  const uint64_t frames = held > header ? (held - header) / blockAlign : 0;
  return PutWavHeader(file->fd, file->format, frames) && fdatasync(file->fd) == 0;
}

std::string FinishOutputFile(OutputFile* file) {
  if (!file->regular) return "";
  const std::string& name = file->name;
  const auto failure = [&name](const char* what) {
    return std::string(what) + " " + name + ": " + std::strerror(errno);
  };
  struct stat st {};
  if (fstat(file->fd, &st) != 0) return failure("Can't finish");
  // The audio of a file no name leads to goes with its descriptor.
  if (st.st_nlink == 0) return "Can't finish " + name + ": another program deleted it";
  NoteSize(file, st.st_size);
  if (!FinishWavFile(file->fd, file->format)) return failure("Can't finish");
  GiveBackReservation(*file);
  if (fdatasync(file->fd) != 0) return failure("Can't write to");
  if (file->folder >= 0 && fsync(file->folder) != 0) return failure("Can't write to");
  if (fstat(file->fd, &st) == 0 &&
      HoleBelow(file->fd, std::min(static_cast<off_t>(file->end), st.st_size)))
    file->cutShort = true;
  if (file->cutShort)
    return "Can't finish " + name + ": another program cut it short during the take";
  return "";
}
