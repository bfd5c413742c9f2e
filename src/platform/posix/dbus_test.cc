// Tests of the D-Bus wire form: a call read back, a reply in either byte order, and what is
// cut short or no message at all; and a user's own bus reached as that user.
#include "platform/posix/dbus.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include "platform/child_process.h"
#include "platform/error.h"

namespace varnix {
namespace {

TEST(DbusTest, ACallReadsBackAsItWasMade) {
  DbusMessage call;
  call.serial = 9;
  call.destination = "org.freedesktop.login1";
  call.path = "/org/freedesktop/login1/seat/seat0";
  call.interface = "org.freedesktop.DBus.Properties";
  call.member = "Get";
  const std::string bytes = DbusCall(call, {"org.freedesktop.login1.Seat", "ActiveSession"});
  DbusMessage read;
  EXPECT_EQ(DbusParse(bytes.substr(0, bytes.size() - 1), read), 0u) << "cut short";
  ASSERT_EQ(DbusParse(bytes + "more", read), bytes.size());
  EXPECT_EQ(read.type, DbusMessage::kCall);
  EXPECT_EQ(read.serial, 9u);
  EXPECT_EQ(read.destination, call.destination);
  EXPECT_EQ(read.path, call.path);
  EXPECT_EQ(read.member, "Get");
  ASSERT_EQ(read.body.size(), 2u);
  EXPECT_EQ(read.body[1].text, "ActiveSession");
  EXPECT_THROW(DbusParse(std::string(16, 'x'), read), Error);
}

// logind's answer for ActiveSession, a variant of (so), as a bus of either byte order sends it.
std::string SessionReply(bool big) {
  const auto u32 = [&](uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[big ? 3 - i : i] = static_cast<char>(value >> (8 * i));
    return bytes;
  };
  std::string fields =
      std::string("\x05\x01u\0", 4) + u32(3) + std::string("\x08\x01g\0\x01v\0", 7);
  std::string message = std::string(big ? "B" : "l") + std::string("\x02\x00\x01", 3) + u32(26) +
                        u32(7) + u32(static_cast<uint32_t>(fields.size())) + fields;
  message += '\0';  // the body starts on a boundary of eight
  message += std::string("\x04(so)\0", 6) + std::string(2, '\0') + u32(2) + std::string("c1\0", 3) +
             '\0' + u32(5) + std::string("/s/c1\0", 6);
  return message;
}

TEST(DbusTest, AReplyIsReadInEitherByteOrder) {
  for (const bool big : {false, true}) {
    DbusMessage reply;
    const std::string bytes = SessionReply(big);
    ASSERT_EQ(DbusParse(bytes, reply), bytes.size()) << big;
    EXPECT_EQ(reply.type, DbusMessage::kReturn);
    EXPECT_EQ(reply.reply_serial, 3u);
    ASSERT_EQ(reply.body.size(), 1u);
    ASSERT_EQ(reply.body[0].items.size(), 2u);
    EXPECT_EQ(reply.body[0].items[0].text, "c1");
    EXPECT_EQ(reply.body[0].items[1].text, "/s/c1");
  }
  // An array of empty structs, which no bus sends, would be read for ever: it ends the reading.
  std::string endless = SessionReply(false);
  endless.replace(endless.find("(so)"), 4, "a()y");
  DbusMessage reply;
  EXPECT_THROW(DbusParse(endless, reply), Error);
}

// A notice's call: every type a node sends, read back in place.
TEST(DbusTest, TypedArgumentsReadBackAsTheyWereMade) {
  DbusMessage call;
  call.serial = 2;
  call.member = "Notify";
  DbusArguments arguments;
  arguments.Text("Varnix").Unsigned(7).Texts({"Yes", "Yes", "No", "No"}).NoOptions().Signed(-1);
  EXPECT_EQ(arguments.signature(), "suasa{sv}i");
  DbusMessage read;
  const std::string bytes = DbusCall(call, arguments);
  ASSERT_EQ(DbusParse(bytes, read), bytes.size());
  ASSERT_EQ(read.body.size(), 5u);
  EXPECT_EQ(read.body[1].number, 7);
  ASSERT_EQ(read.body[2].items.size(), 4u);
  EXPECT_EQ(read.body[2].items[3].text, "No");
  EXPECT_TRUE(read.body[3].items.empty());
  EXPECT_EQ(read.body[4].number, -1);
}

// A node that runs as root reaches a user's own bus as that user, whom alone the bus takes.
TEST(DbusTest, RootReachesAUsersOwnBusAsThatUser) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || nobody == nullptr || ::access("/usr/bin/dbus-daemon", X_OK) != 0 ||
      ::access("/usr/bin/setpriv", X_OK) != 0) {
    GTEST_SKIP() << "needs root, the user nobody, setpriv and dbus-daemon";
  }
  const uid_t user = nobody->pw_uid;
  const std::filesystem::path folder = "/tmp/varnix-user-bus-" + std::to_string(::getpid());
  std::filesystem::create_directory(folder);
  std::filesystem::permissions(folder, std::filesystem::perms::all);
  const std::string address = "unix:path=" + (folder / "bus").string();
  std::unique_ptr<ChildProcess> bus = StartChildProcess(
      "/usr/bin/setpriv",
      {"--reuid=" + std::to_string(user), "--regid=" + std::to_string(nobody->pw_gid),
       "--clear-groups", "/usr/bin/dbus-daemon", "--session", "--nofork", "--address=" + address});
  for (int i = 0; i < 200 && !std::filesystem::exists(folder / "bus"); ++i) ::usleep(50000);
  EXPECT_NO_THROW(DbusConnection(address, std::chrono::milliseconds(2000), user));
  EXPECT_THROW(DbusConnection(address, std::chrono::milliseconds(2000), user + 1), Error);
  bus.reset();
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace varnix
