// Tests of a library loaded at run time: found, and what is said when it or a function is not.
#include "platform/posix/shared_library.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>

namespace varnix {
namespace {

using ::testing::HasSubstr;

TEST(SharedLibraryTest, AFunctionIsFoundOrItsAbsenceNamesTheLibrary) {
  SharedLibrary c("libc.so.6");
  ASSERT_TRUE(c.loaded()) << c.error();
  size_t (*length)(const char*) = nullptr;
  ASSERT_TRUE(c.Find("strlen", length));
  EXPECT_EQ(length("four"), 4u);
  EXPECT_EQ(c.error(), "");

  void (*none)() = nullptr;
  EXPECT_FALSE(c.Find("varnix_no_such_function", none));
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(c.error(), "no varnix_no_such_function in libc.so.6");
}

TEST(SharedLibraryTest, ALibraryThatIsNotThereSaysWhyAndFindsNothing) {
  SharedLibrary absent("libvarnix-absent.so.1");
  EXPECT_FALSE(absent.loaded());
  EXPECT_THAT(absent.error(), HasSubstr("libvarnix-absent.so.1"));
  void (*none)() = nullptr;
  EXPECT_FALSE(absent.Find("strlen", none));
  EXPECT_THAT(absent.error(), HasSubstr("libvarnix-absent.so.1"));
}

}  // namespace
}  // namespace varnix
