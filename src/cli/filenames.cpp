// Output names given on the command line: existence test, overwrite prompt,
// and the checks that a name can take a recording at all.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "cli/cli.h"

int32_t CheckFileName(const std::string& path) {
  // Anything at the name counts, whatever its permissions and even a link to
  // nothing: a file the user may write but not read is still replaced only
  // after asking. Nothing is opened, so a pipe cannot block the check.
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? 2 : 1;
}

AskedFile FileAt(const std::string& path) {
  AskedFile asked;
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return asked;
  asked.link = S_ISLNK(st.st_mode);
  if (asked.link && stat(path.c_str(), &st) != 0) return asked;
  asked.device = st.st_dev;
  asked.inode = st.st_ino;
  return asked;
}

namespace {

// The longest answer kept; "x" and "o" are all that count.
constexpr size_t kAnswerBytes = 3;

// Reads the next whitespace-separated word from standard input, whole,
// however long it is, so that no piece of a long word can pass for an
// answer. Only its first kAnswerBytes + 1 bytes are kept: enough to tell a
// one-letter answer from a longer word, and memory stays flat whatever the
// input. False at end of input or on a read error.
bool ReadWord(std::string* word) {
  word->clear();
  int c;
  do {
    c = std::getchar();
  } while (c != EOF && std::isspace(c));
  while (c != EOF && !std::isspace(c)) {
    if (word->size() <= kAnswerBytes) word->push_back(static_cast<char>(c));
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

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int kMaxLinks = 40;

std::string FolderOf(const std::string& name) {
  const auto slash = name.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : name.substr(0, slash);
}

// The canonical form of a path whose last component may not exist yet: the
// resolved folder plus the last component as given.
std::string CanonicalName(const std::string& name) {
  const std::string folder = FolderOf(name);
  const auto slash = name.find_last_of('/');
  const std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(folder.c_str(), nullptr),
                                                       &std::free);
  const std::string base = resolved ? resolved.get() : folder;
  return base == "/" ? "/" + last : base + "/" + last;
}

// Where the symbolic links of the last component lead, as open() would
// follow them, without opening anything. False on a loop. *links counts the
// links followed.
bool FollowLinks(const std::string& name, std::string* target, int* links) {
  std::string at = name;
  for (*links = 0; *links <= kMaxLinks; ++*links) {
    struct stat st {};
    if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *target = at;
      return true;
    }
    char text[PATH_MAX];
    const ssize_t n = readlink(at.c_str(), text, sizeof text - 1);
    if (n < 0) {
      *target = at;
      return true;
    }
    const std::string to(text, static_cast<size_t>(n));
    at = to.front() == '/' ? to : FolderOf(at) + "/" + to;
  }
  return false;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  std::string ta, tb;
  int links = 0;
  if (!FollowLinks(a, &ta, &links)) ta = a;
  if (!FollowLinks(b, &tb, &links)) tb = b;
  if (CanonicalName(ta) == CanonicalName(tb)) return true;
  // Hard links, bind mounts and folders reached two ways lead to one inode.
  struct stat sa {
  }, sb{};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string OutputRefusal(const std::string& name) {
  const std::string head = "Can't record into " + name + ": ";
  std::string target;
  int links = 0;
  if (!FollowLinks(name, &target, &links)) return head + std::strerror(ELOOP);
  struct stat st {};
  if (stat(name.c_str(), &st) != 0) {
    // A link to nothing would make a file wherever it points, and an
    // exclusive create cannot tell it from a file that is there.
    if (links > 0 && errno == ENOENT) return head + "it is a link to a missing file";
    return "";  // a new name; a folder that is not there is reported on opening
  }
  // Writing into any of these blocks, fails, or is no file at all.
  if (S_ISDIR(st.st_mode)) return head + "it is a directory";
  if (S_ISFIFO(st.st_mode)) return head + "it is a pipe";
  if (S_ISSOCK(st.st_mode)) return head + "it is a socket";
  if (S_ISBLK(st.st_mode)) return head + "it is a block device";
  if (S_ISREG(st.st_mode)) {
    // The console text would go into the audio.
    const char* const streams[] = {"standard output", "standard error"};
    for (int fd = 1; fd <= 2; ++fd) {
      struct stat console {};
      if (fstat(fd, &console) == 0 && console.st_dev == st.st_dev && console.st_ino == st.st_ino)
        return head + "it is this program's " + streams[fd - 1];
    }
  }
  return "";
}

void OpenMissingStandardDescriptors() {
  // A descriptor 0, 1 or 2 left closed by the caller would be handed to the
  // first file opened, and the console text would go into the audio.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) close(opened);
  }
}
