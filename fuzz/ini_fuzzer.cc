// Feeds arbitrary files to the INI store: load, every look-up, an edit, and a save.
#include "core/failure.h"
#include "fakes/fake_file_system.h"
#include "fuzz_support.h"
#include "platform/error.h"
#include "settings/ini_tool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  varnix::QuietReports reports;
  varnix::FakeFileSystem files;
  const std::string path = "/cfg/settings.ini";
  files.files[path] = std::string(reinterpret_cast<const char*>(data), size);
  files.folders.insert("/cfg");
  varnix::IniTool ini(files, reports, varnix::PathRules::Posix());
  ini.Load(path);
  // Keys takes a pattern from its caller (code, not the file): ask with one that matches all.
  for (const std::string& key : ini.Keys(".*")) ini.Read("", key, "default");
  for (const std::string& header : ini.Headers()) ini.Read(header, header, "default");
  ini.WriteKey("Fuzz", "Key", "value");
  try {
    ini.Save();
  } catch (const varnix::Error&) {
    // Over-long names are refused before anything is written.
  }
  return 0;
}
