// The gateway's web face: every node's state as JSON for the page and its event stream, and
// the page's actions, each checked before it reaches a node. No HTTP here: the server room
// (http_server.h) hands requests in and answers out.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "gateway/gateway_config.h"
#include "gateway/node_directory.h"

namespace varnix {

struct HttpRequest {
  std::string method;
  std::string path;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;

  std::string Header(const std::string& lower_name) const;
};

struct HttpResponse {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
};

class WebFace : public NodeObserver {
 public:
  static constexpr size_t kEventsPerNode = 20;
  static constexpr size_t kMaxBodyBytes = 4096;

  // `token` goes with the page; an action without it is refused.
  WebFace(NodeDirectory& nodes, const GatewayConfig& config, EventLoop& loop, std::string token,
          NodeDirectory::Say say);

  // Every route but the event stream, which the server keeps open itself.
  HttpResponse Handle(const HttpRequest& request);
  // All nodes, their programs and recent events, as the page and /api/nodes show them.
  std::string StateJson() const;
  // `changed` runs when the state changes, at once or, within a quarter second of the last
  // time, at its end: the streams get the state then.
  void OnChange(std::function<void()> changed) { changed_ = std::move(changed); }

  void NodeChanged(const NodeState& node) override;
  void ProgramReported(const NodeState& node, const ProgramState& program) override;
  void NodeEvent(const NodeState& node, const std::string& text) override;

 private:
  HttpResponse Action(const HttpRequest& request);
  void Changed();
  void Send();

  NodeDirectory& nodes_;
  const GatewayConfig& config_;
  EventLoop& loop_;
  std::string token_;
  NodeDirectory::Say say_;
  std::function<void()> changed_;
  std::unique_ptr<Timer> coalesce_;
  int64_t last_sent_ms_ = -1000000;
  // Newest first, by the lower-cased computer name.
  std::map<std::string, std::deque<std::pair<int64_t, std::string>>> events_;
};

}  // namespace varnix
