// One host as a JSON Lines record: every field always present, null where
// there is nothing to say.
#include <nlohmann/json.hpp>

#include "cli/sweep/output.h"
#include "core/terminal_text.h"

namespace ps::cli {
namespace {

// What the name sources found: every source's name, the services, the model
// and the kind; null (services: []) when none was asked.
void AddNameFields(nlohmann::ordered_json& j, const HostLine& h) {
  nlohmann::ordered_json names = nlohmann::ordered_json::object();
  for (const auto& [source, name] : h.names) names[source] = EscapeText(name);
  j["names"] = std::move(names);
  nlohmann::ordered_json services = nlohmann::ordered_json::array();
  for (const std::string& s : h.services) services.push_back(EscapeText(s));
  j["services"] = std::move(services);
  j["model"] = h.model.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(EscapeText(h.model));
  j["kind"] = h.kind.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(h.kind);
  j["workgroup"] = h.workgroup.empty() ? nlohmann::ordered_json(nullptr)
                                       : nlohmann::ordered_json(EscapeText(h.workgroup));
}

}  // namespace

void WriteJsonLine(std::ostream& out, const HostLine& h) {
  const sweep::HostResult& r = h.result;
  const bool got = r.received > 0;
  nlohmann::ordered_json j;
  const auto number_or_null = [](bool present, double v) {
    return present ? nlohmann::ordered_json(v) : nlohmann::ordered_json(nullptr);
  };
  const auto text_or_null = [](const std::string& t) {
    return t.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(t);
  };
  j["address"] = AddressText(h);
  j["name"] = text_or_null(h.name.empty() ? "" : EscapeText(h.name));
  j["name_source"] = text_or_null(h.name_source);
  j["status"] = StatusWord(r);
  j["rtt_ms"] = number_or_null(got, got ? r.rtt_sum_ns / 1e6 / r.received : 0);
  j["rtt_min_ms"] = number_or_null(got, r.rtt_min_ns / 1e6);
  j["rtt_avg_ms"] = number_or_null(got, got ? r.rtt_sum_ns / 1e6 / r.received : 0);
  j["rtt_max_ms"] = number_or_null(got, r.rtt_max_ns / 1e6);
  // ARP answers carry no IP header, so no TTL.
  j["ttl"] = r.received > 0 && r.ttl > 0 ? nlohmann::ordered_json(r.ttl) : nlohmann::ordered_json(nullptr);
  j["sent"] = r.sent;
  j["received"] = r.received;
  j["loss_percent"] = r.sent > 0 ? nlohmann::ordered_json(100.0 * (r.sent - r.received) / r.sent)
                                 : nlohmann::ordered_json(nullptr);
  j["duplicates"] = r.duplicates;
  j["error"] = text_or_null(ProbeFailureText(r));
  j["mac"] = text_or_null(h.mac);
  j["vendor"] = text_or_null(h.vendor.empty() ? "" : EscapeText(h.vendor));
  j["via"] = text_or_null(ViaText(r));
  AddNameFields(j, h);
  out << j.dump() << '\n';
}

}  // namespace ps::cli
