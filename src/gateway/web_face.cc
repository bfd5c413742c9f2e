// WebFace: the state as JSON, built with nlohmann-json, and actions checked like MQTT's.
#include "gateway/web_face.h"

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>
#include <vector>

#include "core/text.h"
#include "gateway/web_page.h"

namespace varnix {
namespace {

using Json = nlohmann::json;

// A change goes out at once, unless one went out less than this ago: a node's pass of many
// reports becomes one event, and a lone report is on the page at once.
constexpr int64_t kCoalesceMs = 250;

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json Figure(const std::string& text) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return nullptr;
  return value;
}

HttpResponse JsonAnswer(int status, const Json& body) {
  return {status, "application/json", Dump(body)};
}

HttpResponse Refusal(int status, const std::string& why) {
  return JsonAnswer(status, Json{{"error", why}});
}

constexpr const char* kComputerActions[] = {"shutdown", "reboot", "sleep",    "hibernate",
                                            "lock",     "logoff", "screenoff"};

}  // namespace

std::string HttpRequest::Header(const std::string& lower_name) const {
  const auto found = headers.find(lower_name);
  return found == headers.end() ? "" : found->second;
}

WebFace::WebFace(NodeDirectory& nodes, const GatewayConfig& config, EventLoop& loop,
                 std::string token, NodeDirectory::Say say, bool keyed)
    : nodes_(nodes),
      config_(config),
      loop_(loop),
      token_(std::move(token)),
      keyed_(keyed),
      say_(std::move(say)) {
  coalesce_ = loop_.CreateTimer([this] {
    coalesce_->SetEnabled(false);
    Send();
  });
}

void WebFace::Send() {
  last_sent_ms_ = loop_.NowMilliseconds();
  if (changed_) changed_();
}

void WebFace::Changed() {
  if (coalesce_->Enabled()) return;
  const int64_t since = loop_.NowMilliseconds() - last_sent_ms_;
  if (since >= kCoalesceMs) {
    Send();
    return;
  }
  coalesce_->SetInterval(static_cast<int>(kCoalesceMs - since));
  coalesce_->SetEnabled(true);
}

void WebFace::NodeChanged(const NodeState&) { Changed(); }

void WebFace::ProgramReported(const NodeState&, const ProgramState&) { Changed(); }

void WebFace::FiguresReported(const NodeState&) { Changed(); }

void WebFace::NodeEvent(const NodeState& node, const std::string& text) {
  // The node's word that it has started says nothing a person needs: "online" says it.
  if (NodeDirectory::StartupNotice(text)) return;
  auto& list = events_[LowerCase(node.computer)];
  list.emplace_front(loop_.NowMilliseconds(), text);
  event_bytes_ += text.size();
  if (list.size() > kEventsPerNode) {
    event_bytes_ -= list.back().second.size();
    list.pop_back();
  }
  // Over the share, the oldest event of any node goes first.
  while (event_bytes_ > kMaxEventBytes) {
    auto oldest = events_.end();
    for (auto it = events_.begin(); it != events_.end(); ++it) {
      if (!it->second.empty() &&
          (oldest == events_.end() || it->second.back().first < oldest->second.back().first)) {
        oldest = it;
      }
    }
    if (oldest == events_.end()) break;
    event_bytes_ -= oldest->second.back().second.size();
    oldest->second.pop_back();
    if (oldest->second.empty()) events_.erase(oldest);
  }
  Changed();
}

void WebFace::NodeForgotten(const NodeState& node) {
  if (const auto found = events_.find(LowerCase(node.computer)); found != events_.end()) {
    for (const auto& event : found->second) event_bytes_ -= event.second.size();
    events_.erase(found);
  }
  Changed();
}

bool WebFace::ServesHost(const HttpRequest& request) const {
  return config_.web.AnswersTo(request.Header("host"));
}

std::string WebFace::StateJson() const {
  const int64_t now = loop_.NowMilliseconds();
  // Computers that answer echoes first: a flood of made-up names is what gets left out.
  std::vector<const std::pair<const std::string, NodeState>*> order;
  order.reserve(nodes_.nodes().size());
  for (const auto& entry : nodes_.nodes()) order.push_back(&entry);
  std::stable_partition(order.begin(), order.end(),
                        [](const auto* entry) { return entry->second.answered; });
  std::string nodes;
  size_t left_out = 0;
  for (const auto* entry : order) {
    // Named, not bound: a lambda below reads it, which clang 14 allows only of a variable.
    const std::string& key = entry->first;
    const NodeState& node = entry->second;
    Json programs = Json::array();
    const auto configured = [&](const std::string& path) -> const ProgramConfig* {
      for (const ProgramConfig& program : node.offered) {
        if (EqualsIgnoringCase(program.path, path)) return &program;
      }
      return nullptr;
    };
    // What a program does not have is left out, not written as null: the state goes to every
    // open page at each change, and fifty computers' worth adds up.
    const auto row = [](const std::string& path, const ProgramConfig* program) {
      Json fields{{"path", path}};
      if (program != nullptr) {
        fields["configured"] = program->id;
        fields["name"] = program->name;
      }
      return fields;
    };
    const auto put = [](Json& fields, const char* name, Json value) {
      if (!value.is_null()) fields[name] = std::move(value);
    };
    for (const auto& [path_key, program] : node.programs) {
      Json fields = row(program.path, configured(program.path));
      put(fields, "title", program.title.empty() ? Json(nullptr) : Json(program.title));
      put(fields, "pid", program.Running() ? Figure(program.pid) : Json(nullptr));
      put(fields, "priority", program.priority.empty() ? Json(nullptr) : Json(program.priority));
      put(fields, "cpu", Figure(program.cpu));
      put(fields, "memory", Figure(program.ram));
      put(fields, "running_time", Figure(program.elapsed));
      put(fields, "exit_code", Figure(program.exit_code));
      put(fields, "signal", program.signal.empty() ? Json(nullptr) : Json(program.signal));
      if (program.forced) fields["forced"] = true;
      if (program.gave_up) {
        fields["gave_up"] = true;
        put(fields, "last_end", program.last_end.empty() ? Json(nullptr) : Json(program.last_end));
      }
      programs.push_back(std::move(fields));
    }
    // A configured program the node has not reported yet still gets its row and buttons.
    for (const ProgramConfig& program : node.offered) {
      if (node.Program(program.path) == nullptr) programs.push_back(row(program.path, &program));
    }
    Json events = Json::array();
    if (const auto found = events_.find(key); found != events_.end()) {
      for (const auto& [at, text] : found->second) {
        events.push_back({{"age_s", (now - at) / 1000}, {"text", text}});
      }
    }
    Json figures = Json::object();
    const auto figure = [&](const char* name, const std::optional<uint64_t>& value) {
      if (value) figures[name] = *value;
    };
    figure("cpu", node.figures.cpu);
    figure("memory_percent", node.figures.MemoryPercent());
    figure("memory_used", node.figures.memory_used);
    figure("memory_total", node.figures.memory_total);
    figure("disk_free", node.figures.disk_free);
    figure("booted", node.figures.booted);
    if (node.figures.cpu_temperature) figures["cpu_temperature"] = *node.figures.cpu_temperature;
    if (node.figures.user) figures["user"] = *node.figures.user;
    if (node.figures.locked) figures["locked"] = *node.figures.locked;
    figure("idle_seconds", node.figures.idle_seconds);
    if (!node.figures.presence_problem.empty()) {
      figures["presence_problem"] = node.figures.presence_problem;
    }
    const std::string one =
        Dump({{"computer", node.computer},
              {"address", node.address},
              {"wakeable", !node.mac.empty()},
              {"figures", std::move(figures)},
              {"online", node.online},
              {"verified", node.verified},
              {"last_heard_s",
               node.last_heard_ms == 0 ? Json(nullptr) : Json((now - node.last_heard_ms) / 1000)},
              {"programs", std::move(programs)},
              {"events", std::move(events)}});
    if (nodes.size() + one.size() + 64 > kMaxStateBytes) {
      ++left_out;
      continue;
    }
    if (!nodes.empty()) nodes += ',';
    nodes += one;
  }
  return "{\"nodes\":[" + nodes + "],\"left_out\":" + std::to_string(left_out) +
         ",\"keyed\":" + (keyed_ ? "true" : "false") + "}";
}

HttpResponse WebFace::Handle(const HttpRequest& request) {
  if (!ServesHost(request)) return Refusal(421, "this page does not answer to that name");
  const bool get = request.method == "GET" || request.method == "HEAD";
  if (request.path == "/api/action") {
    if (request.method != "POST") return Refusal(405, "actions are POSTs");
    return Action(request);
  }
  if (request.path == "/api/log") {
    if (request.method != "POST") return Refusal(405, "a log is asked for with a POST");
    return Log(request);
  }
  // A GET never changes anything; nothing else takes a POST.
  if (!get) return Refusal(405, "only GET here");
  if (request.path == "/") {
    std::string page = kPageHtml;
    page.replace(page.find("{{TOKEN}}"), 9, token_);
    return {200, "text/html; charset=utf-8", page};
  }
  if (request.path == "/app.css") return {200, "text/css; charset=utf-8", kPageCss};
  if (request.path == "/app.js") return {200, "text/javascript; charset=utf-8", kPageJs};
  if (request.path == "/api/nodes") return {200, "application/json", StateJson()};
  return Refusal(404, "no such page");
}

bool WebFace::FromThePage(const HttpRequest& request) const {
  // Another site's page may make the browser POST here; it cannot read the token, nor send
  // the header without this server's leave.
  const std::string origin = request.Header("origin");
  const std::string host = request.Header("host");
  const bool same_origin =
      origin.empty() || origin == "http://" + host || origin == "https://" + host;
  return request.Header("x-varnix-token") == token_ && same_origin;
}

HttpResponse WebFace::Log(const HttpRequest& request) {
  // What programs say may hold their secrets: for this page only, as its actions are.
  if (!FromThePage(request)) return Refusal(403, "not from this gateway's page");
  if (request.body.size() > kMaxBodyBytes) return Refusal(413, "too large");
  const Json body = Json::parse(request.body, nullptr, false);
  if (!body.is_object() || !body.contains("computer") || !body["computer"].is_string() ||
      !body.contains("path") || !body["path"].is_string()) {
    return Refusal(400, "a log is asked for as {\"computer\", \"path\"}");
  }
  const NodeLogs::View* view =
      nodes_.Log(body["computer"].get<std::string>(), body["path"].get<std::string>());
  if (view == nullptr) return Refusal(404, "no such program on a computer that answers");
  // As the node told them; Dump makes any bytes that are no UTF-8 valid, and the page shows
  // them as text.
  Json lines = Json::array();
  for (const std::string& line : view->lines) lines.push_back(line);
  return JsonAnswer(200, Json{{"answered", view->answered}, {"lines", std::move(lines)}});
}

HttpResponse WebFace::Action(const HttpRequest& request) {
  if (!FromThePage(request)) return Refusal(403, "not from this gateway's page");
  if (request.body.size() > kMaxBodyBytes) return Refusal(413, "too large");
  const Json body = Json::parse(request.body, nullptr, false);
  if (!body.is_object() || !body.contains("computer") || !body["computer"].is_string() ||
      !body.contains("action") || !body["action"].is_string()) {
    return Refusal(400,
                   "an action is {\"computer\", \"action\"[, \"program\"]}, or a notice "
                   "{\"computer\", \"action\": \"notice\", \"text\"[, \"title\", \"actions\"]}");
  }
  const std::string computer = body["computer"];
  const std::string action = LowerCase(body["action"].get<std::string>());
  const NodeState* node = nodes_.Find(computer);
  if (node == nullptr) return Refusal(404, "no such computer");
  const std::string program_id = body.contains("program") && body["program"].is_string()
                                     ? body["program"].get<std::string>()
                                     : "";
  if (program_id.empty() && action == "wake") {
    say_("the web page asks to wake " + node->computer);
    std::string said;
    return Answer(nodes_.Wake(node->computer, &said), *node, said);
  }
  if (program_id.empty() && action == "notice") {
    const auto text = [&](const char* name) {
      return body.contains(name) && body[name].is_string() ? body[name].get<std::string>() : "";
    };
    say_("the web page sends a notice to " + node->computer);
    return Answer(nodes_.Notify(node->computer, {text("text"), text("title"), text("actions"), ""}),
                  *node, "notice");
  }
  if (program_id.empty()) {
    if (std::none_of(std::begin(kComputerActions), std::end(kComputerActions),
                     [&](const char* known) { return action == known; })) {
      return Refusal(400, "not a computer action");
    }
    say_("the web page asks " + node->computer + " to " + action);
    return Answer(nodes_.ControlComputer(node->computer, action), *node, action);
  }
  const auto program = std::find_if(node->offered.begin(), node->offered.end(),
                                    [&](const ProgramConfig& p) { return p.id == program_id; });
  if (program == node->offered.end()) return Refusal(404, "no such configured program");
  if (action == "start" || action == "restart") {
    return Answer(nodes_.StartProgram(node->computer, *program, action == "restart"), *node,
                  action + " of " + program->name);
  }
  if (action == "stop") {
    return Answer(nodes_.StopProgram(node->computer, *program), *node, "stop of " + program->name);
  }
  return Refusal(400, "not a program action");
}

HttpResponse WebFace::Answer(NodeDirectory::Sent sent, const NodeState& node,
                             const std::string& action) const {
  switch (sent) {
    case NodeDirectory::Sent::kSent:
      return JsonAnswer(202, Json{{"ok", true}});
    case NodeDirectory::Sent::kOffline:
      return Refusal(409, node.computer + " is offline: " + action + " not sent");
    case NodeDirectory::Sent::kFailed:
      return Refusal(409, action);
    case NodeDirectory::Sent::kUnknown:
      break;
  }
  return Refusal(404, "no such computer");
}

}  // namespace varnix
