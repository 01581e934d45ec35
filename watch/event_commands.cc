#include "watch/event_commands.h"

#include <algorithm>

#include "core/terminal_text.h"

namespace ps::watch {
namespace {

std::string Text(const std::optional<IpAddress>& a) { return a ? a->ToString() : ""; }
std::string Text(const std::optional<MacAddress>& m) { return m ? m->ToString() : ""; }

}  // namespace

platform::Environment EventEnvironment(const Event& e) {
  return {
      {"PINGSWEEP_EVENT", std::string(KindWord(e.kind))},
      {"PINGSWEEP_TIME", Iso8601(e.time)},
      {"PINGSWEEP_WARNING", e.warning() ? "1" : "0"},
      {"PINGSWEEP_DEVICE", e.device},
      {"PINGSWEEP_MAC", Text(e.mac)},
      {"PINGSWEEP_ADDRESS", Text(e.address)},
      {"PINGSWEEP_PREVIOUS_ADDRESS", Text(e.previous_address)},
      {"PINGSWEEP_PREVIOUS_MAC", Text(e.previous_mac)},
      {"PINGSWEEP_NAME", EscapeText(e.name)},
      {"PINGSWEEP_PREVIOUS_NAME", EscapeText(e.previous_name)},
      {"PINGSWEEP_SOURCE", EscapeText(e.source)},
      {"PINGSWEEP_VENDOR", EscapeText(e.vendor)},
  };
}

EventCommands::~EventCommands() {
  for (const Running& r : running_) commands_.Kill(r.id);
}

void EventCommands::Add(const Event& event, std::string* said) {
  said->clear();
  if (queue_.size() >= limits_.queued) {
    if (!warned_dropped_) {
      warned_dropped_ = true;
      *said = "--exec: more than " + std::to_string(limits_.queued) +
              " events wait for their command; the later ones get none";
    }
    return;
  }
  queue_.push_back(EventEnvironment(event));
  if (said->empty()) StartQueued(said);
}

void EventCommands::StartQueued(std::string* said) {
  while (running_.size() < limits_.running && !queue_.empty()) {
    Result<long> started = commands_.Start(command_, queue_.front());
    queue_.pop_front();
    if (!started.ok()) {
      if (!warned_failed_) *said = "--exec: " + started.status().message();
      warned_failed_ = true;
      continue;
    }
    running_.push_back({started.value(), clock_.NowNs()});
  }
}

void EventCommands::Poll(std::string* said) {
  said->clear();
  const std::int64_t now = clock_.NowNs();
  std::erase_if(running_, [&](const Running& r) {
    if (commands_.Ended(r.id)) return true;
    if (now - r.started_ns < limits_.time_ns) return false;
    commands_.Kill(r.id);
    ++killed_;
    return true;
  });
  StartQueued(said);
}

void EventCommands::Drain(std::int64_t limit_ns, std::string* said) {
  const std::int64_t end = clock_.NowNs() + limit_ns;
  while ((!running_.empty() || !queue_.empty()) && clock_.NowNs() < end) {
    platform::SleepNs(20'000'000);
    std::string message;
    Poll(&message);
    if (!message.empty()) *said = message;
  }
}

}  // namespace ps::watch
