// The datagrams a faulty or hostile sender pours at a node, for the flood test and its benchmark.
#pragma once

#include <string>
#include <vector>

namespace varnix {

// Broken in the ways xAP gets broken: no header, a header cut short, a header with no body,
// binary noise, items without "=", unbalanced braces.
inline std::vector<std::string> MalformedDatagrams() {
  return {
      "not xap at all",
      "xap-header\n{\nv=12\nhop=1\nuid=FF",
      "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=a.b\nsource=x.y.z\n}\n",
      std::string("xap-header\n{\0\xff\xfe\x01\n}\n}\n{", 16),
      "xap-header\n{\nclass=Computer.Process\n}\nProcess.Control\n{\nAction\nPath\n",
      "xap-header\n}\n{\n}\n{\n{\n{\n",
  };
}

// A peer's request to `target` (none when empty), as it comes through a hub.
inline std::string XapRequest(const std::string& target, const std::string& body,
                              const std::string& cls = "Computer.Process",
                              const std::string& source = "acme.tester.peer") {
  return "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=" + cls + "\nsource=" + source +
         (target.empty() ? "" : "\ntarget=" + target) + "\n}\n" + body;
}

// A well-formed start request that some other computer's node is meant to act on.
inline std::string RequestForAnotherNode() {
  return XapRequest("qel.Process.SOMEWHERE-ELSE",
                    "Process.Control\n{\nAction=start\nPath=/bin/true\n}\n");
}

inline std::string EchoRequest(const std::string& computer, const std::string& text) {
  return XapRequest("qel.Process." + computer, "Echo.Query\n{\nQuery=" + text + "\n}\n",
                    "WDT.Echo");
}

}  // namespace varnix
