#include "status/status_server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "console/console.h"
#include "status/http.h"

namespace eventid {
namespace {

constexpr char kText[] = "text/plain; charset=utf-8";

}  // namespace

std::string status_answer(std::string_view head, const StatusSources& sources) {
  const std::optional<Request> r = parse_request_head(head);
  if (!r) return http_response(400, kText, "bad request\n", true);
  const bool with_body = r->method != "HEAD";
  if (r->method != "GET" && with_body) return http_response(405, kText, "GET or HEAD\n", true);
  if (r->path == "/metrics") {
    return http_response(200, "text/plain; version=0.0.4; charset=utf-8",
                         metrics_text(gather_status(sources)), with_body);
  }
  if (r->path == "/status") {
    return http_response(200, "application/json", status_json(gather_status(sources)), with_body);
  }
  return http_response(404, kText, "not found: /metrics or /status\n", with_body);
}

net::Socket open_status_listener(const net::Endpoint& where, int socket_mode) {
  net::Socket s = open_listener_for("main() status", where, socket_mode);
  net::Endpoint bound;
  if (!s.valid()) return s;
  if (!net::local_endpoint(s, &bound)) {
    report_error("main() status getsockname failed: %s\r\n", net::last_error());
    return net::Socket();
  }
  console_out("Status on %s\r\n", net::endpoint_text(bound).c_str());
  return s;
}

class StatusServer::Impl final : public ListenerHandler {
  static constexpr std::size_t kPlaces = kMostStatusClients;

 public:
  Impl(EventLoop& loop, const net::Socket& listener, StatusSources sources, Acceptor accept)
      : loop_(loop), sources_(std::move(sources)) {
    loop_.add_listener(listener, *this, std::move(accept));
  }

  // A free place each, or one taken from a connection that can give it up.
  std::size_t room() override {
    if (held_ < kPlaces) return kPlaces - held_;
    return yielding() ? 1 : 0;
  }

  void on_client(net::Socket socket, const net::Endpoint&) override {
    if (held_ == kPlaces) release(*yielding());
    net::set_nonblocking(socket, true);
    auto& slot = *std::find(clients_.begin(), clients_.end(), nullptr);
    slot = std::make_unique<StatusClient>(*this, std::move(socket), loop_.now());
    ++held_;
  }

 private:
  enum class Phase { kHead, kAnswering, kDraining };

  // One connection: its request head as it comes, its answer as it goes, then what it still
  // sends until it closes.
  struct StatusClient final : ReadyHandler {
    StatusClient(Impl& server, net::Socket s, std::int64_t now)
        : server(server),
          socket(std::move(s)),
          came_us(now),
          watch(server.loop_, socket, net::kReadable, *this),
          due(server.loop_, [this] { this->server.release(*this); }) {
      due.arm(came_us + kStatusHeadTimeoutUs);
    }
    void on_ready(unsigned) override { server.on_event(*this); }

    Impl& server;
    net::Socket socket;
    const std::int64_t came_us;
    EventLoop::Watch watch;  // ends before the socket closes
    EventLoop::Timer due;
    Phase phase = Phase::kHead;
    std::string received;
    std::string answer;
    std::size_t sent = 0;
    std::size_t drained = 0;
  };

  // The connection to give its place up to a newcomer: one draining, or else the one that has
  // waited longest for its head; none when every place is answering.
  StatusClient* yielding() const {
    StatusClient* head = nullptr;
    for (const auto& c : clients_) {
      if (!c) continue;
      if (c->phase == Phase::kDraining) return c.get();
      if (c->phase == Phase::kHead && (!head || c->came_us < head->came_us)) head = c.get();
    }
    return head;
  }

  void on_event(StatusClient& c) {
    switch (c.phase) {
      case Phase::kHead:
        return receive_head(c);
      case Phase::kAnswering:
        return send_rest(c);
      case Phase::kDraining:
        return drain(c);
    }
  }

  void receive_head(StatusClient& c) {
    char buf[2048];
    const long n = net::receive_some(c.socket, buf, sizeof buf);
    if (n == 0 || (n < 0 && !net::would_block(net::last_error()))) return release(c);
    if (n < 0) return;
    c.received.append(buf, static_cast<std::size_t>(n));
    const std::size_t head = request_head_length(c.received);
    if (head > 0 && head <= kMostRequestHead) {
      c.answer = status_answer(std::string_view(c.received).substr(0, head), sources_);
    } else if (c.received.size() > kMostRequestHead) {
      c.answer = status_answer({}, sources_);  // too long: a bad request
    } else {
      return;
    }
    c.received = {};
    c.phase = Phase::kAnswering;
    c.due.arm(c.came_us + kStatusTimeoutUs);
    c.watch.want(net::kWritable);
    send_rest(c);
  }

  void send_rest(StatusClient& c) {
    const long n = net::send_some(c.socket, c.answer.data() + c.sent, c.answer.size() - c.sent);
    if (n < 0 && !net::would_block(net::last_error())) return release(c);
    if (n > 0) c.sent += static_cast<std::size_t>(n);
    if (c.sent < c.answer.size()) return;
    // Answered: the client reads the end of the stream after the answer, and closes.
    net::shutdown_sending(c.socket);
    c.phase = Phase::kDraining;
    c.due.arm(loop_.now() + kStatusDrainUs);
    c.watch.want(net::kReadable);
  }

  void drain(StatusClient& c) {
    char buf[4096];
    const long n = net::receive_some(c.socket, buf, sizeof buf);
    if (n < 0 && net::would_block(net::last_error())) return;
    if (n > 0) c.drained += static_cast<std::size_t>(n);
    if (n <= 0 || c.drained >= kMostStatusDrain) release(c);
  }

  void release(StatusClient& c) {
    auto slot = std::find_if(clients_.begin(), clients_.end(),
                             [&](const auto& held) { return held.get() == &c; });
    slot->reset();
    --held_;
  }

  EventLoop& loop_;
  const StatusSources sources_;
  std::array<std::unique_ptr<StatusClient>, kMostStatusClients> clients_;
  std::size_t held_ = 0;
};

StatusServer::StatusServer(EventLoop& loop, const net::Socket& listener, StatusSources sources,
                           Acceptor accept)
    : impl_(std::make_unique<Impl>(loop, listener, std::move(sources), std::move(accept))) {}
StatusServer::~StatusServer() = default;

void serve_status(const net::Socket& listener, const StatusSources& sources) {
  EventLoop loop("main() status", sources.clock);
  const StatusServer server(loop, listener, sources);
  loop.run();
}

}  // namespace eventid
