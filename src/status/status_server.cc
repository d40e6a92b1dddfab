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

constexpr std::uint64_t kListenerKey = net::kWakeKey - 1;
constexpr char kText[] = "text/plain; charset=utf-8";

// One connection: its request head as it comes, then its answer as it goes.
struct StatusClient {
  net::Socket socket;
  std::int64_t deadline_us = 0;
  std::string received;
  std::string answer;  // once the head is whole, or too long
  std::size_t sent = 0;
  unsigned registered = net::kReadable;
};

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

net::Socket open_status_listener(const net::Endpoint& where) {
  net::Socket s = net::open_tcp4();
  const char* step = "socket";
  if (s.valid()) step = !net::set_listener_address_option(s) ? "setsockopt" : nullptr;
  if (!step) step = !net::bind_to(s, where) ? "bind" : nullptr;
  if (!step) step = !net::listen_on(s, net::longest_backlog()) ? "listen" : nullptr;
  net::Endpoint bound;
  if (!step && net::local_endpoint(s, &bound)) {
    console_out("Status on %s:%u\r\n", net::address_text(bound.address).c_str(),
                static_cast<unsigned>(bound.port));
    return s;
  }
  const std::string why = net::error_text(net::last_error());
  console_err("main() status %s failed: %s\r\n", step ? step : "getsockname", why.c_str());
  return net::Socket();
}

class StatusServer::Loop {
 public:
  Loop(const net::Socket& listener, StatusSources sources)
      : listener_(listener), sources_(std::move(sources)) {}

  void run() {
    net::set_nonblocking(listener_, true);
    if (!poller_.ok() || !poller_.add(listener_, net::kReadable, kListenerKey)) return;
    std::vector<net::Poller::Event> events;
    while (!stopping_) {
      watch_listener();
      poller_.wait(&events, timeout_ms());
      bool waiting = false;  // clients in the listen queue
      for (const net::Poller::Event& e : events) {
        if (e.key == kListenerKey) {
          waiting = true;
        } else if (StatusClient* c = clients_[e.key].get()) {
          c->answer.empty() ? receive(*c) : send_rest(*c);
        }
      }
      drop_overdue();
      // Only now: none of this turn's events may name a slot that a new client has taken.
      if (waiting) accept_all();
    }
  }

  void stop() {
    stopping_ = true;
    poller_.wake();
  }
  void wake() { poller_.wake(); }

 private:
  std::size_t held() const {
    return static_cast<std::size_t>(
        std::count_if(clients_.begin(), clients_.end(), [](auto& c) { return c != nullptr; }));
  }

  void watch_listener() {
    const bool wanted = held() < clients_.size();
    if (wanted == watching_listener_) return;
    poller_.change(listener_, wanted ? net::kReadable : 0u, kListenerKey);
    watching_listener_ = wanted;
  }

  int timeout_ms() {
    std::optional<std::int64_t> next;
    for (const auto& c : clients_) {
      if (c) next = std::min(next.value_or(c->deadline_us), c->deadline_us);
    }
    if (!next) return -1;
    const std::int64_t wait_us = std::max<std::int64_t>(0, *next - sources_.clock());
    return static_cast<int>((wait_us + 999) / 1000);
  }

  void accept_all() {
    for (std::size_t slot = 0; slot < clients_.size(); ++slot) {
      if (clients_[slot]) continue;
      net::Endpoint peer;
      net::Socket s = net::accept_client(listener_, &peer);
      if (!s.valid()) return;  // none waiting, or one that failed: the next turn will tell
      net::set_nonblocking(s, true);
      auto c = std::make_unique<StatusClient>();
      c->socket = std::move(s);
      c->deadline_us = sources_.clock() + kStatusTimeoutUs;
      poller_.add(c->socket, net::kReadable, slot);
      clients_[slot] = std::move(c);
    }
  }

  void receive(StatusClient& c) {
    char buf[2048];
    const long n = net::receive_some(c.socket, buf, sizeof buf);
    if (n == 0 || (n < 0 && !net::would_block(net::last_error()))) return drop(c);
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
    send_rest(c);
  }

  void send_rest(StatusClient& c) {
    const long n = net::send_some(c.socket, c.answer.data() + c.sent, c.answer.size() - c.sent);
    if (n < 0 && !net::would_block(net::last_error())) return drop(c);
    if (n > 0) c.sent += static_cast<std::size_t>(n);
    if (c.sent == c.answer.size()) return drop(c);
    if (c.registered != net::kWritable) {
      poller_.change(c.socket, net::kWritable, slot_of(c));
      c.registered = net::kWritable;
    }
  }

  void drop_overdue() {
    const std::int64_t now = sources_.clock();
    for (auto& c : clients_) {
      if (c && now >= c->deadline_us) drop(*c);
    }
  }

  std::size_t slot_of(const StatusClient& c) const {
    for (std::size_t slot = 0; slot < clients_.size(); ++slot) {
      if (clients_[slot].get() == &c) return slot;
    }
    return clients_.size();
  }

  void drop(StatusClient& c) {
    poller_.remove(c.socket);
    clients_[slot_of(c)].reset();
  }

  const net::Socket& listener_;
  const StatusSources sources_;
  net::Poller poller_;
  std::atomic<bool> stopping_{false};
  bool watching_listener_ = true;
  std::array<std::unique_ptr<StatusClient>, kMostStatusClients> clients_;
};

StatusServer::StatusServer(const net::Socket& listener, StatusSources sources)
    : loop_(std::make_unique<Loop>(listener, std::move(sources))) {}
StatusServer::~StatusServer() = default;

void StatusServer::run() {
  loop_->run();
}
void StatusServer::stop() {
  loop_->stop();
}
void StatusServer::wake() {
  loop_->wake();
}

}  // namespace eventid
