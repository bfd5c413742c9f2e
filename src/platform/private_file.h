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
// access beyond the owner's (umask 077), or, where `folder` is shared with a group, beyond
// reading by the group (027); on Windows they take their folder's access list.
void MakeNewFilesPrivate(const std::string& folder);
// Makes `folder` its owner's and readable by the members of `group` (0750 on POSIX, with the
// group kept by what is made in it), and each file in it so (0640). Throws Error for a group
// the system does not know, and on Windows, where a folder's access list says who reads it.
void ShareFolderWithGroup(const std::string& folder, const std::string& group);
// "" when only the owner (and administrators) can read `path`; otherwise who else can, as a
// user would say it ("readable by others: mode 0644"). Throws Error when it cannot be asked.
std::string WhoElseCanRead(const std::string& path);

}  // namespace varnix
