// MosquittoSession: libmosquitto without its thread; the gateway's loop does its I/O.
#include "gateway/mosquitto_session.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/error.h"

namespace varnix {
namespace {

constexpr int kMaxBackoffSeconds = 60;
constexpr int kConnectLimitMs = 10000;

// The library wants one set-up per process before any client, and one clean-up after.
class Library {
 public:
  static void Use() { static Library library; }
  ~Library() { mosquitto_lib_cleanup(); }

 private:
  Library() { mosquitto_lib_init(); }
};

Error LibraryError(const std::string& what, int result) {
  return Error(result, what + ": " + mosquitto_strerror(result));
}

}  // namespace

void MosquittoSession::Deleter::operator()(mosquitto* client) const { mosquitto_destroy(client); }

MosquittoSession::MosquittoSession(EventLoop& loop, Options options, Handlers handlers)
    : loop_(loop), options_(std::move(options)), handlers_(std::move(handlers)) {
  Library::Use();
  client_.reset(mosquitto_new(options_.client_id.c_str(), true, this));
  if (!client_) throw Error(ENOMEM, "cannot make an MQTT client");
  // Small messages each sent at once: a command must not wait for Nagle's delayed ACK (40 ms).
  mosquitto_int_option(client_.get(), MOSQ_OPT_TCP_NODELAY, 1);
  // MQTT 5 tells a command published retained while we listen from a live one; a broker that
  // speaks only 3.1.1 refuses it, and is then spoken to in 3.1.1.
  mosquitto_int_option(client_.get(), MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_connect_callback_set(client_.get(), OnConnect);
  mosquitto_disconnect_callback_set(client_.get(), OnDisconnect);
  mosquitto_message_callback_set(client_.get(), OnMessage);
  if (!options_.username.empty()) {
    const int result =
        mosquitto_username_pw_set(client_.get(), options_.username.c_str(),
                                  options_.password.empty() ? nullptr : options_.password.c_str());
    if (result != MOSQ_ERR_SUCCESS) throw LibraryError("cannot set the MQTT user", result);
  }
  if (!options_.ca_file.empty()) {
    const int result = mosquitto_tls_set(client_.get(), options_.ca_file.c_str(), nullptr, nullptr,
                                         nullptr, nullptr);
    if (result != MOSQ_ERR_SUCCESS) {
      throw LibraryError("cannot use " + options_.ca_file + " for TLS", result);
    }
  }
  if (!options_.will_topic.empty()) {
    const int result =
        mosquitto_will_set(client_.get(), options_.will_topic.c_str(), 7, "offline", 1, true);
    if (result != MOSQ_ERR_SUCCESS) throw LibraryError("cannot set the MQTT will", result);
  }
  // The library pings once a keepalive has passed without a message out; the broker waits one
  // and a half. Ticks a second short of half of one are in time, and an idle gateway sleeps.
  tick_ = loop_.CreateTimer([this] { Tick(); });
  tick_->SetInterval(std::max(options_.keepalive_seconds * 500 - 1000, 1000));
  deadline_ = loop_.CreateTimer([this] {
    deadline_->SetEnabled(false);
    if (!connected_ && watch_) Lost("no answer within 10 s");
  });
  deadline_->SetInterval(kConnectLimitMs);
  reconnect_ = loop_.CreateTimer([this] {
    reconnect_->SetEnabled(false);
    Connect(false);
  });
}

MosquittoSession::~MosquittoSession() {
  if (connected_) {
    // A clean goodbye makes the broker drop the will: the gateway's own "offline" goes first.
    Publish(options_.will_topic, "offline", true, Delivery::kAtLeastOnce);
    mosquitto_disconnect(client_.get());
    mosquitto_loop_write(client_.get(), 1);
  }
  watch_.reset();
}

void MosquittoSession::Start() {
  tick_->SetEnabled(true);
  Connect(true);
}

void MosquittoSession::Connect(bool first) {
  deadline_->SetEnabled(false);  // counted from now
  deadline_->SetEnabled(true);
  const int result = first ? mosquitto_connect_async(client_.get(), options_.host.c_str(),
                                                     options_.port, options_.keepalive_seconds)
                           : mosquitto_reconnect_async(client_.get());
  const int socket = mosquitto_socket(client_.get());
  if (result != MOSQ_ERR_SUCCESS || socket < 0) {
    Lost(result == MOSQ_ERR_ERRNO ? std::string(strerror(errno)) : mosquitto_strerror(result));
    return;
  }
  watch_ = loop_.WatchSocket(socket,
                             [this](bool readable, bool writable) { Ready(readable, writable); });
  UpdateWriteWish();
}

void MosquittoSession::Ready(bool readable, bool writable) {
  if (readable) {
    const int result = mosquitto_loop_read(client_.get(), 1);
    if (result != MOSQ_ERR_SUCCESS) return Lost(mosquitto_strerror(result));
  }
  if (writable && watch_) {
    const int result = mosquitto_loop_write(client_.get(), 1);
    if (result != MOSQ_ERR_SUCCESS) return Lost(mosquitto_strerror(result));
  }
  UpdateWriteWish();
}

void MosquittoSession::Tick() {
  if (!watch_) return;
  // Pings for the keepalive, and the library's own check that the broker still answers.
  const int result = mosquitto_loop_misc(client_.get());
  if (result != MOSQ_ERR_SUCCESS) return Lost(mosquitto_strerror(result));
  UpdateWriteWish();
}

void MosquittoSession::UpdateWriteWish() {
  if (watch_) watch_->WantWrite(mosquitto_want_write(client_.get()));
}

void MosquittoSession::Lost(const std::string& why) {
  watch_.reset();
  const bool was_connected = connected_;
  connected_ = false;
  if (was_connected) {
    handlers_.say("lost the MQTT broker " + options_.host + ":" + std::to_string(options_.port) +
                  " (" + why + "); connecting again");
    backoff_seconds_ = 1;
  } else if (!said_unreachable_) {
    handlers_.say("cannot reach the MQTT broker " + options_.host + ":" +
                  std::to_string(options_.port) + " (" + why + "); trying again, up to every " +
                  std::to_string(kMaxBackoffSeconds) + " s");
    said_unreachable_ = true;
  }
  reconnect_->SetInterval(backoff_seconds_ * 1000);
  reconnect_->SetEnabled(true);
  backoff_seconds_ = std::min(backoff_seconds_ * 2, kMaxBackoffSeconds);
}

void MosquittoSession::OnConnect(mosquitto* client, void* self, int result) {
  auto& session = *static_cast<MosquittoSession*>(self);
  if (session.version5_ && (result == CONNACK_REFUSED_PROTOCOL_VERSION ||
                            result == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION)) {
    session.version5_ = false;
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    session.handlers_.say(
        "the MQTT broker speaks MQTT 3.1.1, not 5: a command published with the retain flag "
        "while the gateway runs cannot be told from a live one, and is carried out");
    return;
  }
  if (result != 0) {
    // Refused (a wrong password, say): the socket is closed by the broker; tried again later.
    session.handlers_.say(std::string("the MQTT broker refused the connection: ") +
                          mosquitto_connack_string(result));
    return;
  }
  session.connected_ = true;
  session.deadline_->SetEnabled(false);
  session.said_unreachable_ = false;
  session.backoff_seconds_ = 1;
  session.handlers_.say("connected to the MQTT broker " + session.options_.host + ":" +
                        std::to_string(session.options_.port));
  session.handlers_.connected();
}

void MosquittoSession::OnDisconnect(mosquitto*, void* self, int) {
  static_cast<MosquittoSession*>(self)->connected_ = false;
}

void MosquittoSession::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto& session = *static_cast<MosquittoSession*>(self);
  const std::string payload(static_cast<const char*>(message->payload),
                            static_cast<size_t>(std::max(message->payloadlen, 0)));
  session.handlers_.message(message->topic, payload, message->retain);
}

void MosquittoSession::Publish(const std::string& topic, const std::string& payload, bool retain,
                               Delivery delivery) {
  if (!connected_) return;
  mosquitto_publish(client_.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()),
                    payload.data(), static_cast<int>(delivery), retain);
  UpdateWriteWish();
}

void MosquittoSession::Subscribe(const std::string& pattern, bool as_published) {
  if (!connected_) return;
  if (version5_) {
    mosquitto_subscribe_v5(client_.get(), nullptr, pattern.c_str(), 1,
                           as_published ? MQTT_SUB_OPT_RETAIN_AS_PUBLISHED : 0, nullptr);
  } else {
    mosquitto_subscribe(client_.get(), nullptr, pattern.c_str(), 1);
  }
  UpdateWriteWish();
}

void MosquittoSession::Unsubscribe(const std::string& pattern) {
  if (!connected_) return;
  mosquitto_unsubscribe(client_.get(), nullptr, pattern.c_str());
  UpdateWriteWish();
}

}  // namespace varnix
