// The one room that holds libmosquitto: a connection to the broker, driven from the event
// loop through its socket, with a will, and reconnections that back off from 1 s to 60 s.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "gateway/mqtt_publisher.h"
#include "platform/event_loop.h"

struct mosquitto;
struct mosquitto_message;

namespace varnix {

class MosquittoSession : public MqttSession {
 public:
  struct Options {
    std::string host;
    uint16_t port = 1883;
    std::string client_id;
    std::string username;
    std::string password;
    std::string ca_file;  // TLS when set
    std::string will_topic;
    int keepalive_seconds = 30;
  };
  struct Handlers {
    std::function<void()> connected;
    // `retained`: the broker kept it from before, rather than passing it on now.
    std::function<void(const std::string& topic, const std::string& payload, bool retained)>
        message;
    std::function<void(const std::string& text)> say;
  };

  // Throws Error when the library refuses the options (a CA file it cannot read, say).
  MosquittoSession(EventLoop& loop, Options options, Handlers handlers);
  ~MosquittoSession() override;
  MosquittoSession(const MosquittoSession&) = delete;
  MosquittoSession& operator=(const MosquittoSession&) = delete;

  // Begins the first connection; a broker that cannot be reached is tried again.
  void Start();
  bool IsConnected() const { return connected_; }

  void Publish(const std::string& topic, const std::string& payload, bool retain,
               Delivery delivery) override;
  void Subscribe(const std::string& pattern, bool as_published) override;
  // Whether the broker speaks MQTT 5 with us; false once it refused it for 3.1.1.
  bool SpeaksVersion5() const { return version5_; }
  void Unsubscribe(const std::string& pattern) override;

 private:
  struct Deleter {
    void operator()(mosquitto* client) const;
  };
  static void OnConnect(mosquitto* client, void* self, int result);
  static void OnDisconnect(mosquitto* client, void* self, int result);
  static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);

  void Connect(bool first);
  void Ready(bool readable, bool writable);
  void Lost(const std::string& why);
  void Tick();
  void UpdateWriteWish();

  EventLoop& loop_;
  Options options_;
  Handlers handlers_;
  std::unique_ptr<mosquitto, Deleter> client_;
  std::unique_ptr<SocketWatch> watch_;
  std::unique_ptr<Timer> tick_;       // the library's keepalive
  std::unique_ptr<Timer> deadline_;   // for an answer to a connection
  std::unique_ptr<Timer> reconnect_;  // the back-off
  int backoff_seconds_ = 1;
  bool connected_ = false;
  bool said_unreachable_ = false;
  bool version5_ = true;
};

}  // namespace varnix
