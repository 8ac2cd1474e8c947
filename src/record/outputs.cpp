// Output names, headers, and the files the writer appends to.
#include "record/outputs.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <map>
#include <new>

#include "record/common.h"
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

void ReportRefusal(const std::string& name, const char* why) {
  std::printf("Can't record into %s: %s\n", name.c_str(), why);
}

// The outputs while they are being opened: nothing is kept unless all of
// them can be. A file this run created is removed again only while this run
// holds it: one that another take locked first is that take's now.
struct Opening {
  OutputFile* file;               // the take's two
  bool ours[2] = {false, false};  // created, and locked by us (or not lockable)
  struct stat st[2] = {};
  bool kept = false;

  explicit Opening(OutputSet* outputs) : file(outputs->file) {}
  Opening(const Opening&) = delete;
  Opening& operator=(const Opening&) = delete;
  ~Opening() {
    if (kept) return;
    for (int slot = 0; slot < 2; ++slot) {
      if (file[slot].fd >= 0 && file[slot].created && ours[slot])
        unlink(file[slot].name.c_str());
      file[slot].Close();
    }
  }
};

constexpr int kOpenFlags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Automatic names never replace an earlier take: the first number from the
// clock on at which every name of this run is free is taken, and the files
// are created exclusively so that a take started in the same second, or
// under a clock set back, stays whole.
bool ReserveAutomaticNames(const int32_t ChannelEnabled[2], Opening* open_) {
  for (int64_t t = NewTime();; ++t) {
    bool taken = false;
    for (int slot = 0; slot < 2 && !taken; ++slot) {
      if (!ChannelEnabled[slot]) continue;
      char text[64];
      std::snprintf(text, sizeof text, "rec_chan_%" PRId64 "_%" PRId64 ".wav",
                    static_cast<int64_t>(slot + 1), t);
      const int fd = open(text, kOpenFlags | O_CREAT | O_EXCL, 0666);
      if (fd < 0 && errno == EEXIST) {
        taken = true;
      } else if (fd < 0) {
        ReportCannotOpen(text, errno);
        return false;
      } else {
        open_->file[slot].name = text;
        open_->file[slot].fd = fd;
        open_->file[slot].created = open_->ours[slot] = true;
      }
    }
    if (!taken) return true;
    for (int slot = 0; slot < 2; ++slot) {
      if (open_->file[slot].fd < 0) continue;
      unlink(open_->file[slot].name.c_str());
      open_->file[slot].Close();
    }
  }
}

// Opens a user's name without changing it: a name that was free when
// checked is created exclusively; an existing file is opened untruncated,
// and only if it is still the one the user was asked about: a name swapped
// for a link meanwhile would have the take replace whatever it points to.
bool OpenUserName(int slot, bool wasFree, const AskedFile& asked, Opening* open_) {
  const std::string& name = open_->file[slot].name;
  const int how = wasFree ? O_CREAT | O_EXCL : asked.link ? 0 : O_NOFOLLOW;
  int fd = open(name.c_str(), kOpenFlags | how, 0666);
  struct stat st {};
  if (!wasFree && (fd >= 0 ? fstat(fd, &st) == 0 && (st.st_dev != asked.device ||
                                                     st.st_ino != asked.inode)
                           : errno == ELOOP || errno == ENOENT)) {
    if (fd >= 0) close(fd);
    ReportRefusal(name, "another program replaced it meanwhile");
    return false;
  }
  if (fd < 0 && wasFree && errno == EEXIST) {
    // On a file system that ignores case, A.WAV and a.wav are one file.
    const int other = open_->file[1 - slot].fd;
    struct stat st {};
    if (other >= 0 && stat(name.c_str(), &st) == 0 && st.st_dev == open_->st[1 - slot].st_dev &&
        st.st_ino == open_->st[1 - slot].st_ino)
      std::puts("Both channels cannot be recorded into the same file");
    else
      ReportRefusal(name, "another program created it meanwhile");
    return false;
  }
  if (fd < 0) {
    ReportCannotOpen(name, errno);
    return false;
  }
  open_->file[slot].fd = fd;
  open_->file[slot].created = wasFree;
  return true;
}

// What an output turned out to be once open: a regular file or a character
// device (/dev/null) can take a recording; a regular file is locked so that
// no second take writes into it, and two outputs may not be one file.
bool CheckOpenedOutput(int slot, Opening* open_) {
  OutputFile& file = open_->file[slot];
  const std::string& name = file.name;
  const int fd = file.fd;
  struct stat& st = open_->st[slot];
  if (fstat(fd, &st) != 0) {
    ReportCannotOpen(name, errno);
    return false;
  }
  if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
    ReportRefusal(name, "it is not a file or a character device");
    return false;
  }
  if (S_ISREG(st.st_mode)) {
    // Only another holder refuses; where the file system cannot lock at
    // all (some network and FUSE mounts) the take goes on unguarded.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      ReportRefusal(name, "it is in use by another take");
      return false;
    }
    open_->ours[slot] = file.created;
    file.regular = true;
    const int other = 1 - slot;
    if (open_->file[other].fd >= 0 && open_->st[other].st_dev == st.st_dev &&
        open_->st[other].st_ino == st.st_ino) {
      std::puts("Both channels cannot be recorded into the same file");
      return false;
    }
  }
  // The descriptor was opened non-blocking only so that opening never waits.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return true;
}

// FAT (what SD cards and USB sticks come with) holds no file of 4 GiB or
// more, whatever header the file has.
constexpr uint64_t kFatLargestFile = 0xFFFFFFFF;

// The limits of the file systems that take the outputs: a take whose files
// would pass what FAT can hold is refused before it starts, with the longest
// take that fits there. Names in folders that cannot be looked at are
// reported when they are opened.
bool CheckFileSystemLimits(const std::vector<std::string>& names, uint64_t fileBytes,
                           uint32_t blockAlign, uint32_t SampleRate,
                           snd_pcm_uframes_t PeriodFrames) {
  if (fileBytes <= kFatLargestFile) return true;
  for (const std::string& name : names) {
    struct statfs fs {};
    if (statfs(FolderOf(name).c_str(), &fs) != 0 || fs.f_type != MSDOS_SUPER_MAGIC) continue;
    struct stat file {};
    if (stat(name.c_str(), &file) == 0 && !S_ISREG(file.st_mode)) continue;
    const uint64_t frames =
        (kFatLargestFile - kWavHeaderBytes) / blockAlign / PeriodFrames * PeriodFrames;
    std::printf(
        "Can't record into %s: its FAT file system holds no file of 4 GiB or more; the "
        "longest take that fits there is %" PRIu64 " seconds\n",
        FolderOf(name).c_str(), frames / SampleRate);
    return false;
  }
  return true;
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
    std::printf("Not enough free space in %s for this take: %s\n", room.folder.c_str(),
                NeededAndFree(room.needed, room.free).c_str());
    return false;
  }
  return true;
}

// A file planned past the process's file size limit would end the take
// partway; it is refused while nothing has changed yet.
bool CheckFileSizeLimit(const std::string& name, uint64_t fileBytes) {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      fileBytes <= limit.rlim_cur)
    return true;
  std::printf("Can't record into %s: the take makes it %" PRIu64
              " bytes, past the file size limit of %" PRIu64 " bytes (ulimit -f)\n",
              name.c_str(), fileBytes, static_cast<uint64_t>(limit.rlim_cur));
  return false;
}

// The folder of a file this run creates is opened with the outputs: its
// entry is synced at the end, and a run out of descriptors must refuse the
// take now rather than finish one whose names are not known to be on disk.
bool OpenFolder(OutputFile* file) {
  const std::string& name = file->name;
  file->folder = open(FolderOf(name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (file->folder >= 0) return true;
  std::printf("Can't open the folder of %s: %s\n", name.c_str(), std::strerror(errno));
  return false;
}

// Devices get the header for the planned length, as they cannot take
// another; one that cannot take it at all is found out before any file is
// truncated. Regular files come last, with a header that declares no audio
// until some is on disk.
bool WriteHeaders(OutputFile file[2], int64_t TotalFrames) {
  for (const bool regular : {false, true}) {
    for (int slot = 0; slot < 2; ++slot) {
      if (file[slot].fd < 0 || file[slot].regular != regular) continue;
      if (!StartOutputFile(&file[slot], TotalFrames)) {
        std::printf("Can't write the header of %s: %s\n", file[slot].name.c_str(),
                    std::strerror(errno));
        return false;
      }
    }
  }
  return true;
}

}  // namespace

namespace {

// What the checks before a take need to know of its files.
struct FilePlan {
  uint64_t fileBytes;
  uint32_t blockAlign;
  uint32_t SampleRate;
  snd_pcm_uframes_t PeriodFrames;
};

bool CheckRoom(const std::vector<std::string>& names, const FilePlan& plan, bool mayReplace) {
  return CheckFileSystemLimits(names, plan.fileBytes, plan.blockAlign, plan.SampleRate,
                               plan.PeriodFrames) &&
         CheckFreeSpace(names, plan.fileBytes, mayReplace);
}

// Automatic names are made in the working folder, and listed in FileList.
bool OpenAutomaticOutputs(const int32_t ChannelEnabled[2], const FilePlan& plan,
                          std::string& FileList, Opening* opening) {
  const std::vector<std::string> planned(ChannelEnabled[1] ? 2 : 1, "./automatic.wav");
  if (!CheckRoom(planned, plan, false) || !ReserveAutomaticNames(ChannelEnabled, opening))
    return false;
  FileList.clear();
  for (int slot = 0; slot < 2; ++slot)
    if (ChannelEnabled[slot]) FileList += opening->file[slot].name + "\n";
  for (int slot = 0; slot < 2; ++slot)
    if (opening->file[slot].fd >= 0 && !CheckOpenedOutput(slot, opening)) return false;
  return true;
}

// The first name is channel 1's (or the stereo file's), the next one channel
// 2's; later names are not looked at.
bool OpenNamedOutputs(const std::string& FileList, std::string& NameScratch,
                      const int32_t ChannelEnabled[2], const int32_t NameStatus[2],
                      const AskedFile asked[2], const FilePlan& plan, Opening* opening) {
  const std::vector<std::string> names = SplitFileList(FileList, NameScratch);
  size_t next = 0;
  for (int slot = 0; slot < 2 && next < names.size(); ++slot, ++next)
    if (ChannelEnabled[slot]) opening->file[slot].name = names[next];
  std::vector<std::string> used;
  for (int slot = 0; slot < 2; ++slot)
    if (!opening->file[slot].name.empty()) used.push_back(opening->file[slot].name);
  if (!CheckRoom(used, plan, true)) return false;
  for (int slot = 0; slot < 2; ++slot) {
    if (opening->file[slot].name.empty()) continue;
    if (!OpenUserName(slot, NameStatus[slot] != 2, asked[slot], opening)) return false;
    if (!CheckOpenedOutput(slot, opening)) return false;
  }
  return true;
}

// What regular files need before the take: a size limit that lets them
// grow to their planned size, the folders of new ones, and their buffers.
bool ReadyRegularOutputs(const FilePlan& plan, size_t PeriodBytes, Opening* opening,
                         OutputSet* outputs) {
  for (int slot = 0; slot < 2; ++slot) {
    OutputFile& file = opening->file[slot];
    if (file.fd < 0 || !file.regular) continue;
    if (!CheckFileSizeLimit(file.name, plan.fileBytes)) return false;
    if (file.created && !OpenFolder(&file)) return false;
  }
  for (int slot = 0; slot < 2; ++slot) {
    if (opening->file[slot].fd < 0) continue;
    try {
      outputs->buffer[slot].assign(std::max<size_t>(kFileBufferBytes, 4 * PeriodBytes), 0);
    } catch (const std::bad_alloc&) {
      std::printf("Can't allocate a write buffer for %s\n", opening->file[slot].name.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

bool PrepareOutputs(int32_t AutoNames, std::string& FileList, std::string& NameScratch,
                    const int32_t ChannelEnabled[2], int32_t InterleavedStereo, uint32_t SampleRate,
                    int64_t TotalFrames, uint32_t SampleBytes, snd_pcm_uframes_t PeriodFrames,
                    const int32_t NameStatus[2], const AskedFile asked[2], OutputSet* outputs) {
  const uint32_t blockAlign = SampleBytes * (InterleavedStereo ? 2 : 1);
  WavFormat format;
  format.headerBytes = HeaderBytesFor(TotalFrames, blockAlign);
  format.SampleRate = SampleRate;
  format.SampleBytes = SampleBytes;
  format.channels = InterleavedStereo ? 2 : 1;
  for (OutputFile& file : outputs->file) file.format = format;
  const FilePlan plan{
      static_cast<uint64_t>(format.headerBytes) + static_cast<uint64_t>(TotalFrames) * blockAlign,
      blockAlign, SampleRate, PeriodFrames};
  Opening opening(outputs);
  const bool opened = AutoNames == 1 ? OpenAutomaticOutputs(ChannelEnabled, plan, FileList, &opening)
                                     : OpenNamedOutputs(FileList, NameScratch, ChannelEnabled,
                                                        NameStatus, asked, plan, &opening);
  if (!opened || !ReadyRegularOutputs(plan, PeriodFrames * SampleBytes, &opening, outputs))
    return false;
  // Every output is open and ours.
  if (!WriteHeaders(outputs->file, TotalFrames)) return false;
  for (OutputFile& file : outputs->file)
    if (file.fd >= 0 && file.regular && !ReserveOutputFile(&file, plan.fileBytes)) return false;
  opening.kept = true;
  return true;
}

void RemoveCreatedOutputs(OutputSet* outputs) {
  for (const OutputFile& file : outputs->file)
    if (file.fd >= 0 && file.created) unlink(file.name.c_str());
}
