// Output names given on the command line: existence test, overwrite prompt,
// and the check that two names do not lead to one file.
#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "cli/cli.h"

int32_t CheckFileName(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return 1;
  std::fclose(f);
  return 2;
}

namespace {

// Reads the next whitespace-separated word from standard input, whole,
// however long it is, so that no piece of a long word can pass for an answer.
// False at end of input or on a read error.
bool ReadWord(std::string* word) {
  word->clear();
  int c;
  do {
    c = std::getchar();
  } while (c != EOF && std::isspace(c));
  while (c != EOF && !std::isspace(c)) {
    word->push_back(static_cast<char>(c));
    c = std::getchar();
  }
  // The whitespace that ended the word is consumed: it separates words only.
  return !word->empty();
}

}  // namespace

int32_t CheckOverwrite(const std::string& path) {
  std::printf("\nFile %s already exists!\n", path.c_str());
  std::puts("Enter 'x' to exit or 'o' to overwrite");
  // The user must see the question before we wait, even through a pipe.
  std::fflush(stdout);
  std::string word;
  while (ReadWord(&word)) {
    if (word == "x") return 1;
    if (word == "o") return 2;
  }
  // End of input: nobody can answer, so nothing gets overwritten.
  return 1;
}

namespace {

// The canonical form of a path whose last component may not exist yet: the
// resolved folder plus the last component as given.
std::string CanonicalName(const std::string& name) {
  std::string folder = ".";
  std::string last = name;
  const auto slash = name.find_last_of('/');
  if (slash != std::string::npos) {
    folder = slash == 0 ? "/" : name.substr(0, slash);
    last = name.substr(slash + 1);
  }
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(folder.c_str(), nullptr),
                                                       &std::free);
  const std::string base = resolved ? resolved.get() : folder;
  return base == "/" ? "/" + last : base + "/" + last;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  if (CanonicalName(a) == CanonicalName(b)) return true;
  // Links (hard or symbolic) to one existing file are the same file too.
  struct stat sa {
  }, sb{};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}
