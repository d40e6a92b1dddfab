// The places of one listener's clients. A client keeps its slot while it is held, so that the
// greeter and the orders of deadlines can name it by a number; a freed slot is taken again
// before the table grows. The counters of held and accepted clients follow the table.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "delivery/server.h"

namespace eventid {

template <typename Client>
class ClientSlots {
 public:
  explicit ClientSlots(ServerCounters& counters) : counters_(counters) {}

  // A new client, made from args and its slot.
  template <typename... Args>
  Client& take(Args&&... args) {
    std::size_t slot = slots_.size();
    if (free_.empty()) {
      slots_.emplace_back();
    } else {
      slot = free_.back();
      free_.pop_back();
    }
    slots_[slot] = std::make_unique<Client>(std::forward<Args>(args)..., slot);
    ++count_;
    ++counters_.accepted;
    ++counters_.held;
    return *slots_[slot];
  }

  // Ends the client in slot; whatever it owns closes with it.
  void release(std::size_t slot) {
    slots_[slot].reset();
    free_.push_back(slot);
    --count_;
    --counters_.held;
  }

  Client& operator[](std::size_t slot) const { return *slots_[slot]; }
  std::size_t count() const { return count_; }
  std::size_t room(std::size_t places) const { return count_ < places ? places - count_ : 0; }

  // Calls f with each client held, in the order of their slots; f may release its client.
  template <typename F>
  void for_each(F&& f) const {
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
      if (slots_[slot]) f(*slots_[slot]);
    }
  }

 private:
  ServerCounters& counters_;
  std::vector<std::unique_ptr<Client>> slots_;
  std::vector<std::size_t> free_;
  std::size_t count_ = 0;
};

}  // namespace eventid
