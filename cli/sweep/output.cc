#include "cli/sweep/output.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "core/status.h"
#include "core/terminal_text.h"
#include "platform/inet/icmp_text.h"

namespace ps::cli {
namespace {

char* Put(char* p, std::string_view s) {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

void AppendInt(std::string& out, long long v) {
  char buf[24];
  const auto end = std::to_chars(buf, buf + sizeof(buf), v).ptr;
  out.append(buf, end);
}

// As "%.3f" of ns / 1e6 prints it. Below 1e15 ns the double lies within
// 1e-7 ns of ns / 1e6 ms, so only a remainder of exactly 500 ns (a tie,
// decided by the double's binary value) needs printf.
void AppendMs(std::string& out, std::int64_t ns) {
  if (ns >= 0 && ns < 1'000'000'000'000'000 && ns % 1000 != 500) {
    const std::int64_t us = ns / 1000 + (ns % 1000 > 500 ? 1 : 0);
    AppendInt(out, us / 1000);
    const auto frac = static_cast<int>(us % 1000);
    const char digits[4] = {'.', static_cast<char>('0' + frac / 100),
                            static_cast<char>('0' + frac / 10 % 10), static_cast<char>('0' + frac % 10)};
    out.append(digits, 4);
    return;
  }
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.3f", ns / 1e6);
  out += buf;
}

// "%.0f" of the loss at `p`, and its end; nothing when nothing was sent. At
// most 13 characters: the counts are ints.
char* PutPercent(char* p, const sweep::HostResult& r) {
  if (r.sent == 0) return p;
  if (r.received == 0) return Put(p, "100");
  if (r.received == r.sent) return Put(p, "0");
  char text[16];
  const int n = std::snprintf(text, sizeof(text), "%.0f", 100.0 * (r.sent - r.received) / r.sent);
  return Put(p, std::string_view(text, static_cast<std::size_t>(n)));
}

void AppendPercent(std::string& out, const sweep::HostResult& r) {
  char text[16];
  out.append(text, PutPercent(text, r));
}

const char* Status(const sweep::HostResult& r) {
  switch (r.outcome) {
    case sweep::Outcome::kAnswered: return "answered";
    case sweep::Outcome::kError: return "error";
    case sweep::Outcome::kSilent: break;
  }
  return "silent";
}

// ARP answers carry no IP header, so no TTL.
bool HasTtl(const sweep::HostResult& r) { return r.received > 0 && r.ttl > 0; }

// The probe that answered first; nothing when none did.
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

void AppendVia(std::string& out, const sweep::HostResult& r) {
  char buf[16];
  out.append(buf, PutVia(buf, r));
}

void AppendCsvField(std::string& out, std::string_view s) {
  const auto special = [](char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; };
  if (std::none_of(s.begin(), s.end(), special)) {
    out.append(s);
    return;
  }
  out += '"';
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

// Escapes into `scratch` only when something needs it.
std::string_view Escaped(std::string_view name, std::string& scratch) {
  if (IsPlainAscii(name)) return name;
  scratch.clear();
  AppendEscapedText(scratch, name);
  return scratch;
}

void AppendAddress(std::string& out, const HostLine& h) {
  char text[IpAddress::kMaxText];
  out.append(text, h.result.address.WriteText(text));
  if (!h.zone.empty()) {
    out += '%';
    AppendEscapedText(out, h.zone);  // an interface name, from outside
  }
}

void AppendRtt(std::string& out, const sweep::HostResult& r, int count) {
  if (r.received == 0) {
    out += '-';
    return;
  }
  if (count > 1) {
    AppendMs(out, r.rtt_min_ns);
    out += '/';
  }
  AppendMs(out, r.rtt_sum_ns / r.received);
  if (count > 1) {
    out += '/';
    AppendMs(out, r.rtt_max_ns);
  }
  out += " ms";
}

// Output gathered in large writes.
class Sink {
 public:
  explicit Sink(std::ostream& out) : out_(out) { buffer_.reserve(kSize + 4096); }
  ~Sink() { Flush(); }
  std::string& buffer() { return buffer_; }
  void LineDone() {
    if (buffer_.size() >= kSize) Flush();
  }
  void Flush() {
    out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    buffer_.clear();
  }

 private:
  static constexpr std::size_t kSize = 64 << 10;
  std::ostream& out_;
  std::string buffer_;
};

// Plain text: no byte a CSV field quotes or a name escapes. A table, as it
// is asked of three fields on every line of a /16's output.
constexpr std::array<bool, 256> kPlainBytes = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x7F; ++c)
    plain[static_cast<std::size_t>(c)] = c != '\\' && c != ',' && c != '"';
  return plain;
}();
bool Plain(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return kPlainBytes[static_cast<unsigned char>(c)]; });
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

// The usual line, written straight into a buffer of kFastLine bytes: plain
// short name and vendor, no zone, no error. False (nothing written) otherwise.
constexpr std::size_t kFastLine = 640;
bool FastCsvLine(const HostLine& h, char* line, std::size_t* size) {
  const sweep::HostResult& r = h.result;
  if (!h.zone.empty() || r.outcome == sweep::Outcome::kError || h.name.size() > 150 ||
      h.vendor.size() > 100 || h.mac.size() > 20 || h.model.size() > 60 || !Plain(h.name) ||
      !Plain(h.vendor) || !Plain(h.model)) {
    return false;
  }
  const bool got = r.received > 0;
  char* p = r.address.WriteText(line);
  p = Put(Put(Put(p, ","), h.name), ",");
  p = Put(Put(p, Status(r)), ",");
  // One answer (the usual line) makes the minimum and maximum the average.
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
  p = std::to_chars(p, p + 12, r.duplicates).ptr;
  p = Put(Put(Put(Put(p, ",,"), h.mac), ","), h.vendor);
  p = PutVia(Put(p, ","), r);
  p = Put(Put(Put(Put(Put(Put(p, ","), h.name_source), ","), h.kind), ","), h.model);
  p = Put(p, "\r\n");
  *size = static_cast<std::size_t>(p - line);
  return true;
}

void WriteCsvLine(std::string& out, const HostLine& h, std::string& scratch) {
  char line[kFastLine];
  if (std::size_t size = 0; FastCsvLine(h, line, &size)) {
    out.append(line, size);
    return;
  }
  const sweep::HostResult& r = h.result;
  const bool got = r.received > 0;
  std::string avg;
  if (got) AppendMs(avg, r.rtt_sum_ns / r.received);
  scratch.clear();
  AppendAddress(scratch, h);
  AppendCsvField(out, scratch);
  out += ',';
  AppendCsvField(out, Escaped(h.name, scratch));
  out += ',';
  out += Status(r);
  out += ',';
  out += avg;
  out += ',';
  if (got) AppendMs(out, r.rtt_min_ns);
  out += ',';
  out += avg;
  out += ',';
  if (got) AppendMs(out, r.rtt_max_ns);
  out += ',';
  if (HasTtl(r)) AppendInt(out, r.ttl);
  for (const int n : {r.sent, r.received}) {
    out += ',';
    AppendInt(out, n);
  }
  out += ',';
  AppendPercent(out, r);
  out += ',';
  AppendInt(out, r.duplicates);
  out += ',';
  if (r.outcome == sweep::Outcome::kError) AppendCsvField(out, ProbeFailureText(r));
  out += ',';
  out += h.mac;
  out += ',';
  AppendCsvField(out, Escaped(h.vendor, scratch));
  out += ',';
  AppendVia(out, r);
  out += ',';
  out += h.name_source;
  out += ',';
  out += h.kind;
  out += ',';
  AppendCsvField(out, Escaped(h.model, scratch));
  out += "\r\n";
}

}  // namespace

std::string Milliseconds(std::int64_t ns) {
  std::string out;
  AppendMs(out, ns);
  return out;
}

std::string StatusWord(const sweep::HostResult& r) { return Status(r); }

std::string AddressText(const HostLine& h) {
  std::string out;
  AppendAddress(out, h);
  return out;
}

std::string ViaText(const sweep::HostResult& r) {
  std::string out;
  AppendVia(out, r);
  return out;
}

std::string ProbeFailureText(const sweep::HostResult& r) {
  if (r.outcome != sweep::Outcome::kError) return "";
  if (r.error_type == 0) return std::string("send failed: ") + SystemErrorText(r.send_error);
  return platform::IcmpErrorText(r.address.family(), r.error_type, r.error_code) + " from " +
         r.error_from.ToString();
}

namespace {

// The columns of the text table, each host's cells made twice: once for the
// widths, once to write them, so that no table of cells is ever held.
enum Column { kAddress, kName, kRtt, kTtl, kLoss, kVia, kStatus, kMac, kVendor, kKind, kColumns };

void TextCells(const HostLine& h, int count, std::string (&cells)[kColumns]) {
  const sweep::HostResult& r = h.result;
  for (std::string& c : cells) c.clear();
  AppendAddress(cells[kAddress], h);
  if (h.name.empty()) cells[kName] = "-";
  else AppendEscapedText(cells[kName], h.name);
  AppendRtt(cells[kRtt], r, count);
  if (HasTtl(r)) AppendInt(cells[kTtl], r.ttl);
  else cells[kTtl] = "-";
  AppendPercent(cells[kLoss], r);
  cells[kLoss] += '%';
  if (r.received > 0) AppendVia(cells[kVia], r);
  else cells[kVia] = "-";
  cells[kStatus] = r.outcome == sweep::Outcome::kError ? ProbeFailureText(r) : Status(r);
  cells[kMac] = h.mac.empty() ? "-" : h.mac;
  if (h.vendor.empty()) cells[kVendor] = "-";
  else AppendEscapedText(cells[kVendor], h.vendor);
  cells[kKind] = h.kind.empty() ? "-" : h.kind;
}

// Worth a column when some host is of a known kind.
bool KnownKind(const HostLine& h) { return !h.kind.empty() && h.kind != "unknown"; }

void WriteText(std::ostream& stream, HostSource& hosts, int count) {
  const char* header[kColumns] = {"ADDRESS", "NAME", count > 1 ? "RTT MIN/AVG/MAX" : "RTT", "TTL",
                                  "LOSS", "VIA", "STATUS", "MAC", "VENDOR", "KIND"};
  std::size_t width[kColumns];
  for (int c = 0; c < kColumns; ++c) width[c] = std::strlen(header[c]);
  bool shown[kColumns] = {true, true, true, true, count > 1, false, false, false, false, false};
  std::string cells[kColumns];
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    const HostLine& h = hosts.Get(i);
    shown[kStatus] = shown[kStatus] || h.result.outcome != sweep::Outcome::kAnswered;
    // Worth a column when not every answer is an echo reply.
    shown[kVia] = shown[kVia] ||
                  (h.result.via != sweep::Via::kNone && h.result.via != sweep::Via::kIcmp);
    shown[kMac] = shown[kVendor] = shown[kMac] || !h.mac.empty();
    shown[kKind] = shown[kKind] || KnownKind(h);
    TextCells(h, count, cells);
    // Columns as a terminal shows them: names may hold wide or combining characters.
    for (int c = 0; c < kColumns; ++c) width[c] = std::max(width[c], DisplayWidth(cells[c]));
  }
  int last = 0;
  for (int c = 0; c < kColumns; ++c) last = shown[c] ? c : last;
  Sink sink(stream);
  std::string& out = sink.buffer();
  const auto write_row = [&](const auto& cell) {
    for (int c = 0; c < kColumns; ++c) {
      if (!shown[c]) continue;
      const std::string_view text = cell(c);
      out.append(text);
      if (c != last) out.append(width[c] - DisplayWidth(text) + 2, ' ');
    }
    out += '\n';
    sink.LineDone();
  };
  write_row([&](int c) { return std::string_view(header[c]); });
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    TextCells(hosts.Get(i), count, cells);
    write_row([&](int c) { return std::string_view(cells[c]); });
  }
}

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
    WriteText(out, hosts, count);
    return;
  }
  if (format == Format::kJson) {
    for (std::size_t i = 0; i < hosts.size(); ++i) WriteJsonLine(out, hosts.Get(i));
    return;
  }
  Sink sink(out);
  sink.buffer() += "address,name,status,rtt_ms,rtt_min_ms,rtt_avg_ms,rtt_max_ms,ttl,sent,received,"
                   "loss_percent,duplicates,error,mac,vendor,via,name_source,kind,model\r\n";
  std::string scratch;
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
