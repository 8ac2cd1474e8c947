// Output names, headers and the files the capture loop appends to.
#include "record/outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <map>
#include <new>

#include "record/record.h"
#include "wav/wav.h"

std::vector<std::string> SplitFileList(const std::string& FileList, std::string& scratch) {
  scratch = FileList;
  std::vector<std::string> names;
  size_t start = 0;
  while (start < scratch.size()) {
    size_t end = scratch.find('\n', start);
    if (end == std::string::npos) end = scratch.size();
    if (end > start) names.push_back(scratch.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

namespace {

void ReportCannotOpen(const std::string& name, int error) {
  std::printf("Can't open %s for recording\n", name.c_str());
  std::printf("%s\n", std::strerror(error));
}

void RemoveAll(const std::vector<std::string>& names) {
  for (const std::string& name : names) unlink(name.c_str());
}

// Reserves a name that must not exist yet. 0 on success, else errno.
int CreateExclusively(const std::string& name) {
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  close(fd);
  return 0;
}

// Automatic names never replace an earlier take: the first number from the
// clock on at which every name of this run is free is taken, and the files
// are created exclusively so that a take started in the same second, or
// under a clock set back, stays whole.
bool ReserveAutomaticNames(const int32_t ChannelEnabled[2], std::string name[2],
                           std::vector<std::string>* created) {
  for (int64_t t = NewTime();; ++t) {
    std::vector<std::string> reserved;
    bool taken = false;
    for (int slot = 0; slot < 2 && !taken; ++slot) {
      if (!ChannelEnabled[slot]) continue;
      char text[64];
      std::snprintf(text, sizeof text, "rec_chan_%" PRId64 "_%" PRId64 ".wav",
                    static_cast<int64_t>(slot + 1), t);
      const int error = CreateExclusively(text);
      if (error == EEXIST) {
        taken = true;
      } else if (error != 0) {
        RemoveAll(reserved);
        ReportCannotOpen(text, error);
        return false;
      } else {
        reserved.push_back(text);
        name[slot] = text;
      }
    }
    if (!taken) {
      *created = reserved;
      return true;
    }
    RemoveAll(reserved);
  }
}

// Proves that a user's name can be written without changing it: an existing
// file is opened for writing untruncated, a new one is created (and listed in
// `created`, to be removed if the run cannot start).
bool CheckWritable(const std::string& name, std::vector<std::string>* created) {
  int error = CreateExclusively(name);
  if (error == 0) {
    created->push_back(name);
    return true;
  }
  if (error == EEXIST) {
    const int fd = open(name.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    error = errno;
  }
  ReportCannotOpen(name, error);
  return false;
}

std::string FolderOf(const std::string& name) {
  const auto slash = name.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : name.substr(0, slash);
}

// An hour-long take that dies at minute 50 on a full disk is the loss this
// prevents: every file system must have room for the whole planned files of
// the run on it, counting the space of files the run will replace as free.
// Outputs that are not regular files (a device, a pipe) need no room.
// Automatic names never replace a file (`mayReplace` false).
bool CheckFreeSpace(const std::vector<std::string>& names, uint64_t fileBytes, bool mayReplace) {
  struct Room {
    std::string folder;
    uint64_t needed = 0, free = 0;
  };
  std::map<dev_t, Room> rooms;
  for (const std::string& name : names) {
    struct stat file {};
    const bool exists = mayReplace && stat(name.c_str(), &file) == 0;
    if (exists && !S_ISREG(file.st_mode)) continue;
    const std::string folder = FolderOf(name);
    struct stat where {};
    struct statvfs fs {};
    // A folder that cannot be looked at is reported when the file is opened.
    if (stat(folder.c_str(), &where) != 0 || statvfs(folder.c_str(), &fs) != 0) continue;
    auto [room, fresh] = rooms.try_emplace(where.st_dev);
    if (fresh) {
      room->second.folder = folder;
      room->second.free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    }
    room->second.needed += fileBytes;
    if (exists) room->second.free += static_cast<uint64_t>(file.st_blocks) * 512;
  }
  for (const auto& [device, room] : rooms) {
    if (room.needed <= room.free) continue;
    std::printf("Not enough free space in %s for this take: %.1f MB needed, %.1f MB free\n",
                room.folder.c_str(), static_cast<double>(room.needed) / 1e6,
                static_cast<double>(room.free) / 1e6);
    return false;
  }
  return true;
}

}  // namespace

bool PrepareOutputs(int32_t AutoNames, std::string& FileList, std::string& NameScratch,
                    const int32_t ChannelEnabled[2], int32_t InterleavedStereo, uint32_t SampleRate,
                    int64_t TotalFrames, uint32_t SampleBytes, OutputSet* outputs) {
  const uint64_t fileBytes =
      static_cast<uint64_t>(kWavHeaderBytes) +
      static_cast<uint64_t>(TotalFrames) * SampleBytes * (InterleavedStereo ? 2 : 1);
  std::vector<std::string> created;
  if (AutoNames == 1) {
    // Automatic names are made in the working folder.
    const std::vector<std::string> planned(ChannelEnabled[1] ? 2 : 1, "./automatic.wav");
    if (!CheckFreeSpace(planned, fileBytes, false)) return false;
    FileList.clear();
    if (!ReserveAutomaticNames(ChannelEnabled, outputs->name, &created)) return false;
    for (int slot = 0; slot < 2; ++slot)
      if (ChannelEnabled[slot]) FileList += outputs->name[slot] + "\n";
  } else {
    // The first name is channel 1's (or the stereo file's), the next one
    // channel 2's; later names are not looked at.
    const std::vector<std::string> names = SplitFileList(FileList, NameScratch);
    size_t next = 0;
    for (int slot = 0; slot < 2 && next < names.size(); ++slot, ++next)
      if (ChannelEnabled[slot]) outputs->name[slot] = names[next];
    std::vector<std::string> used;
    for (const std::string& name : outputs->name)
      if (!name.empty()) used.push_back(name);
    if (!CheckFreeSpace(used, fileBytes, true)) return false;
    for (int slot = 0; slot < 2; ++slot) {
      if (outputs->name[slot].empty()) continue;
      if (!CheckWritable(outputs->name[slot], &created)) {
        RemoveAll(created);
        return false;
      }
    }
  }

  // Every header is written before any file is opened for appending. On a
  // failure only the files this run created are removed: a name the user gave
  // may be a device or a file that was there before.
  for (int slot = 0; slot < 2; ++slot) {
    const std::string& name = outputs->name[slot];
    if (name.empty()) continue;
    if (!MAKE_HEADER(name, SampleRate, TotalFrames, SampleBytes, InterleavedStereo)) {
      const int error = errno;
      std::printf("Can't write the header of %s: %s\n", name.c_str(), std::strerror(error));
      RemoveAll(created);
      return false;
    }
  }

  for (int slot = 0; slot < 2; ++slot) {
    const std::string& name = outputs->name[slot];
    if (name.empty()) continue;
    outputs->OutputFile[slot].reset(std::fopen(name.c_str(), "ab"));
    if (!outputs->OutputFile[slot]) {
      const int error = errno;
      ReportCannotOpen(name, error);
      for (FileHandle& file : outputs->OutputFile) file.reset();
      RemoveAll(created);
      return false;
    }
    // A 128 KiB stream buffer: one write(2) per several periods. glibc's
    // setvbuf ignores a size given without a buffer. Without the memory the
    // stream keeps its default buffer: slower, not wrong.
    outputs->buffer[slot].reset(new (std::nothrow) char[kFileBufferBytes]);
    if (outputs->buffer[slot])
      std::setvbuf(outputs->OutputFile[slot].get(), outputs->buffer[slot].get(), _IOFBF,
                   kFileBufferBytes);
  }
  return true;
}
