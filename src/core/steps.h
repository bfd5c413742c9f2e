// Runs an operation as numbered steps: a failing step is reported once and the next one runs.
#pragma once

#include <utility>

#include "core/failure.h"

namespace varnix {

// `report` is called with the failure of a step; it must not throw. Use as
//   Steps step(report);
//   step(10, [&] { ... });
//   step(20, [&] { ... });
// Runs a step whose failure its operation does not report: the step is left, and the
// operation goes on with what it had. Returns true when the step ran to its end.
template <typename Body>
bool Quietly(Body&& body) {
  try {
    body();
    return true;
  } catch (...) {
    return false;
  }
}

template <typename Report>
class Steps {
 public:
  explicit Steps(Report report) : report_(std::move(report)) {}

  // Returns true when the step ran to its end.
  template <typename Body>
  bool operator()(int line, Body&& body) {
    try {
      body();
      return true;
    } catch (...) {
      report_(FailureFromCurrentException(line));
      return false;
    }
  }

 private:
  Report report_;
};

}  // namespace varnix
