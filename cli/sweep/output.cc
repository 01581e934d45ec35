#include "cli/sweep/output.h"

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "core/terminal_text.h"
#include "platform/inet/icmp_text.h"

namespace ps::cli {
namespace {

std::string Ms(std::int64_t ns) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.3f", ns / 1e6);
  return buf;
}

std::string Percent(const sweep::HostResult& r) {
  if (r.sent == 0) return "";
  char buf[16];
  std::snprintf(buf, sizeof(buf), "%.0f", 100.0 * (r.sent - r.received) / r.sent);
  return buf;
}

// ARP answers carry no IP header, so no TTL.
bool HasTtl(const sweep::HostResult& r) { return r.received > 0 && r.ttl > 0; }

std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string AddressText(const HostLine& h) {
  return h.result.address.ToString() + (h.zone.empty() ? "" : "%" + EscapeText(h.zone));
}

std::string RttText(const sweep::HostResult& r, int count) {
  if (r.received == 0) return "-";
  if (count <= 1) return Ms(r.rtt_sum_ns / r.received) + " ms";
  return Ms(r.rtt_min_ns) + "/" + Ms(r.rtt_sum_ns / r.received) + "/" + Ms(r.rtt_max_ns) + " ms";
}

void WriteText(std::ostream& out, const std::vector<HostLine>& hosts, int count) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> header = {"ADDRESS", "NAME", count > 1 ? "RTT MIN/AVG/MAX" : "RTT", "TTL"};
  if (count > 1) header.push_back("LOSS");
  bool any_status = false, any_mac = false;
  for (const HostLine& h : hosts) {
    any_status = any_status || h.result.outcome != sweep::Outcome::kAnswered;
    any_mac = any_mac || !h.mac.empty();
  }
  if (any_status) header.push_back("STATUS");
  if (any_mac) header.insert(header.end(), {"MAC", "VENDOR"});
  rows.push_back(header);
  for (const HostLine& h : hosts) {
    const sweep::HostResult& r = h.result;
    std::vector<std::string> row = {AddressText(h), h.name.empty() ? "-" : EscapeText(h.name),
                                    RttText(r, count),
                                    HasTtl(r) ? std::to_string(r.ttl) : "-"};
    if (count > 1) row.push_back(Percent(r) + "%");
    if (any_status) {
      const std::string error = ProbeFailureText(r);
      row.push_back(error.empty() ? StatusWord(r) : error);
    }
    if (any_mac) {
      row.push_back(h.mac.empty() ? "-" : h.mac);
      row.push_back(h.vendor.empty() ? "-" : EscapeText(h.vendor));
    }
    rows.push_back(std::move(row));
  }
  // Columns as a terminal shows them, not bytes: names may be wide or combining.
  std::vector<std::size_t> width(header.size(), 0);
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], DisplayWidth(row[i]));
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(width[i] - DisplayWidth(row[i]) + 2, ' ');
    }
    out << line << '\n';
  }
}

}  // namespace

std::string StatusWord(const sweep::HostResult& r) {
  switch (r.outcome) {
    case sweep::Outcome::kAnswered: return "answered";
    case sweep::Outcome::kError: return "error";
    case sweep::Outcome::kSilent: break;
  }
  return "silent";
}

std::string ProbeFailureText(const sweep::HostResult& r) {
  if (r.outcome != sweep::Outcome::kError) return "";
  if (r.error_type == 0) return std::string("send failed: ") + std::strerror(r.send_error);
  return platform::IcmpErrorText(r.address.family(), r.error_type, r.error_code) + " from " +
         r.error_from.ToString();
}

void WriteHosts(std::ostream& out, Format format, const std::vector<HostLine>& hosts, int count) {
  if (format == Format::kText) {
    WriteText(out, hosts, count);
    return;
  }
  if (format == Format::kCsv) {
    out << "address,name,status,rtt_ms,rtt_min_ms,rtt_avg_ms,rtt_max_ms,ttl,sent,received,"
           "loss_percent,duplicates,error,mac,vendor\r\n";
  }
  for (const HostLine& h : hosts) {
    const sweep::HostResult& r = h.result;
    const bool got = r.received > 0;
    const std::string avg = got ? Ms(r.rtt_sum_ns / r.received) : "";
    if (format == Format::kCsv) {
      out << CsvField(AddressText(h)) << ',' << CsvField(EscapeText(h.name)) << ',' << StatusWord(r)
          << ',' << avg << ',' << (got ? Ms(r.rtt_min_ns) : "") << ',' << avg << ',' << (got ? Ms(r.rtt_max_ns) : "") << ','
          << (HasTtl(r) ? std::to_string(r.ttl) : "") << ',' << r.sent << ',' << r.received << ','
          << Percent(r) << ',' << r.duplicates << ',' << CsvField(ProbeFailureText(r)) << ',' << h.mac
          << ',' << CsvField(EscapeText(h.vendor)) << "\r\n";
      continue;
    }
    nlohmann::ordered_json j;
    const auto number_or_null = [](bool present, double v) {
      return present ? nlohmann::ordered_json(v) : nlohmann::ordered_json(nullptr);
    };
    j["address"] = AddressText(h);
    j["name"] = h.name.empty() ? nlohmann::ordered_json(nullptr)
                               : nlohmann::ordered_json(EscapeText(h.name));
    j["status"] = StatusWord(r);
    j["rtt_ms"] = number_or_null(got, got ? r.rtt_sum_ns / 1e6 / r.received : 0);
    j["rtt_min_ms"] = number_or_null(got, r.rtt_min_ns / 1e6);
    j["rtt_avg_ms"] = number_or_null(got, got ? r.rtt_sum_ns / 1e6 / r.received : 0);
    j["rtt_max_ms"] = number_or_null(got, r.rtt_max_ns / 1e6);
    j["ttl"] = HasTtl(r) ? nlohmann::ordered_json(r.ttl) : nlohmann::ordered_json(nullptr);
    j["sent"] = r.sent;
    j["received"] = r.received;
    j["loss_percent"] = r.sent > 0 ? nlohmann::ordered_json(100.0 * (r.sent - r.received) / r.sent)
                                   : nlohmann::ordered_json(nullptr);
    j["duplicates"] = r.duplicates;
    const std::string error = ProbeFailureText(r);
    j["error"] = error.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(error);
    const auto text_or_null = [](const std::string& t) {
      return t.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(t);
    };
    j["mac"] = text_or_null(h.mac);
    j["vendor"] = text_or_null(h.vendor.empty() ? "" : EscapeText(h.vendor));
    out << j.dump() << '\n';
  }
}

std::string SummaryLine(const sweep::SweepSummary& summary) {
  char buf[128];
  std::snprintf(buf, sizeof(buf), "%llu of %llu hosts answered in %.2f s",
                static_cast<unsigned long long>(summary.answered),
                static_cast<unsigned long long>(summary.targets), summary.elapsed_ns / 1e9);
  return buf;
}

}  // namespace ps::cli
