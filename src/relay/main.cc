// varnix-relay: keeps one supervised program's output in its log, for as long as it writes.
#include <string>
#include <vector>

#include "platform/terminal.h"
#include "supervision/output_relay.h"
#include "supervision/program_log.h"

namespace {

constexpr char kUsage[] =
    "usage: varnix-relay --keep-output LOG MAX-BYTES FILES\n"
    "  Started by the Varnix node, one for each program it keeps the output of: reads the\n"
    "  program's output and errors and keeps them in LOG, rotated at MAX-BYTES into FILES\n"
    "  older files. It outlives the node, so that a restarted node leaves no program writing\n"
    "  into a closed pipe. It is not started by hand.\n";

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> words = varnix::ProgramArguments(argc, argv);
  if (const auto order = varnix::ReadRelayArguments(words)) return varnix::RelayOutput(*order);
  const bool asked =
      !words.empty() && (words[0] == "--help" || words[0] == "-h" || words[0] == "/?");
  if (varnix::UseCallersConsole()) varnix::WriteText(asked ? stdout : stderr, kUsage);
  return asked ? 0 : 2;
}
