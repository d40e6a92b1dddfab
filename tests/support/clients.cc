#include "support/clients.h"

#include <thread>

#include "support/id_line_check.h"
#include "support/loopback.h"

namespace eventid::test {

RelayClient::RelayClient(std::uint16_t port) : socket(connect_loopback(port)) {
  if (!net::set_recv_timeout(socket, 3000000)) socket.close();
}

RelayClient::RelayClient(const net::Endpoint& where) : socket(net::open_stream(where.family)) {
  if (!net::connect_to(socket, where) || !net::set_recv_timeout(socket, 3000000)) socket.close();
}

std::string RelayClient::read_line() {
  for (;;) {
    const auto end = pending.find('\n');
    if (end != std::string::npos) {
      std::string line = pending.substr(0, end + 1);
      pending.erase(0, end + 1);
      return line;
    }
    char buf[256];
    const long n = net::receive_some(socket, buf, sizeof buf);
    if (n <= 0) return "";
    pending.append(buf, static_cast<size_t>(n));
  }
}

void RelayClient::send(const std::string& text) {
  net::send_some(socket, text.data(), text.size());
}

namespace {

struct Waiting {
  net::Socket socket;
  std::string pending;
};

// Reads what a waiting client got; true once its whole greeting is in.
bool read_greeting(Waiting& c) {
  char buf[128];
  const long got = net::receive_some(c.socket, buf, sizeof buf);
  if (got <= 0) {
    if (got == 0 || !net::would_block(net::last_error())) c.socket.close();
    return false;
  }
  c.pending.append(buf, static_cast<std::size_t>(got));
  return c.pending.find('\n') != std::string::npos;
}

}  // namespace

std::string http_exchange(std::uint16_t port, const std::string& request, bool* closed) {
  RelayClient c(port);
  c.send(request);
  std::string response;
  char buf[4096];
  long n;
  while ((n = net::receive_some(c.socket, buf, sizeof buf)) > 0) {
    response.append(buf, static_cast<std::size_t>(n));
  }
  if (closed) *closed = n == 0;
  return response;
}

Flooder::Flooder(std::uint16_t port) : client_(port) {
  greeted_ = !client_.read_line().empty();
  shrink_receive_buffer(client_.socket);
  net::set_nonblocking(client_.socket, true);
  thread_ = std::thread([this] {
    const std::string chunk(1000, 'x');
    while (!stop_) {
      if (net::send_some(client_.socket, chunk.data(), chunk.size()) < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  });
}

Flooder::~Flooder() {
  stop_ = true;
  thread_.join();
}

std::vector<Greeting> greet_burst(std::uint16_t port, int n, std::chrono::milliseconds limit) {
  std::vector<Waiting> clients(static_cast<std::size_t>(n));
  std::vector<Greeting> greetings;
  const auto start = std::chrono::steady_clock::now();
  for (Waiting& c : clients) {
    c.socket = net::open_tcp4();
    net::set_nonblocking(c.socket, true);
    if (!net::connect_to(c.socket, {net::kLoopback, port}) &&
        !net::would_block(net::last_error())) {
      c.socket.close();
    }
  }
  net::Poller poller;
  for (std::size_t i = 0; i < clients.size(); ++i) {
    if (clients[i].socket.valid()) poller.add(clients[i].socket, net::kReadable, i);
  }
  std::vector<net::Poller::Event> events;
  std::size_t open = clients.size();
  while (open > 0 && std::chrono::steady_clock::now() - start < limit) {
    poller.wait(&events, 50000);
    for (const net::Poller::Event& e : events) {
      Waiting& c = clients[e.key];
      if (!c.socket.valid()) continue;
      const bool greeted = read_greeting(c);
      if (greeted) {
        const std::chrono::duration<double, std::micro> after =
            std::chrono::steady_clock::now() - start;
        greetings.push_back({static_cast<int>(e.key), after.count(), c.pending});
      }
      if (greeted || !c.socket.valid()) {
        poller.remove(c.socket);
        c.socket.close();
        --open;
      }
    }
  }
  return greetings;
}

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool well_formed(const std::string& line) {
  return id_line_check::well_formed(line);
}

double line_position(const std::string& line) {
  if (!well_formed(line)) return -1;
  const auto dot = line.find('.');
  const auto space = line.find(' ');
  return std::stod(line.substr(0, dot)) + std::stod(line.substr(dot + 1, space - dot - 1)) / 1e5;
}

char line_state(const std::string& line) {
  const auto space = line.find(' ');
  return space == std::string::npos ? '?' : line[space + 1];
}

}  // namespace eventid::test
