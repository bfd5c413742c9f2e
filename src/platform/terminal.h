// The person at the command line: the words they typed, and the terminal that shows the answer.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace varnix {

// True when standard output is a terminal that takes ANSI escape sequences; on systems where
// a console must be asked to take them, asks it.
bool PrepareTerminalOutput();

// The program's arguments after its own name, as UTF-8. Windows hands `argv` over in the
// 8-bit code page, which loses what it cannot hold, so there they are read as wide text.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Whether `stream` is a terminal (a console) that a person reads.
bool IsTerminal(std::FILE* stream);

// Ties standard output and error to the console this program was started from, where a
// windowless program (the node on Windows) has none of its own. False when there is none.
bool UseCallersConsole();

// Writes UTF-8 text so that it shows as written: to a console as characters, which no code
// page can spoil, and elsewhere (a file, a pipe) as the UTF-8 bytes themselves.
void WriteText(std::FILE* stream, std::string_view text);

}  // namespace varnix
