// The clients that an idle timeout watches, by the time of their latest line, the oldest
// first. One timeout holds for all and lines are made in the order of the clock, so this is
// also the order of their deadlines: a list kept in order of use, each client in it at most
// once and only while it is held.
#pragma once

#include <cstddef>
#include <list>
#include <optional>

namespace eventid {

class IdleOrder {
 public:
  // A client's place in the order: none until its first line, and none once forgotten.
  using Place = std::optional<std::list<std::size_t>::iterator>;

  // The client in slot has just been given a line: it goes last.
  void touch(Place& place, std::size_t slot) {
    if (place) {
      order_.splice(order_.end(), order_, *place);
    } else {
      place = order_.insert(order_.end(), slot);
    }
  }
  void forget(Place& place) {
    if (place) order_.erase(*place);
    place.reset();
  }
  bool empty() const { return order_.empty(); }
  std::size_t size() const { return order_.size(); }
  // The slot of the client whose latest line is the oldest.
  std::size_t oldest() const { return order_.front(); }

 private:
  std::list<std::size_t> order_;
};

}  // namespace eventid
