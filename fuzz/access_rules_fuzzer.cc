// Feeds arbitrary settings files to the access rules, then asks them about arbitrary sources
// and programs.
#include "core/failure.h"
#include "fakes/fake_file_system.h"
#include "fuzz_support.h"
#include "settings/access_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The settings text, a source address and a program path.
  const std::vector<std::string> parts = varnix::fuzz::Parts(data, size, 3);
  varnix::QuietReports reports;
  varnix::FakeFileSystem files;
  const std::string path = "/cfg/settings.ini";
  files.files[path] = parts[0];
  files.folders.insert("/cfg");
  for (const bool case_blind : {false, true}) {
    const varnix::AccessRules rules = varnix::AccessRules::Load(
        files, reports, reports, path,
        case_blind ? varnix::PathRules::Windows() : varnix::PathRules::Posix());
    rules.AllowsSource(parts[1]);
    rules.AllowsProgram(parts[2]);
    const varnix::PathRules paths =
        case_blind ? varnix::PathRules::Windows() : varnix::PathRules::Posix();
    varnix::MatchesWildcard(parts[1], parts[2], paths);
    varnix::LexicallyNormal(parts[2], paths);
  }
  if (files.files[path] != parts[0]) __builtin_trap();  // the user's file is never written
  return 0;
}
