#include "cli/sweep/output.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "cli/sweep/output_parts.h"
#include "core/status.h"
#include "core/terminal_text.h"
#include "platform/inet/icmp_text.h"

namespace ps::cli {
namespace parts {

std::string_view StatusOf(const sweep::HostResult& r) {
  switch (r.outcome) {
    case sweep::Outcome::kAnswered: return "answered";
    case sweep::Outcome::kError: return "error";
    case sweep::Outcome::kSilent: break;
  }
  return "silent";
}

char* PutMs(char* p, std::int64_t ns) {
  if (ns >= 0 && ns < 1'000'000'000'000'000 && ns % 1000 != 500) {
    const std::int64_t us = ns / 1000 + (ns % 1000 > 500 ? 1 : 0);
    p = std::to_chars(p, p + 20, us / 1000).ptr;
    const auto frac = static_cast<int>(us % 1000);
    *p++ = '.';
    *p++ = static_cast<char>('0' + frac / 100);
    *p++ = static_cast<char>('0' + frac / 10 % 10);
    *p++ = static_cast<char>('0' + frac % 10);
    return p;
  }
  return p + std::snprintf(p, 32, "%.3f", ns / 1e6);
}

char* PutPercent(char* p, const sweep::HostResult& r) {
  if (r.sent == 0) return p;
  if (r.received == 0) return Put(p, "100");
  if (r.received == r.sent) return Put(p, "0");
  char text[16];
  const int n = std::snprintf(text, sizeof(text), "%.0f", 100.0 * (r.sent - r.received) / r.sent);
  return Put(p, std::string_view(text, static_cast<std::size_t>(n)));
}

char* PutVia(char* p, const sweep::HostResult& r) {
  switch (r.via) {
    case sweep::Via::kIcmp: return Put(p, "icmp");
    case sweep::Via::kArp: return Put(p, "arp");
    case sweep::Via::kTcpSyn: p = Put(p, "tcp:"); break;
    case sweep::Via::kTcpAck: p = Put(p, "tcp-ack:"); break;
    case sweep::Via::kNone: return p;
  }
  return std::to_chars(p, p + 5, r.via_port).ptr;
}

void AppendAddress(std::string& out, const HostLine& h) {
  char text[IpAddress::kMaxText];
  out.append(text, h.result.address.WriteText(text));
  if (!h.zone.empty()) {
    out += '%';
    AppendEscapedText(out, h.zone);  // an interface name, from outside
  }
}

std::string_view Escaped(std::string_view text, std::string& scratch) {
  if (IsPlainAscii(text)) return text;
  scratch.clear();
  AppendEscapedText(scratch, text);
  return scratch;
}

char* PutRtt(char* p, const sweep::HostResult& r, int count) {
  if (r.received == 0) return Put(p, "-");
  if (count > 1) p = Put(PutMs(p, r.rtt_min_ns), "/");
  p = PutMs(p, r.rtt_sum_ns / r.received);
  if (count > 1) p = PutMs(Put(p, "/"), r.rtt_max_ns);
  return Put(p, " ms");
}

}  // namespace parts

namespace {

using namespace parts;

// The field at `p` as CSV writes it: quoted, with its quotes doubled, when it
// holds a comma, a quote or a line break (room for 2 + 2 * s.size()).
char* PutCsvField(char* p, std::string_view s) {
  const auto special = [](char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; };
  if (std::none_of(s.begin(), s.end(), special)) return Put(p, s);
  *p++ = '"';
  for (char c : s) {
    if (c == '"') *p++ = '"';
    *p++ = c;
  }
  *p++ = '"';
  return p;
}

// What a line's outside text needed escaped or made, kept from line to line.
struct CsvScratch {
  std::string address, name, vendor, model, error;
};

// One line appended to `out`: nothing is allocated for the usual line (a
// /16's CSV is 65,536 of them), which is written on the stack first, since
// growing `out` to its longest possible size would clear every byte of it.
void WriteCsvLine(std::string& out, const HostLine& h, CsvScratch& scratch) {
  const sweep::HostResult& r = h.result;
  const std::string_view name = Escaped(h.name, scratch.name);
  const std::string_view vendor = Escaped(h.vendor, scratch.vendor);
  const std::string_view model = Escaped(h.model, scratch.model);
  scratch.error.clear();
  if (r.outcome == sweep::Outcome::kError) scratch.error = ProbeFailureText(r);
  scratch.address.clear();
  if (!h.zone.empty()) AppendAddress(scratch.address, h);
  // The numbers, words and commas take under 256 bytes.
  const std::size_t most = 256 + h.mac.size() + h.name_source.size() + h.kind.size() +
                           2 * (name.size() + vendor.size() + model.size() +
                                scratch.error.size() + scratch.address.size());
  char stack[1024];
  const std::size_t start = out.size();
  if (most > sizeof(stack)) out.resize(start + most);
  char* const line = most > sizeof(stack) ? out.data() + start : stack;
  char* p = line;
  p = h.zone.empty() ? r.address.WriteText(p) : PutCsvField(p, scratch.address);
  p = Put(PutCsvField(Put(p, ","), name), ",");
  p = Put(Put(p, StatusOf(r)), ",");
  // One answer (the usual line) makes the minimum and maximum the average.
  const bool got = r.received > 0;
  const std::int64_t avg_ns = got ? r.rtt_sum_ns / r.received : 0;
  char* avg = p;
  if (got) p = PutMs(p, avg_ns);
  const std::string_view avg_text(avg, static_cast<std::size_t>(p - avg));
  *p++ = ',';
  if (got) p = r.rtt_min_ns == avg_ns ? Put(p, avg_text) : PutMs(p, r.rtt_min_ns);
  p = Put(Put(Put(p, ","), avg_text), ",");
  if (got) p = r.rtt_max_ns == avg_ns ? Put(p, avg_text) : PutMs(p, r.rtt_max_ns);
  *p++ = ',';
  if (HasTtl(r)) p = std::to_chars(p, p + 4, r.ttl).ptr;
  for (const int n : {r.sent, r.received}) {
    *p++ = ',';
    p = std::to_chars(p, p + 12, n).ptr;
  }
  *p++ = ',';
  p = Put(PutPercent(p, r), ",");
  p = Put(std::to_chars(p, p + 12, r.duplicates).ptr, ",");
  p = Put(Put(PutCsvField(p, scratch.error), ","), h.mac);
  p = Put(PutCsvField(Put(p, ","), vendor), ",");
  p = Put(Put(Put(Put(Put(PutVia(p, r), ","), h.name_source), ","), h.kind), ",");
  p = Put(PutCsvField(p, model), "\r\n");
  if (line == stack) {
    out.append(stack, static_cast<std::size_t>(p - stack));
  } else {
    out.resize(start + static_cast<std::size_t>(p - line));
  }
}

}  // namespace

std::string Milliseconds(std::int64_t ns) {
  char text[32];
  return std::string(text, PutMs(text, ns));
}

std::string StatusWord(const sweep::HostResult& r) { return std::string(StatusOf(r)); }

std::string AddressText(const HostLine& h) {
  std::string out;
  AppendAddress(out, h);
  return out;
}

std::string ViaText(const sweep::HostResult& r) {
  char text[16];
  return std::string(text, PutVia(text, r));
}

std::string ProbeFailureText(const sweep::HostResult& r) {
  if (r.outcome != sweep::Outcome::kError) return "";
  if (r.error_type == 0) return std::string("send failed: ") + SystemErrorText(r.send_error);
  return platform::IcmpErrorText(r.address.family(), r.error_type, r.error_code) + " from " +
         r.error_from.ToString();
}

namespace {

class VectorSource : public HostSource {
 public:
  explicit VectorSource(const std::vector<HostLine>& hosts) : hosts_(hosts) {}
  std::size_t size() const override { return hosts_.size(); }
  const HostLine& Get(std::size_t i) override { return hosts_[i]; }

 private:
  const std::vector<HostLine>& hosts_;
};

}  // namespace

void WriteHosts(std::ostream& out, Format format, HostSource& hosts, int count) {
  if (format == Format::kText) {
    WriteTextTable(out, hosts, count);
    return;
  }
  if (format == Format::kJson) {
    for (std::size_t i = 0; i < hosts.size(); ++i) WriteJsonLine(out, hosts.Get(i));
    return;
  }
  Sink sink(out);
  sink.buffer() += "address,name,status,rtt_ms,rtt_min_ms,rtt_avg_ms,rtt_max_ms,ttl,sent,received,"
                   "loss_percent,duplicates,error,mac,vendor,via,name_source,kind,model\r\n";
  CsvScratch scratch;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    WriteCsvLine(sink.buffer(), hosts.Get(i), scratch);
    sink.LineDone();
  }
}

void WriteHosts(std::ostream& out, Format format, const std::vector<HostLine>& hosts, int count) {
  VectorSource source(hosts);
  WriteHosts(out, format, source, count);
}

std::string SummaryLine(const sweep::SweepSummary& summary) {
  char buf[128];
  std::snprintf(buf, sizeof(buf), "%llu of %llu hosts answered in %.2f s",
                static_cast<unsigned long long>(summary.answered),
                static_cast<unsigned long long>(summary.targets), summary.elapsed_ns / 1e9);
  return buf;
}

}  // namespace ps::cli
