// Secret files on POSIX: mode 0600, created so from the start, not narrowed afterwards.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/error.h"
#include "platform/posix/unique_fd.h"
#include "platform/private_file.h"

namespace varnix {

void WritePrivateFile(const std::string& path, const std::string& text) {
  // A new file beside the old, renamed over it: never a moment with the secret half written.
  const std::string temporary = path + ".new";
  ::unlink(temporary.c_str());
  UniqueFd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!file.valid()) throw Error(errno, "cannot create " + temporary + ": " + std::strerror(errno));
  if (::write(file.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
      ::fsync(file.get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int number = errno;
    ::unlink(temporary.c_str());
    throw Error(number, "cannot write " + path + ": " + std::strerror(number));
  }
}

void MakeFolderPrivate(const std::string& folder) {
  if (::chmod(folder.c_str(), 0700) != 0) {
    throw Error(errno, "cannot make " + folder + " private: " + std::strerror(errno));
  }
}

void MakeNewFilesPrivate() { ::umask(077); }

std::string WhoElseCanRead(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    throw Error(errno, "cannot read " + path + ": " + std::strerror(errno));
  }
  if ((status.st_mode & (S_IRWXG | S_IRWXO)) == 0) return "";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
  return std::string("readable by others: mode ") + mode + " (chmod 600 " + path + ")";
}

}  // namespace varnix
