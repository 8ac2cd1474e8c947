// The command-line front end's checks, shared by main and the tests.
#pragma once

#include <cstdint>
#include <string>

#include "record/record.h"

// Writes the usage text to standard output.
void Help();

// 1: nothing is at the name (a new file); 2: something is, whatever its
// permissions, a link to nothing included (exists).
int32_t CheckFileName(const std::string& path);

// Which file is at `path` now (a link's target), for the take to make sure
// it replaces that one and no other.
AskedFile FileAt(const std::string& path);

// Asks whether to overwrite an existing file. 1: exit (answer x, or end of
// input); 2: overwrite (answer o). Other words are read whole and ignored.
int32_t CheckOverwrite(const std::string& path);

// True when the two names lead to the same file, whether or not it exists:
// symbolic links of the last component followed, then the real path of the
// folder plus the last component; or one device and inode.
bool SameFile(const std::string& a, const std::string& b);

// Why `name` cannot take a recording, as one line naming it ("Can't record
// into NAME: it is a pipe"), or empty when it can: a directory, pipe, socket
// or block device, a link to a missing file or a loop of links, or a regular
// file that is this program's standard output or error. Never blocks.
std::string OutputRefusal(const std::string& name);

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed.
void OpenMissingStandardDescriptors();
