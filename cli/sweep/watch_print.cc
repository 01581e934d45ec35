#include "cli/sweep/watch_print.h"

#include <algorithm>
#include <ostream>

#include <nlohmann/json.hpp>

#include "cli/sweep/run.h"
#include "core/terminal_text.h"
#include "watch/event.h"

namespace ps::cli {
namespace {

using Json = nlohmann::ordered_json;

std::string Addresses(const watch::Device& d) {
  std::string out;
  for (const watch::SeenAddress& a : d.addresses)
    out += (out.empty() ? "" : " ") + a.address.ToString();
  return out;
}

// "'nas' (dns), 'NAS-1' (dhcp)", escaped.
std::string Names(const watch::Device& d) {
  std::string out;
  for (const watch::NameBy& n : d.names) {
    out += (out.empty() ? "" : ", ") + QuoteText(n.name) + " (" + EscapeText(n.source) + ")";
  }
  return out;
}

std::string Csv(const std::string& field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string out = "\"";
  for (const char c : field) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string JsonLine(const watch::Device& d) {
  Json j;
  j["device"] = d.id;
  j["mac"] = d.mac ? Json(d.mac->ToString()) : Json(nullptr);
  j["addresses"] = Json::array();
  for (const watch::SeenAddress& a : d.addresses) {
    j["addresses"].push_back(
        {{"address", a.address.ToString()}, {"last_seen", watch::Iso8601(a.last_seen)}});
  }
  j["names"] = Json::array();
  for (const watch::NameBy& n : d.names) {
    j["names"].push_back({{"source", EscapeText(n.source)}, {"name", EscapeText(n.name)}});
  }
  j["vendor"] = d.vendor.empty() ? Json(nullptr) : Json(EscapeText(d.vendor));
  j["randomized"] = d.randomized;
  j["online"] = d.online;
  j["first_seen"] = watch::Iso8601(d.first_seen);
  j["last_seen"] = watch::Iso8601(d.last_seen);
  return j.dump();
}

void WriteDevice(std::ostream& out, Format format, const watch::Device& d) {
  const std::string state = d.online ? "online" : "offline";
  switch (format) {
    case Format::kJson:
      out << JsonLine(d) << "\n";
      return;
    case Format::kCsv:
      out << Csv(d.id) << ',' << (d.mac ? d.mac->ToString() : "") << ',' << Csv(Addresses(d)) << ','
          << Csv(Names(d)) << ',' << Csv(EscapeText(d.vendor)) << ','
          << (d.randomized ? "yes" : "no") << ',' << state << ',' << watch::Iso8601(d.first_seen)
          << ',' << watch::Iso8601(d.last_seen) << "\n";
      return;
    case Format::kText:
      out << d.id << "  " << state << "  " << (d.addresses.empty() ? "-" : Addresses(d));
      if (!d.names.empty()) out << "  " << Names(d);
      if (!d.vendor.empty()) out << "  vendor " << QuoteText(d.vendor);
      if (d.randomized) out << "  randomized";
      out << "  first " << watch::Iso8601(d.first_seen) << "  last " << watch::Iso8601(d.last_seen)
          << "\n";
      return;
  }
}

}  // namespace

int PrintInventory(const RunContext& run, const watch::InventoryStore& store) {
  Result<watch::InventoryStore::Loaded> loaded = store.Load();
  if (!loaded.ok()) {
    run.err() << run.prefix << loaded.status().ToString() << "\n";
    return kSystemFailure;
  }
  std::vector<watch::Device>& devices = loaded->devices;
  std::sort(devices.begin(), devices.end(),
            [](const watch::Device& a, const watch::Device& b) { return a.id < b.id; });
  std::ostream& out = *run.streams.out;
  if (run.options.format == Format::kCsv) {
    out << "device,mac,addresses,names,vendor,randomized,online,first_seen,last_seen\n";
  }
  for (const watch::Device& d : devices) WriteDevice(out, run.options.format, d);
  run.err() << run.prefix << devices.size() << " device" << (devices.size() == 1 ? "" : "s")
            << " in the inventory";
  if (loaded->damaged > 0) run.err() << ", " << loaded->damaged << " damaged records left out";
  run.err() << "\n";
  return kAnswered;
}

}  // namespace ps::cli
