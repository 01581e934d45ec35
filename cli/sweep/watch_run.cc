#include "cli/sweep/watch_run.h"

#include <algorithm>
#include <ostream>

#include "cli/sweep/result_lines.h"
#include "cli/sweep/run.h"
#include "cli/sweep/watch_listen.h"
#include "cli/sweep/watch_print.h"
#include "cli/sweep/watch_sweep.h"
#include "platform/netapi/net_services.h"
#include "watch/event_commands.h"
#include "watch/inventory_store.h"
#include "watch/watcher.h"

namespace ps::cli {
namespace {

constexpr int kNameThreads = 16;
constexpr std::int64_t kSliceNs = 200'000'000;  // how often commands are looked after
// What is heard during a sweep waits in the listeners' queues: a sweep that
// outlasts the period still leaves this long to read it, or the queues would
// starve (and overflow) while sweeps run back to back.
constexpr std::int64_t kLeastListenNs = 100'000'000;
constexpr char kDnsSource[] = "dns";
// Changes that announce nothing (a known device seen again) are stored this
// often at most: a chatty link must not mean a write every slice.
constexpr std::int64_t kQuietSaveNs = 10'000'000'000;

// Option mixes the watch cannot run; the exit code after saying why.
std::optional<int> Refuse(const RunContext& run) {
  const Options& o = run.options;
  const int modes = (o.watch_seconds > 0) + o.changes + o.inventory;
  const char* why = nullptr;
  if (modes > 1)
    why = "--watch, --changes and --inventory exclude one another";
  else if (o.link_local || o.check)
    why = "--link-local and --check do not mix with the watch";
  else if (!o.tcp.empty() || o.probe == ProbeMethod::kNone)
    why = "the watch probes by ARP and ICMP only: --probe tcp is for single sweeps";
  else if (o.format == Format::kCsv && !o.inventory)
    why = "events are text or JSON Lines: --format csv is for --inventory";
  else if (!o.exec.empty() && o.inventory)
    why = "--exec runs for events: --inventory has none";
  if (why == nullptr) return std::nullopt;
  run.err() << run.prefix << why << "\n";
  return kUsage;
}

// What one run of the watch holds from start to end.
struct Session {
  sweep::TargetAddresses targets;
  ArpStage arp;
  std::vector<std::unique_ptr<platform::IcmpSocket>> sockets;
  Listeners listeners;
  VendorNames vendors;
};

// Targets, ARP sockets, listeners, ICMP sockets; then every capability goes.
std::optional<int> Prepare(const RunContext& run, const WatchServices& services, Session* s) {
  if (auto exit = ReadSweepTargets(run, &s->targets)) return exit;
  s->arp.KeepSockets();
  if (auto exit = s->arp.Prepare(run.options, run.platform, s->targets, run.err(), run.prefix))
    return exit;
  if (run.options.watch_seconds > 0) s->listeners.Open(run, services, s->targets);
  return OpenSockets(run, IcmpFamilies(s->arp), &s->sockets);
}

// Prints events, hands them to --exec, stores what they changed.
class EventSink {
 public:
  EventSink(const RunContext& run, watch::Watcher& watcher, watch::InventoryStore& store,
            watch::EventCommands* commands)
      : run_(run), watcher_(watcher), store_(store), commands_(commands) {}

  // Prints and stores at once when there are events (or `force`); else
  // stores what changed when kQuietSaveNs has passed since the last time.
  void Emit(std::vector<watch::Event>* events, bool force = false) {
    std::ostream& out = *run_.streams.out;
    for (const watch::Event& e : *events) {
      out << (run_.options.format == Format::kJson ? watch::EventJson(e) : watch::EventText(e))
          << "\n";
      if (commands_ != nullptr) Said((commands_->Add(e, &said_), said_));
    }
    const bool announced = !events->empty();
    if (announced) out.flush();
    emitted_ += events->size();
    events->clear();
    const std::int64_t now = run_.platform.clock->NowNs();
    if (!announced && !force && now - saved_ns_ < kQuietSaveNs) return;
    saved_ns_ = now;
    const Status saved = store_.Save(watcher_.inventory(), watcher_.TakeChanged());
    if (!saved.ok() && store_ok_) Said(saved.ToString());
    store_ok_ = saved.ok();
  }
  void Poll() {
    if (commands_ != nullptr) Said((commands_->Poll(&said_), said_));
  }
  void Said(const std::string& message) {
    if (!message.empty()) run_.err() << run_.prefix << message << "\n";
  }
  std::size_t emitted() const { return emitted_; }
  bool store_ok() const { return store_ok_; }

 private:
  const RunContext& run_;
  watch::Watcher& watcher_;
  watch::InventoryStore& store_;
  watch::EventCommands* commands_;
  std::string said_;
  std::size_t emitted_ = 0;
  std::int64_t saved_ns_ = 0;
  bool store_ok_ = true;
};

watch::Observation Observed(const HostLine& h) {
  watch::Observation seen;
  seen.address = h.result.address;
  if (!h.mac.empty()) seen.mac = MacAddress::Parse(h.mac);
  // Every source's answer, so that a name changing at any one is an event.
  for (const auto& [source, name] : h.names) seen.names.push_back({source, name});
  if (seen.names.empty() && !h.name.empty())
    seen.names.push_back({h.name_source.empty() ? kDnsSource : h.name_source, h.name});
  seen.vendor = h.vendor;
  return seen;
}

// One sweep, its answers observed; false when interrupted or a socket failed
// (said), so that it counts no miss.
bool SweepRound(const RunContext& run, Session& s, watch::Watcher& watcher, EventSink& sink) {
  std::unique_ptr<NameLookups> names = StartNames(run, kNameThreads);
  if (names) names->SetTargets(s.targets);
  HostMacs macs(run.platform.neighbours);
  const Findings found = ProbeOnce(run, s.targets, s.arp, s.sockets, names.get(), &macs);
  WaitForNames(run, names.get(), found.summary.interrupted);
  std::vector<watch::Event> events;
  ResultLines lines(found.results, false, names.get(), &macs, run.err(), run.prefix);
  for (std::size_t i = 0; i < lines.size(); ++i) watcher.Observe(Observed(lines.Get(i)), &events);
  const bool whole = !found.summary.interrupted && found.failure.ok();
  if (whole) watcher.EndSweep(&events);
  sink.Emit(&events, /*force=*/true);  // a sweep's record, as --changes promises
  if (!found.failure.ok()) run.err() << run.prefix << found.failure.ToString() << "\n";
  return whole;
}

// Between sweeps: listens (or sleeps) until `deadline_ns`, or an interrupt.
void Between(const RunContext& run, Session& s, watch::Watcher& watcher, EventSink& sink,
             std::int64_t deadline_ns) {
  std::vector<watch::Event> events;
  const auto heard = [&](const watch::Observation& seen) {
    watch::Observation named = seen;
    if (named.mac) named.vendor = s.vendors.Of(*named.mac, run.err(), run.prefix);
    watcher.Observe(named, &events);
  };
  if (s.listeners.active()) {
    deadline_ns = std::max(deadline_ns, run.platform.clock->NowNs() + kLeastListenNs);
  }
  for (std::int64_t now = run.platform.clock->NowNs(); now < deadline_ns && !InterruptFlag().load();
       now = run.platform.clock->NowNs()) {
    const std::int64_t slice = std::min(kSliceNs, deadline_ns - now);
    if (s.listeners.active())
      s.listeners.Listen(run, slice, heard);
    else
      platform::SleepNs(slice);
    sink.Emit(&events);
    sink.Poll();
  }
}

// The stored inventory into `watcher`; damaged records are said and left out.
std::optional<int> Adopt(const RunContext& run, watch::InventoryStore& store,
                         watch::Watcher* watcher) {
  Result<watch::InventoryStore::Loaded> loaded = store.Load();
  if (!loaded.ok()) {
    run.err() << run.prefix << loaded.status().ToString() << "\n";
    return kSystemFailure;
  }
  if (loaded->damaged > 0) {
    run.err() << run.prefix << loaded->damaged
              << " damaged inventory records left out (their devices will be new again)\n";
  }
  watcher->AdoptAll(std::move(loaded->devices));
  return std::nullopt;
}

watch::WatchConfig ConfigOf(const Options& o) {
  watch::WatchConfig config;
  config.sweeps_to_offline = o.offline_after;
  config.quiet_for_ns = static_cast<std::int64_t>(o.quiet_for_s) * 1'000'000'000;
  return config;
}

}  // namespace

bool WantsWatch(const Options& o) { return o.watch_seconds > 0 || o.changes || o.inventory; }

WatchServices SystemWatchServices() {
  return {&platform::RegistryService::PlatformDefault(), &platform::SystemCommands(),
          &platform::OpenLinkListener};
}

int RunWatch(const RunContext& run, const WatchServices& services) {
  if (auto exit = Refuse(run)) return *exit;
  const Options& o = run.options;
  watch::InventoryStore store(*services.registry, o.machine_inventory
                                                      ? platform::HKEY_LOCAL_MACHINE
                                                      : platform::HKEY_CURRENT_USER);
  if (o.inventory) return PrintInventory(run, store);
  Session s;
  if (auto exit = Prepare(run, services, &s)) return *exit;
  watch::Watcher watcher(ConfigOf(o), *run.platform.clock, *platform::Services().clock);
  if (auto exit = Adopt(run, store, &watcher)) return *exit;
  std::optional<watch::EventCommands> commands;
  if (!o.exec.empty()) commands.emplace(*services.commands, *run.platform.clock, o.exec);
  EventSink sink(run, watcher, store, commands ? &*commands : nullptr);
  if (o.changes) {
    const bool whole = SweepRound(run, s, watcher, sink);
    std::string said;
    if (commands) sink.Said((commands->Drain(watch::CommandLimits{}.time_ns, &said), said));
    if (!whole) return InterruptFlag().load() ? kInterrupted : kSystemFailure;
    if (!sink.store_ok()) return kSystemFailure;
    return sink.emitted() > 0 ? kChanged : kAnswered;
  }
  const std::int64_t interval_ns = static_cast<std::int64_t>(o.watch_seconds) * 1'000'000'000;
  while (!InterruptFlag().load()) {
    const std::int64_t start = run.platform.clock->NowNs();
    SweepRound(run, s, watcher, sink);
    Between(run, s, watcher, sink, start + interval_ns);
  }
  std::vector<watch::Event> none;
  sink.Emit(&none, /*force=*/true);  // what was seen since the last store
  return kInterrupted;
}

}  // namespace ps::cli
