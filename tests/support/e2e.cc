#include "support/e2e.h"

#include <cmath>
#include <cstdio>

#include <thread>

#include "support/id_line_check.h"

namespace {

std::vector<std::string> with(std::vector<std::string> args, std::vector<std::string> more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

double unix_us() {
  using std::chrono::microseconds;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<double>(std::chrono::duration_cast<microseconds>(now).count());
}

}  // namespace

Simulator::Simulator(std::vector<std::string> args)
    : process(EVENTID_SIM, with({"--port", "0", "--duration", "300"}, std::move(args))) {
  eventually([&] {
    const std::string out = process.out();
    const auto at = out.find("listening on 127.0.0.1:");
    if (at == std::string::npos || !read_truth(out)) return false;
    port = static_cast<std::uint16_t>(std::stoi(out.substr(at + 23)));
    return true;
  });
}

// The last complete "truth start=S epoch_us=E" line: a jump prints a new one.
bool Simulator::read_truth(const std::string& out) const {
  std::lock_guard<std::mutex> lock(mutex);
  const auto line = out.rfind("truth start=");
  if (line == std::string::npos || out.find('\n', line) == std::string::npos) return false;
  start = std::stod(out.substr(line + 12));
  epoch_us = std::stod(out.substr(out.find("epoch_us=", line) + 9));
  return true;
}

double Simulator::elapsed() const {
  return (unix_us() - epoch_us) / 1e6;
}

std::vector<std::string> Simulator::continuation() const {
  read_truth(process.out());
  char epoch[32];
  std::snprintf(epoch, sizeof epoch, "%.0f", epoch_us);
  return {"--start", std::to_string(std::lround(start)), "--epoch-us", epoch};
}

double Simulator::truth() const {
  const double now = unix_us();
  read_truth(process.out());
  std::lock_guard<std::mutex> lock(mutex);
  return start + (now - epoch_us) / 100000.0;
}

Process start_relay(const std::vector<std::string>& args) {
  return Process(EVENTID_RELAY, args);
}

bool relay_listening(const Process& relay) {
  return eventually([&] {
    return relay.out().find("Waiting for incoming connections...\r\n") != std::string::npos;
  });
}

RelayClient::RelayClient(std::uint16_t port) {
  net::Endpoint relay;
  std::string error;
  socket = net::open_tcp4();
  if (!net::resolve_ipv4("127.0.0.1", std::to_string(port).c_str(), &relay, &error) ||
      !net::set_recv_timeout(socket, 3000) || !net::connect_to(socket, relay)) {
    socket.close();
  }
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

std::vector<Greeting> greet_burst(std::uint16_t port, int n, std::chrono::milliseconds limit) {
  net::Endpoint to;
  std::string error;
  std::vector<Greeting> greetings;
  if (!net::resolve_ipv4("127.0.0.1", std::to_string(port).c_str(), &to, &error)) return greetings;
  struct waiting_t {
    net::Socket socket;
    std::string pending;
  };
  std::vector<waiting_t> clients(static_cast<std::size_t>(n));
  const auto start = std::chrono::steady_clock::now();
  for (waiting_t& c : clients) {
    c.socket = net::open_tcp4();
    net::set_nonblocking(c.socket, true);
    if (!net::connect_to(c.socket, to) && !net::would_block(net::last_error())) c.socket.close();
  }
  std::vector<net::PollEntry> entries;
  std::vector<int> index;
  while (std::chrono::steady_clock::now() - start < limit) {
    entries.clear();
    index.clear();
    for (int i = 0; i < n; ++i) {
      if (!clients[i].socket.valid()) continue;
      entries.push_back({clients[i].socket.get(), net::kReadable, 0});
      index.push_back(i);
    }
    if (entries.empty()) break;
    if (net::poll_sockets(entries.data(), entries.size(), 50) <= 0) continue;
    for (std::size_t k = 0; k < entries.size(); ++k) {
      if (entries[k].found == 0) continue;
      waiting_t& c = clients[index[k]];
      char buf[128];
      const long got = net::receive_some(c.socket, buf, sizeof buf);
      if (got <= 0) {
        if (got == 0 || !net::would_block(net::last_error())) c.socket.close();
        continue;
      }
      c.pending.append(buf, static_cast<std::size_t>(got));
      if (c.pending.find('\n') == std::string::npos) continue;
      const std::chrono::duration<double, std::micro> after =
          std::chrono::steady_clock::now() - start;
      greetings.push_back({index[k], after.count(), c.pending});
      c.socket.close();
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
