// Reading a file that another program may be writing, rotating or removing meanwhile.
#pragma once

#include <cstddef>
#include <string>

namespace varnix {

// At most `max_bytes` of `path`, from its start or, `from_end`, up to its end. The file is
// opened sharing reads, writes, renames and removal with others, so that a reader never keeps
// a program's log from rotating. Throws Error when the file cannot be read.
std::string ReadShared(const std::string& path, size_t max_bytes, bool from_end);

}  // namespace varnix
