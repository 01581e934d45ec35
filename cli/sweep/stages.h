// The stages a run of pingsweep-cli goes through, shared by a sweep and
// --link-local: read what to probe, open the sockets (then give up every
// capability), probe, collect what was found into lines, finish. A stage that
// ends the run early says why on standard error and returns the exit code;
// std::nullopt means go on.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "cli/sweep/lan.h"
#include "cli/sweep/options.h"
#include "cli/sweep/output.h"
#include "cli/sweep/run.h"
#include "core/status.h"
#include "platform/inet/sweep_io.h"
#include "cli/sweep/name_lookups.h"

namespace ps::sweep {
class Sweep;
class TcpSweep;
class LinkLocalDiscovery;
}  // namespace ps::sweep

namespace ps::cli {

// What every stage reads: the options, the platform, the streams, and the
// program's name before each message ("pingsweep-cli: ").
struct RunContext {
  const Options& options;
  const platform::SweepPlatform& platform;
  const Streams& streams;
  std::string prefix;

  std::ostream& err() const { return *streams.err; }
};

// The interface table read once for a run: the ARP plan, the sweeps, the
// TCP probes and the name sources all ask for the connected subnets, and each
// reading is a netlink dump.
class RunInterfaces : public platform::InterfaceTable {
 public:
  explicit RunInterfaces(platform::InterfaceTable* table) : table_(table) {}
  std::vector<platform::ConnectedSubnet> ConnectedSubnets() override;
  std::vector<platform::MulticastLink> MulticastLinks() override { return table_->MulticastLinks(); }

 private:
  platform::InterfaceTable* table_;
  std::optional<std::vector<platform::ConnectedSubnet>> subnets_;
};

// Opens one ICMP socket per family (the datagram kind where allowed, else a
// raw one) and then gives up every capability: nothing after this stage needs
// one, and what comes after reads input from the network. Sockets of other
// kinds (ARP, TCP) are opened before it.
std::optional<int> OpenSockets(const RunContext& run, std::span<const IpAddress::Family> families,
                               std::vector<std::unique_ptr<platform::IcmpSocket>>* sockets);

// While one lives, Interrupt() stops the sweep or discovery it names; one
// made after an interrupt stops it at once.
class InterruptScope {
 public:
  explicit InterruptScope(sweep::Sweep* sweep);
  explicit InterruptScope(sweep::TcpSweep* sweep);
  explicit InterruptScope(sweep::LinkLocalDiscovery* discovery);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
};
// Whether Interrupt() was called since the last ClearInterrupt(), for
// stages that poll it.
const std::atomic<bool>& InterruptFlag();
// At the end of a run: the next one starts afresh.
void ClearInterrupt();

// The names of the hosts found, from the sources --names asks (null for
// none, as with -n). Call after OpenSockets().
std::unique_ptr<NameLookups> StartNames(const RunContext& run, int threads);
// Waits for the names asked for (reverse DNS: a second after an interrupt,
// else five); says so when some did not come in time.
void WaitForNames(const RunContext& run, NameLookups* names, bool interrupted);

// One host as printed: its name (when looked up; `scope_id` as for
// NameLookups), and its MAC and vendor when `mac` is given.
HostLine MakeLine(const sweep::HostResult& result, const NameLookups* names,
                  const MacAddress* mac, VendorNames* vendors, const RunContext& run,
                  int scope_id = 0);

// What a run found, as Finish() reports it.
struct RunEnd {
  std::vector<HostLine> lines;
  HostSource* source = nullptr;  // when set, the lines instead (made as written)
  int count = 1;        // probes per host asked for
  std::string summary;  // the closing line, without " (interrupted)"
  std::uint64_t answered = 0;
  bool interrupted = false;
  // Why a socket failed and ended the run early; its message names the
  // socket ("the ICMP socket failed").
  Status failure;
};

// Prints the hosts and the closing line (on standard output for text, else on
// standard error), says why a socket failed, and gives the exit code.
int Finish(const RunContext& run, const RunEnd& end);

}  // namespace ps::cli
