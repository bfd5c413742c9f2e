// Secret files on POSIX: mode 0600, created so from the start, not narrowed afterwards.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

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
  // Also the group's bit that a shared folder had: new files are the owner's again.
  if (::chmod(folder.c_str(), 0700) != 0) {
    throw Error(errno, "cannot make " + folder + " private: " + std::strerror(errno));
  }
}

void MakeNewFilesPrivate(const std::string& folder) {
  // A folder shared with a group keeps its group on what is made in it: readable by it too.
  struct stat status {};
  const bool shared = ::stat(folder.c_str(), &status) == 0 && (status.st_mode & S_ISGID) != 0;
  ::umask(shared ? 027 : 077);
}

void ShareFolderWithGroup(const std::string& folder, const std::string& group) {
  std::vector<char> buffer(16384);
  struct group entry {};
  struct group* found = nullptr;
  if (::getgrnam_r(group.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    throw Error(ENOENT, "no group " + group + " on this computer");
  }
  const gid_t gid = found->gr_gid;
  if (::chown(folder.c_str(), static_cast<uid_t>(-1), gid) != 0 ||
      ::chmod(folder.c_str(), 02750) != 0) {
    throw Error(errno, "cannot share " + folder + " with " + group + ": " + std::strerror(errno));
  }
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) return;
  while (const dirent* item = ::readdir(listing)) {
    const std::string path = folder + "/" + item->d_name;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    // What cannot be changed stays the node's alone: readable by fewer, never by more.
    if (::chown(path.c_str(), static_cast<uid_t>(-1), gid) == 0) ::chmod(path.c_str(), 0640);
  }
  ::closedir(listing);
}

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
