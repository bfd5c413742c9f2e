// The one room that holds libmicrohttpd: the web page's server, driven from the gateway's event
// loop through the library's epoll descriptor and its timeout, with no thread of its own.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "gateway/web_face.h"
#include "platform/event_loop.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace varnix {

class HttpServer {
 public:
  struct Options {
    std::string address;
    uint16_t port = 0;
    std::map<std::string, std::string> users;  // name -> password; none: no HTTP Basic
    std::string certificate_pem;               // HTTPS when set, with the key
    std::string key_pem;
  };
  // Bounds that keep a careless or hostile client from stalling the gateway.
  static constexpr unsigned kMaxConnections = 64;
  static constexpr unsigned kMaxConnectionsPerAddress = 16;
  // An address that has not given the password: a browser opens six at most.
  static constexpr unsigned kMaxConnectionsPerStranger = 6;
  static constexpr unsigned kIdleSeconds = 10;
  // A whole request, headers and body, must be in this long after it began, however slowly it
  // trickles: a client sending a byte every few seconds never goes idle.
  static constexpr int kRequestDeadlineMs = 10000;
  // Connections kept for loopback and for addresses that have given the password, whatever
  // strangers hold.
  static constexpr unsigned kReservedConnections = 16;
  // TLS 1.2 and newer only.
  static constexpr char kTlsPriorities[] = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";
  static constexpr size_t kConnectionMemory = 32 * 1024;  // headers and body together
  // Several whole states: a page that keeps up a little slowly is not ended at once.
  static constexpr size_t kMaxStreamBacklog = 4 * 1024 * 1024;
  static constexpr size_t kCompressFrom = 512;  // bytes of an answer, for gzip to be worth it

  // Listens at once; throws Error saying why it cannot.
  HttpServer(EventLoop& loop, WebFace& face, Options options);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Sends `data` as one event to every open /events stream.
  void Broadcast(const std::string& data);
  size_t Streams() const { return streams_.size(); }

 private:
  struct Request;
  struct Stream;
  struct Connection;
  struct Callbacks;  // the library's, with its own types
  friend struct Callbacks;
  struct DaemonStopper {
    void operator()(MHD_Daemon* daemon) const;
  };

  // The library's answer to it: queued or not.
  bool Answer(MHD_Connection* connection, const HttpRequest& request);
  // A short plain-text refusal with `status`: queued or not.
  bool Refuse(MHD_Connection* connection, unsigned status, const char* text);
  bool Authorized(MHD_Connection* connection);
  void Run();
  // Whether a connection from `address` may be taken now.
  bool Admits(const std::string& address) const;
  // Ends the connections whose requests are overdue.
  void EnforceDeadlines();

  EventLoop& loop_;
  WebFace& face_;
  Options options_;
  std::unique_ptr<MHD_Daemon, DaemonStopper> daemon_;
  std::unique_ptr<SocketWatch> watch_;
  std::unique_ptr<Timer> timer_;
  std::list<Stream*> streams_;
  std::set<Connection*> connections_;
  std::set<std::string> trusted_;  // addresses that have given the password (bounded)
  std::unique_ptr<Timer> deadline_timer_;
};

}  // namespace varnix
