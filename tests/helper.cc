// The helper child's modes, built only on the platform seam.
#include "helper.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dispatch_until.h"
#include "platform/child_process.h"
#include "platform/own_window.h"
#include "platform/platform.h"

namespace varnix {
namespace {

int RunMode(int argc, char** argv) {
  if (argc < 1) return 2;
  const std::string mode = argv[0];
  if (mode == "argv" && argc >= 2) {
    std::ofstream out(argv[1], std::ios::binary);
    for (int i = 2; i < argc; ++i) out << argv[i] << '\n';
    return 0;
  }
  if (mode == "exit" && argc >= 2) return std::stoi(argv[1]);
  // Prints its words on one line: a command whose output is a reading.
  if (mode == "print") {
    for (int i = 1; i < argc; ++i) std::printf(i + 1 < argc ? "%s " : "%s\n", argv[i]);
    return 0;
  }
  // Adds a line to FILE, then exits with CODE: a program whose runs can be counted.
  if (mode == "count" && argc >= 3) {
    std::ofstream(argv[1], std::ios::app) << "run\n";
    return std::stoi(argv[2]);
  }
  // Runs MS milliseconds, then exits with CODE: a program that ends on its own, later.
  if (mode == "later" && argc >= 3) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(argv[1])));
    return std::stoi(argv[2]);
  }

  // Says COUNT lines on standard output, each followed by one on standard error, a few
  // milliseconds apart; then, AFTER_MS later, ends with CODE (at once, with 0, when not given).
  if (mode == "say" && argc >= 2) {
    for (int line = 1; line <= std::stoi(argv[1]); ++line) {
      std::printf("line %d <b>bold</b>\n", line);
      std::fflush(stdout);
      std::fprintf(stderr, "trouble %d\n", line);
      std::fflush(stderr);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (argc >= 4) std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(argv[3])));
    return argc >= 3 ? std::stoi(argv[2]) : 0;
  }
  // Says "tick N" every MS milliseconds, COUNT times; with "on", it writes on when its output
  // has no reader, as programs that ignore SIGPIPE (and Windows programs) do.
  if (mode == "ticks" && argc >= 3) {
#ifdef SIGPIPE
    if (argc >= 4 && std::string(argv[3]) == "on") std::signal(SIGPIPE, SIG_IGN);
#endif
    for (int tick = 1; tick <= std::stoi(argv[1]); ++tick) {
      std::printf("tick %d\n", tick);
      std::fflush(stdout);
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(argv[2])));
    }
    return 0;
  }
  // Writes BYTES of lines (of LINE bytes, 16 when not given) as fast as it can, in writes of
  // 64 KiB, and puts in REPORT how long all of them took and the longest one, in milliseconds.
  if (mode == "flood" && argc >= 3) {
    using Clock = std::chrono::steady_clock;
    const long long total = std::stoll(argv[1]);
    const std::string line =
        std::string(argc >= 4 ? std::stoul(argv[3]) - 1 : 15, 'x').append("\n");
    std::string chunk;
    while (chunk.size() + line.size() <= 65536) chunk += line;
    const auto begun = Clock::now();
    Clock::duration longest{};
    for (long long written = 0; written < total; written += static_cast<long long>(chunk.size())) {
      const auto before = Clock::now();
      std::fwrite(chunk.data(), 1, chunk.size(), stdout);
      std::fflush(stdout);
      longest = std::max(longest, Clock::now() - before);
    }
    const auto ms = [](Clock::duration span) {
      return std::chrono::duration_cast<std::chrono::milliseconds>(span).count();
    };
    std::ofstream(argv[2]) << ms(Clock::now() - begun) << ' ' << ms(longest) << '\n';
    return 0;
  }

  Platform platform = MakePlatform();
  EventLoop& loop = *platform.loop;
  auto deadline = loop.CreateTimer([&] { loop.Quit(); });
  // Ended after 30 s, so that no test leaves a helper behind; "polite SECONDS" runs longer.
  deadline->SetInterval(mode == "polite" && argc >= 2 ? std::stoi(argv[1]) * 1000 : 30000);
  deadline->SetEnabled(true);

  const bool stubborn =
      mode == "stubborn" || mode == "tree" || (argc >= 3 && std::string(argv[2]) == "stubborn");
  // "service OUT SECONDS": a service that puts its GREETING in OUT.env, and asked to end, takes
  // SECONDS to finish its work, then says so in OUT.clean.
  const bool service = mode == "service" && argc >= 3;
  if (service) {
    const char* greeting = std::getenv("GREETING");
    std::ofstream(std::string(argv[1]) + ".env") << (greeting != nullptr ? greeting : "");
    deadline->SetInterval(300000);
  }
  loop.OnEndRequest([&] {
    if (service) {
      std::this_thread::sleep_for(std::chrono::seconds(std::stoi(argv[2])));
      std::ofstream(std::string(argv[1]) + ".clean") << "clean";
    }
    if (!stubborn) loop.Quit();
  });

  std::unique_ptr<OwnWindow> window;
  std::vector<std::unique_ptr<OwnWindow>> more;
  std::vector<char> held;
  std::vector<std::jthread> threads;
  std::vector<std::unique_ptr<ChildProcess>> children;
  // A tray program: asked to close, it drops its window and runs on. Not from inside the
  // window's own event handling, which still reads from it.
  const bool tray = argc >= 3 && std::string(argv[2]) == "tray";
  auto drop_window = loop.CreateTimer([&] { window.reset(); });
  if (mode == "window" && argc >= 2) {
    window = CreateOwnWindow(loop, argv[1], [&] {
      if (tray) {
        drop_window->SetInterval(1);
        drop_window->SetEnabled(true);
      } else if (!stubborn) {
        loop.Quit();
      }
    });
  } else if (mode == "windows") {
    // Several windows of one program, such as a desktop shell and its panel.
    for (int i = 1; i < argc; ++i) more.push_back(CreateOwnWindow(loop, argv[i], [] {}));
  } else if (mode == "threads" && argc >= 2) {
    for (int i = std::stoi(argv[1]); i > 0; --i) {
      threads.emplace_back([](std::stop_token stop) {
        while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      });
    }
  } else if (mode == "hold" && argc >= 2) {
    held.resize(static_cast<size_t>(std::stoul(argv[1])) << 20);
    for (size_t i = 0; i < held.size(); i += 4096) held[i] = 1;  // resident, not just reserved
  } else if (mode == "spin") {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    volatile unsigned long work = 0;
    while (std::chrono::steady_clock::now() < end) {
      for (int i = 0; i < 100000; ++i) work = work + static_cast<unsigned long>(i);
    }
    return 0;
  } else if (mode == "tree" && argc >= 2) {
    // Two children that ignore a polite request, as a job's workers might; their ids go to
    // the file named.
    Machine& machine = *platform.machine;
    const std::string self =
        machine.ProgramFolder() + machine.Paths().separator() + machine.ProgramFileName();
    std::ofstream out(argv[1], std::ios::binary);
    for (int i = 0; i < 2; ++i) {
      children.push_back(StartChildProcess(self, {"--helper", "stubborn"}));
      out << children.back()->Pid() << '\n';
    }
  } else if (mode != "polite" && mode != "stubborn" && !service) {
    return 2;
  }
  loop.Run();
  return 0;
}

}  // namespace

int RunHelper(int argc, char** argv) {
  try {
    return RunMode(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "helper: %s\n", e.what());
    return 3;
  }
}

WindowHandle WaitForWindow(Platform& platform, const std::string& caption,
                           std::chrono::milliseconds limit) {
  WindowHandle found = 0;
  // Kept once found: a window manager reparents a new window, so a second look may miss it.
  DispatchUntil(*platform.loop, limit, [&] {
    for (const WindowHandle w : platform.desktop->TopLevelWindows()) {
      if (platform.desktop->Caption(w) == caption) found = w;
    }
    return found != 0;
  });
  return found;
}

bool WindowShows(Platform& platform, const std::string& caption) {
  return WaitForWindow(platform, caption, std::chrono::milliseconds(0)) != 0;
}

std::string NativePath(std::string path, char separator) {
  if (separator == '\\' && !path.empty() && path[0] == '/') {
    std::replace(path.begin(), path.end(), '/', '\\');
    path = "Z:" + path;
  }
  return path;
}

std::vector<ProcessId> StartWindowHelpers(
    Platform& platform, const std::vector<std::pair<std::string, std::string>>& windows) {
  Machine& machine = *platform.machine;
  const std::string self =
      machine.ProgramFolder() + machine.Paths().separator() + machine.ProgramFileName();
  std::vector<ProcessId> helpers;
  for (const auto& [caption, mode] : windows) {
    helpers.push_back(platform.processes->Start(self, "--helper window \"" + caption + "\" " + mode,
                                                ShowState::kNormal));
    WaitForWindow(platform, caption, std::chrono::seconds(5));
  }
  return helpers;
}

}  // namespace varnix
