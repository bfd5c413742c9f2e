// Maps a caught exception onto the numbered failure record the reports expect.
#include "core/failure.h"

#include <exception>
#include <new>

namespace varnix {

Failure FailureFromCurrentException(int line) {
  // The numbers are the classic runtime's, so logs read the same on every system.
  try {
    throw;
  } catch (const Error& e) {
    return {e.number(), e.description(), line};
  } catch (const std::bad_alloc&) {
    return {7, "Out of memory", line};
  } catch (const std::out_of_range& e) {
    return {9, std::string("Subscript out of range: ") + e.what(), line};
  } catch (const std::exception& e) {
    return {5, e.what(), line};
  } catch (...) {
    return {5, "Unknown failure", line};
  }
}

}  // namespace varnix
