// Letter-case comparison, eight bytes at a time, against the byte-by-byte definition.
#include "core/text.h"

#include <gtest/gtest.h>

#include <string>

namespace varnix {
namespace {

// Every pair of bytes, at each place in a text that spans a word boundary: the word-wide
// trick must agree with LowerAscii byte by byte, also for '@', '[', '`', '{' and bytes >= 0x80.
TEST(TextTest, CaseBlindComparisonAgreesWithLowerAsciiForEveryByte) {
  for (std::size_t place : {0u, 7u, 8u, 10u}) {
    for (int a = 0; a < 256; ++a) {
      for (int b = 0; b < 256; ++b) {
        std::string left = "xap-Header";
        std::string right = "xap-header";
        left[place % left.size()] = static_cast<char>(a);
        right[place % right.size()] = static_cast<char>(b);
        const bool expected = LowerAscii(static_cast<char>(a)) == LowerAscii(static_cast<char>(b));
        ASSERT_EQ(EqualsIgnoringCase(left, right), expected) << place << " " << a << " " << b;
        if (LowerAscii(static_cast<char>(b)) == static_cast<char>(b)) {
          ASSERT_EQ(EqualsLowered(left, right), expected) << place << " " << a << " " << b;
        }
      }
    }
  }
}

}  // namespace
}  // namespace varnix
