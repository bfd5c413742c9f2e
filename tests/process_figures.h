// A process's figures as the kernel counts them, read from /proc: the truth that tests and
// benchmarks hold the node's own figures against. Without /proc, none (-1, or 0).
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace varnix {

// A "Name:  value" line of /proc/PID/status, as a number; -1 when there is none.
inline long ReadStatusField(unsigned long pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// Processor time the process has had, in seconds.
inline double CpuSeconds(unsigned long pid) {
  std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
  double nanoseconds = 0;
  schedstat >> nanoseconds;
  return nanoseconds / 1e9;
}

// The resident KiB of the mappings whose file's path holds `library` ("libnettle", say), from
// /proc/PID/smaps; with "" the proportional set size of the whole process.
inline long MappedKiB(unsigned long pid, const std::string& library) {
  std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
  long kib = 0;
  bool counting = false;
  for (std::string line; std::getline(smaps, line);) {
    const auto colon = line.find(':');
    const bool field = colon != std::string::npos && line.find(' ') > colon;
    if (!field) {
      counting = library.empty() || line.find(library) != std::string::npos;
    } else if (counting && line.rfind(library.empty() ? "Pss:" : "Rss:", 0) == 0) {
      kib += std::stol(line.substr(4));
    }
  }
  return kib;
}

// Resident memory in KiB.
inline uint64_t ResidentKiB(unsigned long pid) {
  const long kib = ReadStatusField(pid, "VmRSS");
  return kib > 0 ? static_cast<uint64_t>(kib) : 0;
}

}  // namespace varnix
