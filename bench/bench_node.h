// The real node for benchmarks: a copy in a folder of its own, talking on loopback only.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/child_process.h"
#include "platform/platform.h"

#if !defined(VARNIX_NODE_BINARY) || !defined(VARNIX_RELAY_BINARY)
#error "VARNIX_NODE_BINARY and VARNIX_RELAY_BINARY name the node's programs"
#endif

namespace varnix {

// `programs` is its programs.ini, `settings` its settings.ini; "" for none.
inline std::unique_ptr<ChildProcess> StartNodeIn(Platform& platform, const std::string& folder,
                                                 const std::string& programs = "",
                                                 const std::string& settings = "") {
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder + "/Config");
  std::filesystem::copy_file(VARNIX_NODE_BINARY, folder + "/varnix");
  std::filesystem::copy_file(VARNIX_RELAY_BINARY, folder + "/varnix-relay");
  platform.files->WriteAll(folder + "/Config/qelXap.ini",
                           "[Interface]\r\nBroadcastAddress=127.0.0.1\r\n"
                           "InterfaceAddress=127.0.0.1\r\n");
  if (!programs.empty()) platform.files->WriteAll(folder + "/Config/programs.ini", programs);
  if (!settings.empty()) platform.files->WriteAll(folder + "/Config/settings.ini", settings);
  return StartChildProcess(folder + "/varnix", {}, folder);
}

// The header of a request from a benchmark's peer to that node, in class `klass`.
inline std::string RequestHeader(Platform& platform, const std::string& klass) {
  return "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=" + klass +
         "\nsource=acme.bench.pc\ntarget=qel.Process." + platform.machine->ComputerName() + "\n}\n";
}

}  // namespace varnix
