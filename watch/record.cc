#include "watch/record.h"

#include <cstdio>
#include <exception>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core/terminal_text.h"
#include "watch/record_fast.h"

namespace ps::watch {
namespace {

using Json = nlohmann::json;

Json TextJson(const std::string& text) {
  try {
    (void)Json(text).dump();  // throws on bytes that are not UTF-8
    return text;
  } catch (const Json::type_error&) {
    std::string hex;
    for (const char c : text) {
      char buf[3];
      std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(c));
      hex += buf;
    }
    return Json{{"hex", hex}};
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  throw std::invalid_argument("not a hex digit");
}

std::string JsonText(const Json& j) {
  if (j.is_string()) return j.get<std::string>();
  const std::string hex = j.at("hex").get<std::string>();
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex");
  std::string text;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    text.push_back(static_cast<char>(HexDigit(hex[i]) << 4 | HexDigit(hex[i + 1])));
  }
  return text;
}

// What every record must keep to, however it was read; throws when it does not.
void Check(const Device& d) {
  if (d.mac && DeviceId(*d.mac) != d.id) throw std::invalid_argument("mac");
  if (!d.mac && (d.addresses.empty() || DeviceId(d.addresses.front().address) != d.id)) {
    throw std::invalid_argument("id");
  }
  if (d.addresses.size() > kMaxAddresses || d.names.size() > kMaxNames || d.missed < 0) {
    throw std::invalid_argument("bounds");
  }
}

// The whole decoding; throws on anything out of place.
Device Decode(std::string_view id, const Json& j) {
  Device d;
  d.id = std::string(id);
  if (j.contains("mac")) {
    d.mac = MacAddress::Parse(j.at("mac").get<std::string>());
    if (!d.mac) throw std::invalid_argument("mac");
  }
  d.first_seen = j.at("first_seen").get<UnixMs>();
  d.last_seen = j.at("last_seen").get<UnixMs>();
  for (const Json& a : j.at("addresses")) {
    const auto address = IpAddress::Parse(a.at(0).get<std::string>());
    if (!address) throw std::invalid_argument("address");
    d.addresses.push_back({*address, a.at(1).get<UnixMs>()});
  }
  for (const Json& n : j.at("names")) d.names.push_back({JsonText(n.at(0)), JsonText(n.at(1))});
  d.vendor = JsonText(j.at("vendor"));
  d.randomized = j.at("randomized").get<bool>();
  d.online = j.at("online").get<bool>();
  if (const auto it = j.find("missed"); it != j.end()) d.missed = it->get<int>();
  return d;
}

}  // namespace

std::string EncodeDevice(const Device& d) {
  Json j;
  if (d.mac) j["mac"] = d.mac->ToString();
  j["first_seen"] = d.first_seen;
  j["last_seen"] = d.last_seen;
  j["addresses"] = Json::array();
  for (const SeenAddress& a : d.addresses) {
    j["addresses"].push_back(Json::array({a.address.ToString(), a.last_seen}));
  }
  j["names"] = Json::array();
  for (const NameBy& n : d.names) {
    j["names"].push_back(Json::array({TextJson(n.source), TextJson(n.name)}));
  }
  j["vendor"] = TextJson(d.vendor);
  j["randomized"] = d.randomized;
  j["online"] = d.online;
  if (d.missed != 0) j["missed"] = d.missed;
  return j.dump();
}

Result<Device> DecodeDevice(std::string_view id, std::string_view record) {
  try {
    std::optional<Device> plain = internal::ReadPlainRecord(record);
    Device d = plain ? std::move(*plain) : Decode(id, Json::parse(record));
    d.id = std::string(id);
    Check(d);
    return d;
  } catch (const std::exception&) {
    return Status::Failure("the stored record of " + QuoteText(id) + " is damaged");
  }
}

}  // namespace ps::watch
