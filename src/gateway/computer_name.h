// The names of computers as the gateway takes them from the nodes' source addresses.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varnix {

// Every Varnix node's source address begins so, in any letter case.
constexpr std::string_view kNodePrefix = "qel.process.";
constexpr size_t kMaxComputerCharacters = 63;

// Whether `source` is a Varnix node's address, whatever name follows.
bool IsNodeSource(std::string_view source);

// The computer of a node's source address ("qel.Process.NAME"); "" when the source is not a
// Varnix node, or NAME is no computer's name: one label of letters (any script), digits, "-"
// and "_", at most 63 characters.
std::string ComputerOf(const std::string& source);

}  // namespace varnix
