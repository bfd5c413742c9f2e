// Files that hold a secret: written so that only their owner (and, on Windows, the
// administrators and the system) can read them, and checked for it before they are trusted.
#pragma once

#include <string>

namespace varnix {

// Replaces `path` with `text`, readable by its owner alone. Throws Error.
void WritePrivateFile(const std::string& path, const std::string& text);
// Makes `folder` its owner's alone (and, on Windows, the administrators' and the system's):
// what is in it, and what is made in it from then on, only they can reach. Throws Error.
void MakeFolderPrivate(const std::string& folder);
// From now on, files this program makes are its owner's alone: on POSIX it asks for no
// access beyond the owner's (umask 077); on Windows they take their folder's access list.
void MakeNewFilesPrivate();
// "" when only the owner (and administrators) can read `path`; otherwise who else can, as a
// user would say it ("readable by others: mode 0644"). Throws Error when it cannot be asked.
std::string WhoElseCanRead(const std::string& path);

}  // namespace varnix
