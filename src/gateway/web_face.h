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
  // The state the page gets, at most: strangers' floods cannot make it more. Events of all
  // nodes together keep to a share of it, the oldest going first.
  static constexpr size_t kMaxStateBytes = 1024 * 1024;
  static constexpr size_t kMaxEventBytes = 256 * 1024;

  // `token` goes with the page; an action without it is refused. `keyed`: the gateway holds
  // the house's key, so that a computer that does not sign is worth a mark on its card.
  WebFace(NodeDirectory& nodes, const GatewayConfig& config, EventLoop& loop, std::string token,
          NodeDirectory::Say say, bool keyed = false);

  // Whether the request names this page in its Host header; every other is answered 421
  // and nothing else, whatever its path: a page of another site whose name now leads here
  // must not read the state or the token.
  bool ServesHost(const HttpRequest& request) const;
  // Every route but the event stream, which the server keeps open itself.
  HttpResponse Handle(const HttpRequest& request);
  // All nodes, their programs and recent events, as the page and /api/nodes show them; the
  // computers that answer first, and no more than kMaxStateBytes ("left_out" counts the rest).
  std::string StateJson() const;
  // `changed` runs when the state changes, at once or, within a quarter second of the last
  // time, at its end: the streams get the state then.
  void OnChange(std::function<void()> changed) { changed_ = std::move(changed); }

  void NodeChanged(const NodeState& node) override;
  void ProgramReported(const NodeState& node, const ProgramState& program) override;
  void FiguresReported(const NodeState& node) override;
  void NodeEvent(const NodeState& node, const std::string& text) override;
  void NodeForgotten(const NodeState& node) override;

 private:
  HttpResponse Action(const HttpRequest& request);
  // A program's last lines, asked of its node anew while the page asks.
  HttpResponse Log(const HttpRequest& request);
  // The token of this page's script, from this page's own origin.
  bool FromThePage(const HttpRequest& request) const;
  // The answer to an action, as far as it went; `action` names it, or says why it failed.
  HttpResponse Answer(NodeDirectory::Sent sent, const NodeState& node,
                      const std::string& action) const;
  void Changed();
  void Send();

  NodeDirectory& nodes_;
  const GatewayConfig& config_;
  EventLoop& loop_;
  std::string token_;
  bool keyed_;
  NodeDirectory::Say say_;
  std::function<void()> changed_;
  std::unique_ptr<Timer> coalesce_;
  int64_t last_sent_ms_ = -1000000;
  // Newest first, by the lower-cased computer name.
  std::map<std::string, std::deque<std::pair<int64_t, std::string>>> events_;
  size_t event_bytes_ = 0;
};

}  // namespace varnix
