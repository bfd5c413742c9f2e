// HttpServer: requests read whole (bounded), answered through WebFace, with the security
// headers on every answer; the event streams are suspended while they have nothing to send.
#include "gateway/http_server.h"

#include <microhttpd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/text.h"
#include "gateway/gzip_stream.h"
#include "platform/crypto.h"
#include "platform/error.h"
#include "platform/tcp_listener.h"

namespace varnix {
namespace {

constexpr char kSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

void AddSecurityHeaders(MHD_Response* response) {
  MHD_add_response_header(response, "Content-Security-Policy", kSecurityPolicy);
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "X-Frame-Options", "DENY");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  MHD_add_response_header(response, "Cache-Control", "no-store");
}

}  // namespace

// One open connection, as far as the deadlines and the reserved room need it.
struct HttpServer::Connection {
  intptr_t socket;
  std::string address;
  bool local_or_trusted;
  int64_t waiting_since_ms;  // when its current request began
  bool answered = false;     // its request is whole and answered (a stream stays so)
  bool ended = false;
};

// What a request has brought so far: its body arrives in pieces.
struct HttpServer::Request {
  std::string body;
  bool too_large = false;
};

// One open /events stream and what it has yet to send, compressed when the reader takes it.
struct HttpServer::Stream {
  HttpServer* server;
  MHD_Connection* connection;
  std::unique_ptr<GzipStream> gzip;
  std::string pending;
  bool suspended = false;
  bool ending = false;  // fallen too far behind: ended, so that its page connects afresh

  void Add(const std::string& event) { pending += gzip ? gzip->Write(event) : event; }
};

// The library calls these with its own types; they hand over to the server.
struct HttpServer::Callbacks {
  static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url,
                              const char* method, const char*, const char* upload,
                              size_t* upload_size, void** context) {
    auto& server = *static_cast<HttpServer*>(self);
    if (*context == nullptr) {
      *context = new Request;
      return MHD_YES;
    }
    auto& request = *static_cast<Request*>(*context);
    if (*upload_size != 0) {
      if (request.body.size() + *upload_size > WebFace::kMaxBodyBytes) {
        request.too_large = true;
      } else {
        request.body.append(upload, *upload_size);
      }
      *upload_size = 0;
      return MHD_YES;
    }
    HttpRequest whole;
    whole.method = method;
    whole.path = url;
    whole.body = std::move(request.body);
    if (request.too_large) whole.body.assign(WebFace::kMaxBodyBytes + 1, ' ');
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &AddHeader, &whole);
    if (Connection* open = Of(connection)) open->answered = true;
    // Two Host headers name two sites: which one the checks read would be a guess.
    int hosts = 0;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &CountHosts, &hosts);
    if (hosts > 1) return server.Refuse(connection, 400, "Two Host headers.\n") ? MHD_YES : MHD_NO;
    return server.Answer(connection, whole) ? MHD_YES : MHD_NO;
  }

  static MHD_Result CountHosts(void* into, MHD_ValueKind, const char* name, const char*) {
    if (EqualsIgnoringCase(name, "host")) ++*static_cast<int*>(into);
    return MHD_YES;
  }

  static MHD_Result AddHeader(void* into, MHD_ValueKind, const char* name, const char* value) {
    static_cast<HttpRequest*>(into)->headers[LowerCase(name)] = value != nullptr ? value : "";
    return MHD_YES;
  }

  static void OnCompleted(void* self, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode) {
    delete static_cast<Request*>(*context);
    *context = nullptr;
    // Kept alive, its next request has a deadline of its own.
    if (Connection* open = Of(connection)) {
      auto& server = *static_cast<HttpServer*>(self);
      open->answered = false;
      open->waiting_since_ms = server.loop_.NowMilliseconds();
      if (!server.deadline_timer_->Enabled()) server.deadline_timer_->SetEnabled(true);
    }
  }

  static Connection* Of(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info == nullptr ? nullptr : static_cast<Connection*>(info->socket_context);
  }

  static void OnConnection(void* self, MHD_Connection* connection, void** socket_context,
                           MHD_ConnectionNotificationCode code) {
    auto& server = *static_cast<HttpServer*>(self);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* fd =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      const MHD_ConnectionInfo* peer =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      const std::string address = peer != nullptr ? AddressText(peer->client_addr) : "";
      auto* open = new Connection{fd != nullptr ? static_cast<intptr_t>(fd->connect_fd) : -1,
                                  address, false, server.loop_.NowMilliseconds()};
      open->local_or_trusted = IsLocal(address) || server.trusted_.count(address) != 0;
      *socket_context = open;
      server.connections_.insert(open);
      if (!server.deadline_timer_->Enabled()) server.deadline_timer_->SetEnabled(true);
    } else {
      auto* open = static_cast<Connection*>(*socket_context);
      server.connections_.erase(open);
      delete open;
      *socket_context = nullptr;
    }
  }

  static MHD_Result OnAccept(void* self, const sockaddr* address, socklen_t) {
    return static_cast<HttpServer*>(self)->Admits(AddressText(address)) ? MHD_YES : MHD_NO;
  }

  static bool IsLocal(const std::string& address) {
    return address.rfind("127.", 0) == 0 || address == "::1" ||
           address.rfind("::ffff:127.", 0) == 0;
  }

  static ssize_t OnStreamRead(void* cls, uint64_t, char* buffer, size_t max) {
    auto& stream = *static_cast<Stream*>(cls);
    if (stream.server == nullptr || stream.ending) return MHD_CONTENT_READER_END_OF_STREAM;
    if (stream.pending.empty()) {
      // Nothing to say: parked until Broadcast has something.
      stream.suspended = true;
      MHD_suspend_connection(stream.connection);
      return 0;
    }
    const size_t size = std::min(max, stream.pending.size());
    std::memcpy(buffer, stream.pending.data(), size);
    stream.pending.erase(0, size);
    return static_cast<ssize_t>(size);
  }

  static void OnStreamEnd(void* cls) {
    auto* stream = static_cast<Stream*>(cls);
    if (stream->server != nullptr) stream->server->streams_.remove(stream);
    delete stream;
  }
};

void HttpServer::DaemonStopper::operator()(MHD_Daemon* daemon) const { MHD_stop_daemon(daemon); }

HttpServer::HttpServer(EventLoop& loop, WebFace& face, Options options)
    : loop_(loop), face_(face), options_(std::move(options)) {
  const intptr_t listener = OpenTcpListener(options_.address, options_.port, 32);
  unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
  if (!options_.certificate_pem.empty()) flags |= MHD_USE_TLS;
  // HTTPS, when asked for, as options of their own; the list ends either way.
  std::vector<MHD_OptionItem> tls;
  if (!options_.certificate_pem.empty()) {
    tls.push_back(
        {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(options_.certificate_pem.c_str())});
    tls.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(options_.key_pem.c_str())});
  }
  if (!options_.certificate_pem.empty()) {
    tls.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)});
  }
  tls.push_back({MHD_OPTION_END, 0, nullptr});
  // The library takes the listening socket and closes it when it stops.
  deadline_timer_ = loop_.CreateTimer([this] { EnforceDeadlines(); });
  deadline_timer_->SetInterval(1000);
  daemon_.reset(MHD_start_daemon(
      flags, 0, &Callbacks::OnAccept, this, &Callbacks::OnRequest, this, MHD_OPTION_LISTEN_SOCKET,
      static_cast<MHD_socket>(listener), MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxConnectionsPerAddress, MHD_OPTION_CONNECTION_TIMEOUT,
      kIdleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
      MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::OnCompleted, this, MHD_OPTION_NOTIFY_CONNECTION,
      &Callbacks::OnConnection, this, MHD_OPTION_ARRAY, tls.data(), MHD_OPTION_END));
  if (!daemon_) {
    throw Error(EINVAL,
                "the web server did not start on " + options_.address + ":" +
                    std::to_string(options_.port) +
                    (options_.certificate_pem.empty() ? "" : " (is the certificate valid?)"));
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_.get(), MHD_DAEMON_INFO_EPOLL_FD);
  watch_ = loop_.WatchSocket(info->epoll_fd, [this](bool, bool) { Run(); });
  timer_ = loop_.CreateTimer([this] { Run(); });
  Run();
}

HttpServer::~HttpServer() {
  // The library stops only without parked connections: each stream is woken to end, and
  // its end callback must not find a half-gone server.
  for (Stream* stream : streams_) {
    stream->server = nullptr;
    if (stream->suspended) MHD_resume_connection(stream->connection);
  }
  streams_.clear();
  MHD_run(daemon_.get());
  watch_.reset();
  daemon_.reset();
}

void HttpServer::Run() {
  MHD_run(daemon_.get());
  MHD_UNSIGNED_LONG_LONG wait = 0;
  timer_->SetEnabled(false);
  if (MHD_get_timeout(daemon_.get(), &wait) == MHD_YES) {
    timer_->SetInterval(static_cast<int>(std::clamp<MHD_UNSIGNED_LONG_LONG>(wait, 1, 60000)));
    timer_->SetEnabled(true);
  }
}

void HttpServer::Broadcast(const std::string& data) {
  std::string event = "data: " + data + "\n\n";
  for (Stream* stream : streams_) {
    // A reader that does not keep up is ended rather than sent half an event (or a broken
    // gzip stream); its page connects again after the retry and gets the whole state.
    if (stream->pending.size() + event.size() > kMaxStreamBacklog) {
      stream->ending = true;
      stream->pending.clear();
    } else if (!stream->ending) {
      stream->Add(event);
    }
    if (stream->suspended) {
      stream->suspended = false;
      MHD_resume_connection(stream->connection);
    }
  }
  Run();
}

bool HttpServer::Admits(const std::string& address) const {
  if (connections_.size() >= kMaxConnections) return false;
  if (Callbacks::IsLocal(address) || trusted_.count(address) != 0) return true;
  const auto strangers = static_cast<size_t>(
      std::count_if(connections_.begin(), connections_.end(),
                    [](const Connection* open) { return !open->local_or_trusted; }));
  // A few addresses must not fill the strangers' room between them.
  const auto from_it = static_cast<size_t>(
      std::count_if(connections_.begin(), connections_.end(),
                    [&](const Connection* open) { return open->address == address; }));
  return strangers < kMaxConnections - kReservedConnections && from_it < kMaxConnectionsPerStranger;
}

void HttpServer::EnforceDeadlines() {
  const int64_t now = loop_.NowMilliseconds();
  bool waiting = false;
  for (Connection* open : connections_) {
    if (open->answered || open->ended) continue;
    if (now - open->waiting_since_ms >= kRequestDeadlineMs && open->socket >= 0) {
      open->ended = true;
      EndConnection(open->socket);
    } else {
      waiting = true;
    }
  }
  if (!waiting) deadline_timer_->SetEnabled(false);
  Run();
}

bool HttpServer::Authorized(MHD_Connection* connection) {
  if (options_.users.empty()) return true;
  char* password = nullptr;
  char* user = MHD_basic_auth_get_username_password(connection, &password);
  bool good = false;
  if (user != nullptr && password != nullptr) {
    const auto found = options_.users.find(user);
    good = found != options_.users.end() && EqualInConstantTime(found->second, password);
  }
  MHD_free(user);
  MHD_free(password);
  // An address that has given the password keeps its room when strangers crowd the server.
  if (good && trusted_.size() < kMaxConnections) {
    const MHD_ConnectionInfo* peer =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (peer != nullptr) trusted_.insert(AddressText(peer->client_addr));
  }
  return good;
}

bool HttpServer::Refuse(MHD_Connection* connection, unsigned status, const char* text) {
  MHD_Response* response = MHD_create_response_from_buffer(
      std::strlen(text), const_cast<char*>(text), MHD_RESPMEM_PERSISTENT);
  AddSecurityHeaders(response);
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued == MHD_YES;
}

bool HttpServer::Answer(MHD_Connection* connection, const HttpRequest& request) {
  // Before anything else, the event stream too: a name this page does not answer to gets
  // nothing, not even the request for a password.
  if (!face_.ServesHost(request)) {
    return Refuse(connection, 421, "This page does not answer to that name.\n");
  }
  if (!Authorized(connection)) {
    static constexpr char kDenied[] = "This page needs a user name and password.\n";
    MHD_Response* response = MHD_create_response_from_buffer(
        sizeof kDenied - 1, const_cast<char*>(kDenied), MHD_RESPMEM_PERSISTENT);
    AddSecurityHeaders(response);
    const MHD_Result queued = MHD_queue_basic_auth_fail_response(connection, "Varnix", response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
  }
  const auto accept = request.headers.find("accept-encoding");
  const bool gzip = accept != request.headers.end() && GzipStream::Accepted(accept->second);
  if (request.path == "/events" && request.method == "GET") {
    auto* stream =
        new Stream{this, connection, gzip ? std::make_unique<GzipStream>() : nullptr, {}};
    stream->Add("retry: 3000\ndata: " + face_.StateJson() + "\n\n");
    MHD_Response* response = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, 4096, &Callbacks::OnStreamRead, stream, &Callbacks::OnStreamEnd);
    streams_.push_back(stream);
    MHD_add_response_header(response, "Content-Type", "text/event-stream");
    if (gzip) MHD_add_response_header(response, "Content-Encoding", "gzip");
    AddSecurityHeaders(response);
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
  }
  HttpResponse answer = face_.Handle(request);
  // Short answers gain nothing from it; the page, its script and the state shrink several times.
  const bool compress = gzip && answer.body.size() >= kCompressFrom;
  if (compress) answer.body = GzipStream::Whole(answer.body);
  MHD_Response* response = MHD_create_response_from_buffer(
      answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
  MHD_add_response_header(response, "Content-Type", answer.content_type.c_str());
  MHD_add_response_header(response, "Vary", "Accept-Encoding");
  if (compress) MHD_add_response_header(response, "Content-Encoding", "gzip");
  AddSecurityHeaders(response);
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
  MHD_destroy_response(response);
  return queued == MHD_YES;
}

}  // namespace varnix
