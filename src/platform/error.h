// The error that an OS service or a store raises: a number and a description.
#pragma once

#include <stdexcept>
#include <string>

namespace varnix {

// The classic runtime's error numbers that the reports carry, so that logs read as they always
// have; with their texts where the number is raised with its standard text.
namespace errors {
inline constexpr long kInvalidCall = 5;
inline constexpr long kOverflow = 6;
inline constexpr char kOverflowText[] = "Overflow";
inline constexpr long kSubscriptOutOfRange = 9;
inline constexpr char kSubscriptOutOfRangeText[] = "Subscript out of range";
inline constexpr long kFileNotFound = 53;
inline constexpr long kInputPastEnd = 62;
inline constexpr long kPermissionDenied = 70;
inline constexpr long kFileIo = 75;
inline constexpr long kPathNotFound = 76;
inline constexpr long kObjectNotSet = 91;
inline constexpr char kObjectNotSetText[] = "Object variable or With block variable not set";
inline constexpr long kDuplicateKey = 457;
inline constexpr char kDuplicateKeyText[] =
    "This key is already associated with an element of this collection";
}  // namespace errors

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
