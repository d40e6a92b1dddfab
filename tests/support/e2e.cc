#include "support/e2e.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace eventid::test {
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

bool relay_listening(const Process& relay) {
  return eventually([&] {
    return relay.out().find("Waiting for incoming connections...\r\n") != std::string::npos;
  });
}

RelayRun::RelayRun(std::vector<std::string> sim_args, std::vector<std::string> relay_args,
                   Outputs outputs)
    : sim(std::move(sim_args)),
      relay(EVENTID_RELAY, with(std::move(relay_args), {"127.0.0.1", std::to_string(sim.port)}),
            outputs) {}

}  // namespace eventid::test
