// The D-Bus wire form (marshalling of the types the node reads) and a blocking connection.
#include "platform/posix/dbus.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/error.h"

namespace varnix {
namespace {

constexpr size_t kMostMessageBytes = 1 << 20;  // far more than any answer the node asks for
constexpr int kMostDepth = 16;                 // nesting no reply of ours has
constexpr size_t kMostKeptSignals = 64;

[[noreturn]] void Bad(const std::string& why) { throw Error(EBADMSG, "D-Bus: " + why); }

// Builds the little-endian form into `bytes`, aligned from the message's start.
class Writer {
 public:
  explicit Writer(std::string& bytes) : bytes_(bytes) {}
  void Align(size_t to) {
    while (bytes_.size() % to != 0) bytes_ += '\0';
  }
  void Byte(uint8_t value) { bytes_ += static_cast<char>(value); }
  void Uint32(uint32_t value) {
    Align(4);
    for (int i = 0; i < 4; ++i) bytes_ += static_cast<char>((value >> (8 * i)) & 0xFF);
  }
  void String(std::string_view text) {  // s and o
    Uint32(static_cast<uint32_t>(text.size()));
    bytes_.append(text);
    bytes_ += '\0';
  }
  void Signature(std::string_view text) {  // g
    Byte(static_cast<uint8_t>(text.size()));
    bytes_.append(text);
    bytes_ += '\0';
  }
  void SetUint32(size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes_[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  }
  size_t size() const { return bytes_.size(); }

 private:
  std::string& bytes_;
};

// The boundary a value of the type `code` starts on.
size_t AlignmentOf(char code) {
  switch (code) {
    case 'n':
    case 'q':
      return 2;
    case 'b':
    case 'i':
    case 'u':
    case 'h':
    case 's':
    case 'o':
    case 'a':
      return 4;
    case 'x':
    case 't':
    case 'd':
    case '(':
    case '{':
      return 8;
    default:
      return 1;
  }
}

size_t TypeLength(std::string_view signature, size_t at);

// Reads values by their signature, in either byte order.
class Reader {
 public:
  Reader(std::string_view bytes, bool big) : bytes_(bytes), big_(big) {}

  void Align(size_t to) {
    at_ = (at_ + to - 1) / to * to;
    if (at_ > bytes_.size()) Bad("cut short");
  }
  uint64_t Fixed(size_t size) {
    Align(size);
    if (at_ + size > bytes_.size()) Bad("cut short");
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) {
      const auto byte = static_cast<uint8_t>(bytes_[at_ + (big_ ? i : size - 1 - i)]);
      value = (value << 8) | byte;
    }
    at_ += size;
    return value;
  }
  std::string Text(size_t length) {
    if (at_ + length + 1 > bytes_.size()) Bad("cut short");
    std::string text(bytes_.substr(at_, length));
    at_ += length + 1;  // and its nul
    return text;
  }
  // One complete type's value, from `signature` at `sig`, which moves past it.
  DbusValue Value(std::string_view signature, size_t& sig, int depth = 0) {
    if (depth > kMostDepth || sig >= signature.size()) Bad("bad signature");
    DbusValue value;
    const char code = signature[sig++];
    const auto number = [&](size_t size, bool is_signed) {
      value.kind = DbusValue::Kind::kNumber;
      const uint64_t raw = Fixed(size);
      if (is_signed && size < 8 && (raw >> (8 * size - 1)) != 0) {
        value.number = static_cast<int64_t>(raw) - (int64_t{1} << (8 * size));
      } else {
        value.number = static_cast<int64_t>(raw);
      }
    };
    switch (code) {
      case 'y':
        number(1, false);
        return value;
      case 'n':
        number(2, true);
        return value;
      case 'q':
        number(2, false);
        return value;
      case 'i':
        number(4, true);
        return value;
      case 'u':
      case 'h':
        number(4, false);
        return value;
      case 'x':
      case 't':
      case 'd':  // kept as its bits: no reply of ours has one
        number(8, code == 'x');
        return value;
      case 'b':
        value.kind = DbusValue::Kind::kBool;
        value.flag = Fixed(4) != 0;
        return value;
      case 's':
      case 'o':
        value.kind = DbusValue::Kind::kText;
        value.text = Text(Fixed(4));
        return value;
      case 'g':
        value.kind = DbusValue::Kind::kText;
        value.text = Text(Fixed(1));
        return value;
      case 'v': {
        const std::string inner = Text(Fixed(1));
        size_t inner_at = 0;
        value = Value(inner, inner_at, depth + 1);
        if (inner_at != inner.size()) Bad("a variant of more than one type");
        return value;
      }
      case '(':
      case '{': {
        const char close = code == '(' ? ')' : '}';
        Align(8);
        value.kind = DbusValue::Kind::kItems;
        while (sig < signature.size() && signature[sig] != close) {
          value.items.push_back(Value(signature, sig, depth + 1));
        }
        if (sig >= signature.size()) Bad("bad signature");
        ++sig;
        return value;
      }
      case 'a': {
        const size_t length = Fixed(4);
        const size_t element_at = sig;
        const size_t element_length = TypeLength(signature, element_at);
        if (element_length == 0) Bad("bad signature");
        Align(AlignmentOf(signature[element_at]));  // even for no element
        const size_t end = at_ + length;
        if (end > bytes_.size()) Bad("cut short");
        value.kind = DbusValue::Kind::kItems;
        while (at_ < end) {
          size_t element = element_at;
          const size_t before = at_;
          value.items.push_back(Value(signature, element, depth + 1));
          if (at_ == before) Bad("an array of empty elements");  // it would never end
        }
        sig = element_at + element_length;
        return value;
      }
      default:
        Bad(std::string("a type the node does not read: ") + code);
    }
  }

  size_t at() const { return at_; }
  void Seek(size_t at) { at_ = at; }

 private:
  std::string_view bytes_;
  bool big_;
  size_t at_ = 0;
};

// The length of one complete type at `at` of `signature`; 0 when there is none.
size_t TypeLength(std::string_view signature, size_t at) {
  if (at >= signature.size()) return 0;
  const char code = signature[at];
  if (code == 'a') {
    const size_t inner = TypeLength(signature, at + 1);
    return inner == 0 ? 0 : inner + 1;
  }
  if (code == '(' || code == '{') {
    const char close = code == '(' ? ')' : '}';
    size_t next = at + 1;
    while (next < signature.size() && signature[next] != close) {
      const size_t inner = TypeLength(signature, next);
      if (inner == 0) return 0;
      next += inner;
    }
    return next < signature.size() ? next + 1 - at : 0;
  }
  return 1;
}

// Connects `socket` to the bus at `where` as `user`; false with errno set when it cannot.
bool ConnectAs(int socket, const sockaddr_un& where, socklen_t length, uint32_t user) {
  const auto* address = reinterpret_cast<const sockaddr*>(&where);
  if (user == ::geteuid()) return ::connect(socket, address, length) == 0;
  if (::geteuid() != 0) {
    errno = EACCES;  // only root may speak as another user
    return false;
  }
  // The bus takes who we are from the process that connects: a child that has become the user
  // connects the socket, which stays ours. It only makes system calls, as a child of a
  // process with threads may.
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    const bool connected =
        ::setresuid(user, user, user) == 0 && ::connect(socket, address, length) == 0;
    ::_exit(connected ? 0 : errno == 0 ? 1 : errno);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  errno = WIFEXITED(status) && WEXITSTATUS(status) > 1 ? WEXITSTATUS(status) : EACCES;
  return false;
}

}  // namespace

// The body starts on a boundary of 8 from the message's start, so aligning within it is the
// same as aligning within the message.
DbusArguments& DbusArguments::Text(std::string_view text) {
  Writer(body_).String(text);
  signature_ += 's';
  return *this;
}

DbusArguments& DbusArguments::Unsigned(uint32_t number) {
  Writer(body_).Uint32(number);
  signature_ += 'u';
  return *this;
}

DbusArguments& DbusArguments::Signed(int32_t number) {
  Writer(body_).Uint32(static_cast<uint32_t>(number));
  signature_ += 'i';
  return *this;
}

DbusArguments& DbusArguments::Texts(const std::vector<std::string>& all) {
  Writer writer(body_);
  writer.Uint32(0);  // the array's length in bytes, set below
  const size_t length_at = writer.size() - 4;
  writer.Align(4);
  const size_t start = writer.size();
  for (const std::string& text : all) writer.String(text);
  writer.SetUint32(length_at, static_cast<uint32_t>(writer.size() - start));
  signature_ += "as";
  return *this;
}

DbusArguments& DbusArguments::NoOptions() {
  Writer writer(body_);
  writer.Uint32(0);
  writer.Align(8);  // where the first dict entry would start, even for none
  signature_ += "a{sv}";
  return *this;
}

std::string DbusCall(const DbusMessage& call, const DbusArguments& arguments) {
  std::string bytes;
  Writer message(bytes);
  message.Byte('l');
  message.Byte(DbusMessage::kCall);
  message.Byte(0);  // flags: a reply is wanted
  message.Byte(1);  // the protocol's version
  message.Uint32(static_cast<uint32_t>(arguments.body().size()));
  message.Uint32(call.serial);
  message.Uint32(0);  // the fields' length, set below
  const size_t fields = message.size();
  const auto field = [&](uint8_t code, char type, const std::string& text) {
    if (text.empty()) return;
    message.Align(8);
    message.Byte(code);
    message.Signature(std::string(1, type));
    if (type == 'g') {
      message.Signature(text);
    } else {
      message.String(text);
    }
  };
  field(1, 'o', call.path);
  field(2, 's', call.interface);
  field(3, 's', call.member);
  field(6, 's', call.destination);
  field(8, 'g', arguments.signature());
  message.SetUint32(fields - 4, static_cast<uint32_t>(message.size() - fields));
  message.Align(8);
  return bytes + arguments.body();
}

size_t DbusParse(std::string_view bytes, DbusMessage& message) {
  if (bytes.size() < 16) return 0;
  if (bytes[0] != 'l' && bytes[0] != 'B') Bad("not a message");
  Reader header(bytes, bytes[0] == 'B');
  header.Seek(4);
  const uint64_t body_length = header.Fixed(4);
  message.type = static_cast<uint8_t>(bytes[1]);
  message.serial = static_cast<uint32_t>(header.Fixed(4));
  const uint64_t fields_length = header.Fixed(4);
  const uint64_t body_at = (16 + fields_length + 7) / 8 * 8;
  if (body_length > kMostMessageBytes || fields_length > kMostMessageBytes) Bad("too long");
  if (bytes.size() < body_at + body_length) return 0;
  std::string signature;
  const std::string_view head = bytes.substr(0, 16 + fields_length);
  Reader fields(head, bytes[0] == 'B');
  fields.Seek(16);
  while ((fields.at() + 7) / 8 * 8 < head.size()) {
    fields.Align(8);
    const uint64_t code = fields.Fixed(1);
    size_t sig = 0;
    const std::string variant = "v";
    const DbusValue value = fields.Value(variant, sig);
    switch (code) {
      case 1:
        message.path = value.text;
        break;
      case 2:
        message.interface = value.text;
        break;
      case 3:
        message.member = value.text;
        break;
      case 4:
        message.error_name = value.text;
        break;
      case 5:
        message.reply_serial = static_cast<uint32_t>(value.number);
        break;
      case 6:
        message.destination = value.text;
        break;
      case 8:
        signature = value.text;
        break;
      default:
        break;
    }
  }
  // The body is aligned from the message's start: read it in place.
  Reader body(bytes.substr(0, body_at + body_length), bytes[0] == 'B');
  body.Seek(body_at);
  message.body.clear();
  for (size_t sig = 0; sig < signature.size();) {
    if (TypeLength(signature, sig) == 0) Bad("bad signature");
    message.body.push_back(body.Value(signature, sig));
  }
  return body_at + body_length;
}

DbusConnection::DbusConnection(const std::string& address, std::chrono::milliseconds limit,
                               std::optional<uint32_t> as_user) {
  sockaddr_un where{};
  where.sun_family = AF_UNIX;
  socklen_t length = 0;
  constexpr std::string_view kPath = "unix:path=";
  constexpr std::string_view kAbstract = "unix:abstract=";
  const std::string_view first = std::string_view(address).substr(0, address.find(';'));
  std::string_view name;
  bool abstract = false;
  if (first.starts_with(kPath)) {
    name = first.substr(kPath.size());
  } else if (first.starts_with(kAbstract)) {
    name = first.substr(kAbstract.size());
    abstract = true;
  } else {
    throw Error(EINVAL, "D-Bus: an address the node does not use: " + address);
  }
  name = name.substr(0, name.find(','));
  if (name.empty() || name.size() + 1 >= sizeof where.sun_path) {
    throw Error(EINVAL, "D-Bus: a bad address: " + address);
  }
  std::memcpy(where.sun_path + (abstract ? 1 : 0), name.data(), name.size());
  length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 1 : 0));
  socket_.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const uint32_t user = as_user.value_or(::geteuid());
  if (!socket_.valid() || !ConnectAs(socket_.get(), where, length, user)) {
    const int error = errno;
    throw Error(error, "D-Bus: cannot reach " + std::string(name) + ": " + std::strerror(error));
  }
  // The bus knows who we are from the socket; we say it in hex, as the protocol asks.
  std::string uid = std::to_string(user);
  std::string hex;
  for (const char c : uid) {
    static const char kDigits[] = "0123456789abcdef";
    hex += kDigits[(c >> 4) & 0xF];
    hex += kDigits[c & 0xF];
  }
  const std::string auth = std::string(1, '\0') + "AUTH EXTERNAL " + hex + "\r\n";
  if (::send(socket_.get(), auth.data(), auth.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(auth.size())) {
    throw Error(errno, "D-Bus: cannot write");
  }
  while (read_.find("\r\n") == std::string::npos) {
    if (!ReadSome(limit)) throw Error(ETIMEDOUT, "D-Bus: no answer to the node's name");
  }
  if (!read_.starts_with("OK ")) throw Error(EACCES, "D-Bus: the bus refused the node");
  read_.clear();
  const std::string begin = "BEGIN\r\n";
  if (::send(socket_.get(), begin.data(), begin.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(begin.size())) {
    throw Error(errno, "D-Bus: cannot write");
  }
  Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "Hello", {}, limit);
}

std::string DbusConnection::SystemBusAddress() {
  const char* set = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  return set != nullptr && *set != '\0' ? set : "unix:path=/run/dbus/system_bus_socket";
}

bool DbusConnection::ReadSome(std::chrono::milliseconds limit) {
  pollfd ready{socket_.get(), POLLIN, 0};
  const int count = ::poll(&ready, 1, static_cast<int>(limit.count()));
  if (count <= 0) return false;
  char chunk[4096];
  const ssize_t got = ::recv(socket_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
    throw Error(ECONNRESET, "D-Bus: the bus closed the connection");
  }
  if (got > 0) read_.append(chunk, static_cast<size_t>(got));
  if (read_.size() > 2 * kMostMessageBytes) Bad("too much at once");
  return true;
}

bool DbusConnection::Sort(uint32_t serial, DbusMessage* reply) {
  bool found = false;
  while (true) {
    DbusMessage message;
    const size_t used = DbusParse(read_, message);
    if (used == 0) return found;
    read_.erase(0, used);
    if (message.type == DbusMessage::kSignal) {
      // Bounded: signals no one takes (a watch of presence takes them only as news) may pile.
      if (signals_.size() >= kMostKeptSignals) signals_.erase(signals_.begin());
      signals_.push_back(std::move(message));
    } else if (reply != nullptr && message.reply_serial == serial && serial != 0) {
      *reply = std::move(message);
      found = true;
    }
  }
}

std::vector<DbusValue> DbusConnection::Call(const std::string& destination, const std::string& path,
                                            const std::string& interface, const std::string& member,
                                            const DbusArguments& arguments,
                                            std::chrono::milliseconds limit) {
  DbusMessage call;
  call.serial = ++serial_;
  call.destination = destination;
  call.path = path;
  call.interface = interface;
  call.member = member;
  const std::string bytes = DbusCall(call, arguments);
  if (::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(bytes.size())) {
    throw Error(errno, "D-Bus: cannot write");
  }
  const auto until = std::chrono::steady_clock::now() + limit;
  DbusMessage reply;
  while (!Sort(call.serial, &reply)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !ReadSome(left)) {
      throw Error(ETIMEDOUT, "D-Bus: " + destination + " did not answer " + member);
    }
  }
  if (reply.type == DbusMessage::kError) {
    std::string why = reply.error_name;
    if (!reply.body.empty() && reply.body[0].kind == DbusValue::Kind::kText) {
      why += ": " + reply.body[0].text;
    }
    throw Error(EPROTO, "D-Bus: " + destination + " " + member + ": " + why);
  }
  return std::move(reply.body);
}

DbusValue DbusConnection::Property(const std::string& destination, const std::string& path,
                                   const std::string& interface, const std::string& name) {
  std::vector<DbusValue> body =
      Call(destination, path, "org.freedesktop.DBus.Properties", "Get", {interface, name});
  if (body.empty()) Bad("an empty property");
  return std::move(body[0]);
}

void DbusConnection::AddMatch(const std::string& rule) {
  Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "AddMatch", {rule});
}

std::vector<DbusMessage> DbusConnection::TakeSignals() {
  while (ReadSome(std::chrono::milliseconds(0))) {
  }
  Sort(0, nullptr);
  return std::exchange(signals_, {});
}

}  // namespace varnix
