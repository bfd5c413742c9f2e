// A D-Bus connection of the node's own: the few calls it makes of system services, spoken over
// the bus's socket without a library, so that the node needs none on a computer with no bus.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/unique_fd.h"

namespace varnix {

// A value as the node reads it from a message: numbers of every width as `number`, strings,
// object paths and signatures as `text`, structs, arrays and dict entries as `items`, a
// variant as the value it holds.
struct DbusValue {
  enum class Kind { kNone, kBool, kNumber, kText, kItems };
  Kind kind = Kind::kNone;
  bool flag = false;
  int64_t number = 0;
  std::string text;
  std::vector<DbusValue> items;
};

// One message, as far as the node builds and reads them.
struct DbusMessage {
  enum Type : uint8_t { kCall = 1, kReturn = 2, kError = 3, kSignal = 4 };
  uint8_t type = kCall;
  uint32_t serial = 0;
  uint32_t reply_serial = 0;  // of a return or an error
  std::string path, interface, member, destination, error_name;
  std::vector<DbusValue> body;  // as read; a call's arguments are strings alone
};

// A call's arguments, in the little-endian form, of the few types the node sends.
class DbusArguments {
 public:
  DbusArguments() = default;
  DbusArguments(std::initializer_list<std::string_view> texts) {  // each an s
    for (const std::string_view text : texts) Text(text);
  }
  DbusArguments& Text(std::string_view text);                 // s
  DbusArguments& Unsigned(uint32_t number);                   // u
  DbusArguments& Signed(int32_t number);                      // i
  DbusArguments& Texts(const std::vector<std::string>& all);  // as
  DbusArguments& NoOptions();                                 // an empty a{sv}

  const std::string& signature() const { return signature_; }
  const std::string& body() const { return body_; }

 private:
  std::string signature_;
  std::string body_;
};

// A method call in the little-endian form; `serial` numbers it.
std::string DbusCall(const DbusMessage& call, const DbusArguments& arguments);

// Reads one whole message from the front of `bytes`: its length, or 0 while it is cut short.
// Throws Error when the bytes are no message.
size_t DbusParse(std::string_view bytes, DbusMessage& message);

class DbusConnection {
 public:
  // Connects to `address` ("unix:path=/run/dbus/system_bus_socket", or "unix:abstract=..."),
  // authenticates and says hello, within `limit`. Throws Error. It connects as this process's
  // user, or as `as_user` where one is given: a user's own bus takes that user alone, and a
  // node that runs as root reaches it as that user.
  explicit DbusConnection(const std::string& address,
                          std::chrono::milliseconds limit = std::chrono::milliseconds(2000),
                          std::optional<uint32_t> as_user = std::nullopt);

  // The system bus's address: DBUS_SYSTEM_BUS_ADDRESS, or the usual socket.
  static std::string SystemBusAddress();

  // Calls and waits at most `limit` for the reply's body. Signals that come meanwhile count as
  // news (TakeNews). Throws Error for an error reply, a closed bus, or no reply in time.
  std::vector<DbusValue> Call(const std::string& destination, const std::string& path,
                              const std::string& interface, const std::string& member,
                              const DbusArguments& arguments,
                              std::chrono::milliseconds limit = std::chrono::milliseconds(1000));
  // A property's value, through org.freedesktop.DBus.Properties.Get.
  DbusValue Property(const std::string& destination, const std::string& path,
                     const std::string& interface, const std::string& name);
  // Asks the bus for the signals that `rule` matches.
  void AddMatch(const std::string& rule);

  int fd() const { return socket_.get(); }
  // Reads what has come, without waiting; true when a signal came since the last time asked.
  // Throws Error when the bus has closed the connection.
  bool TakeNews() { return !TakeSignals().empty(); }
  // The same, with the signals themselves, oldest first.
  std::vector<DbusMessage> TakeSignals();

 private:
  // Reads once, waiting at most `limit`; false when nothing came in time.
  bool ReadSome(std::chrono::milliseconds limit);
  // Takes every whole message read so far: signals as news, the reply to `serial` into
  // `reply`. True when the reply came.
  bool Sort(uint32_t serial, DbusMessage* reply);

  UniqueFd socket_;
  std::string read_;
  uint32_t serial_ = 0;
  std::vector<DbusMessage> signals_;
};

}  // namespace varnix
