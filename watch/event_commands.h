// --exec: one command per event, its fields in environment variables, never
// in the command's text. At most a few run at once, each for a bounded time;
// events beyond a bounded queue are dropped, with one warning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/clock/monotonic_clock.h"
#include "platform/process/commands.h"
#include "watch/event.h"

namespace ps::watch {

// PINGSWEEP_EVENT, _TIME, _WARNING, _DEVICE, _MAC, _ADDRESS,
// _PREVIOUS_ADDRESS, _PREVIOUS_MAC, _NAME, _PREVIOUS_NAME, _SOURCE, _VENDOR:
// every one set, empty when absent; text from the network escaped as
// EscapeText() does (no control characters, so no byte that ends a value).
platform::Environment EventEnvironment(const Event& event);

struct CommandLimits {
  std::size_t running = 4;
  std::int64_t time_ns = 10'000'000'000;
  std::size_t queued = 1024;
};

class EventCommands {
 public:
  EventCommands(platform::Commands& commands, platform::MonotonicClock& clock, std::string command,
                CommandLimits limits = {})
      : commands_(commands), clock_(clock), command_(std::move(command)), limits_(limits) {}
  ~EventCommands();  // kills what still runs

  // Queues the event's command and starts what may start. A message for the
  // user (a command that could not start, the first event dropped) goes to
  // *said; "" when none.
  void Add(const Event& event, std::string* said);
  // Forgets the commands that ended, kills those over their time, starts the
  // queued ones there is room for. Call it often (a few times a second).
  void Poll(std::string* said);
  // Waits, polling, until nothing runs or is queued, at most `limit_ns`.
  void Drain(std::int64_t limit_ns, std::string* said);

  std::size_t running() const { return running_.size(); }
  std::size_t queued() const { return queue_.size(); }
  std::size_t killed() const { return killed_; }

 private:
  struct Running {
    long id;
    std::int64_t started_ns;
  };
  void StartQueued(std::string* said);

  platform::Commands& commands_;
  platform::MonotonicClock& clock_;
  std::string command_;
  CommandLimits limits_;
  std::deque<platform::Environment> queue_;
  std::vector<Running> running_;
  std::size_t killed_ = 0;
  bool warned_dropped_ = false;
  bool warned_failed_ = false;
};

}  // namespace ps::watch
