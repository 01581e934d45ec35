#include "watch/event.h"

#include <chrono>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "core/terminal_text.h"

namespace ps::watch {

std::string_view KindWord(EventKind kind) {
  switch (kind) {
    case EventKind::kNew:
      return "new";
    case EventKind::kOnline:
      return "online";
    case EventKind::kOffline:
      return "offline";
    case EventKind::kAddress:
      return "address";
    case EventKind::kConflict:
      return "conflict";
    case EventKind::kName:
      return "name";
    case EventKind::kFull:
      return "full";
  }
  return "?";
}

std::string Iso8601(UnixMs time) {
  using namespace std::chrono;
  const sys_time<milliseconds> t{milliseconds{time}};
  const sys_days day = floor<days>(t);
  const year_month_day ymd{day};
  const hh_mm_ss hms{t - day};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<int>(hms.hours().count()),
                static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()),
                static_cast<int>(hms.subseconds().count()));
  return buf;
}

namespace {

std::string Text(const std::optional<IpAddress>& a) { return a ? a->ToString() : ""; }
std::string Text(const std::optional<MacAddress>& m) { return m ? m->ToString() : ""; }

// " name 'x' (source)" and " vendor 'y'" when known.
void AppendNameAndVendor(std::string& out, const Event& e) {
  if (!e.name.empty()) out += " name " + QuoteText(e.name) + " (" + EscapeText(e.source) + ")";
  if (!e.vendor.empty()) out += " vendor " + QuoteText(e.vendor);
}

}  // namespace

std::string EventText(const Event& e) {
  std::string out = Iso8601(e.time);
  out += e.warning() ? " warning: " : " ";
  out += KindWord(e.kind);
  if (e.kind == EventKind::kFull) {
    return out + " inventory holds " + std::to_string(e.count) +
           " devices, its cap: new devices are not tracked";
  }
  if (e.kind == EventKind::kConflict) {
    return out + ' ' + Text(e.address) + ' ' + Text(e.mac) + " (was " + Text(e.previous_mac) + ')';
  }
  out += ' ' + e.device;
  if (e.address && e.device != DeviceId(*e.address)) out += ' ' + Text(e.address);
  switch (e.kind) {
    case EventKind::kNew:
      AppendNameAndVendor(out, e);
      break;
    case EventKind::kAddress:
      if (e.previous_address) out += " (was " + Text(e.previous_address) + ')';
      break;
    case EventKind::kName:
      out += ' ' + QuoteText(e.name) + " (" + EscapeText(e.source) + ", was " +
             QuoteText(e.previous_name) + ')';
      break;
    default:
      break;
  }
  return out;
}

std::string EventJson(const Event& e) {
  using Json = nlohmann::ordered_json;
  const auto text_or_null = [](const std::string& s) {
    return s.empty() ? Json(nullptr) : Json(s);
  };
  Json j;
  j["time"] = Iso8601(e.time);
  j["event"] = KindWord(e.kind);
  j["warning"] = e.warning();
  j["device"] = text_or_null(e.device);
  j["mac"] = text_or_null(Text(e.mac));
  j["address"] = text_or_null(Text(e.address));
  j["previous_address"] = text_or_null(Text(e.previous_address));
  j["previous_mac"] = text_or_null(Text(e.previous_mac));
  j["name"] = text_or_null(EscapeText(e.name));
  j["previous_name"] = text_or_null(EscapeText(e.previous_name));
  j["source"] = text_or_null(EscapeText(e.source));
  j["vendor"] = text_or_null(EscapeText(e.vendor));
  if (e.kind == EventKind::kFull) j["count"] = e.count;
  return j.dump();
}

}  // namespace ps::watch
