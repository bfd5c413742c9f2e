// The error that an OS service or a store raises: a number and a description.
#pragma once

#include <stdexcept>
#include <string>

namespace varnix {

class Error : public std::runtime_error {
 public:
  Error(long number, const std::string& description)
      : std::runtime_error(description), number_(number) {}

  long number() const { return number_; }
  std::string description() const { return what(); }

 private:
  long number_;
};

}  // namespace varnix
