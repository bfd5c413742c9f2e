// Feeds arbitrary INI files and source files to the install operations, which build search
// patterns from names read in the INI file and rewrite the source text.
#include <algorithm>
#include <cctype>

#include "core/failure.h"
#include "fakes/fake_file_system.h"
#include "fakes/fake_machine.h"
#include "fuzz_support.h"
#include "platform/error.h"
#include "settings/ini_tool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The INI text, the source text, and the names of the section and the two arrays.
  std::vector<std::string> parts = varnix::fuzz::Parts(data, size, 5);
  // The section name is the calling code's, and a pattern by contract: a caller writes a
  // plain word. The key names, which come from the file, stay as they are.
  std::string& header = parts[2];
  header.erase(std::remove_if(header.begin(), header.end(),
                              [](char c) {
                                return !std::isalnum(static_cast<unsigned char>(c)) && c != '_' &&
                                       c != ' ';
                              }),
               header.end());
  varnix::QuietReports reports;
  varnix::FakeFileSystem files;
  varnix::FakeMachine machine;
  files.folders.insert("/src");
  const std::string ini_path = "/src/values.ini";
  const std::string target = "/src/module.bas";
  files.files[ini_path] = parts[0];
  varnix::IniTool ini(files, reports, varnix::PathRules::Posix(), &machine);
  ini.Load(ini_path);
  const auto attempt = [&](const auto& install) {
    files.files[target] = parts[1];
    try {
      install();
    } catch (const varnix::Error&) {
      // Invalid names and empty targets fail with a clear error: that is the contract.
    }
  };
  attempt([&] { ini.InstallKeys(target, parts[2]); });
  attempt([&] { ini.InstallStrings(target, parts[2]); });
  attempt([&] { ini.InstallConstant(target, parts[3], parts[4]); });
  attempt([&] { ini.InstallArray(target, parts[2], parts[3], parts[4]); });
  return 0;
}
