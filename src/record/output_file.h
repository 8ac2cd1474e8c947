// One output file of a take, from its opening to its last header (private to
// src/record): its descriptor and lock, its folder, its reservation, its
// syncs and its finish, and what it knows of the file system it lives on.
// The writer talks to this and to nothing below it.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <string>

#include "wav/wav.h"

struct OutputFile {
  std::string name;
  // Opened for the take; a regular file stays locked until it is closed.
  int fd = -1;
  // The folder of a file this run created, so that its entry is synced too.
  int folder = -1;
  bool regular = false;  // a regular file, not a device
  bool created = false;  // this run made the name
  WavFormat format;
  uint64_t end = 0;       // bytes the take has put into the file, header included
  uint64_t reserved = 0;  // bytes reserved from the start of the file
  bool cutShort = false;  // another program made it shorter than `end` meanwhile

  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { Close(); }
  void Close();
};

// The folder a name is in: "." for a bare name.
std::string FolderOf(const std::string& name);

// Two amounts in one unit that shows their difference: MB, or kB when both
// round alike in MB, or bytes when they still do.
std::string NeededAndFree(uint64_t needed, uint64_t free);

// Gives a regular file its start: emptied, made to rewrite in place where
// the file system would otherwise copy on write (saying so where it cannot),
// and a header that declares no audio yet. Anything else (a device) gets the
// header for `frames` frames, as it cannot take another. False, errno set,
// on failure.
bool StartOutputFile(OutputFile* file, int64_t frames);

// Reserves the planned size of a started regular file past its end (its size
// stays, so its header stays true), so that a program that fills the disk
// meanwhile cannot cut the take short. On failure prints why, gives back
// what part was reserved, and returns false.
bool ReserveOutputFile(OutputFile* file, uint64_t fileBytes);

// Appends all of `count` pieces, however the kernel splits the work; empty
// pieces are no write at all. A file found shorter than what the take has
// put in it was cut by another program: that is remembered for the finish,
// and the audio still goes on at the take's own place. False, errno set, on
// failure.
bool WriteOutputFile(OutputFile* file, iovec* iov, int count);

// Makes what was written durable, then has the header declare exactly that
// and makes the header durable too: a crash or a power cut at any moment
// leaves a header that claims no audio the file does not hold. False, errno
// set, on failure.
bool SyncOutputFile(OutputFile* file);

// Ends the take of a regular file: cut to whole frames, the reservation past
// the end given back, the whole header written, the file synced with its
// folder, and what other programs did to it checked. Returns what went wrong,
// naming the file, or an empty text.
std::string FinishOutputFile(OutputFile* file);
