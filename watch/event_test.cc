#include "watch/event.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/netapi/net_fakes.h"
#include "watch/watcher.h"

namespace ps::watch {
namespace {

TEST(WatchEventTest, Iso8601AndTheWallClock) {
  const struct {
    UnixMs time;
    const char* text;
  } cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {-1, "1969-12-31T23:59:59.999Z"},
      {951868799999, "2000-02-29T23:59:59.999Z"},
      {1798675200001, "2026-12-31T00:00:00.001Z"},
      {1710238830400, "2024-03-12T10:20:30.400Z"},
  };
  for (const auto& c : cases) EXPECT_EQ(Iso8601(c.time), c.text) << c.time;
  platform::FakeSystemClock wall;
  platform::SYSTEMTIME t{};
  wall.GetSystemTime(&t);
  EXPECT_EQ(ToUnixMs(t), 1710238830400);
  wall.AdvanceMs(20 * 86'400'000LL + 1);  // across the end of March
  wall.GetSystemTime(&t);
  EXPECT_EQ(Iso8601(ToUnixMs(t)), "2024-04-01T10:20:30.401Z");
}

TEST(WatchEventTest, TextLinesAndJsonEscapeOutsideText) {
  const auto mac = [](std::uint8_t last) {
    return MacAddress{{0x00, 0x11, 0x22, 0x33, 0x44, last}};
  };
  const auto ip = [](const char* text) { return IpAddress::Parse(text); };
  const auto make = [](EventKind kind, UnixMs time, std::string device, std::optional<MacAddress> m,
                       std::optional<IpAddress> address) {
    Event e;
    e.kind = kind;
    e.time = time;
    e.device = std::move(device);
    e.mac = m;
    e.address = address;
    return e;
  };
  Event fresh =
      make(EventKind::kNew, 1710238830400, "00:11:22:33:44:41", mac(0x41), ip("10.0.0.1"));
  fresh.name = "ev\x1B[31mil\n";
  fresh.source = "dhcp";
  fresh.vendor = "Acme \xFF";
  Event moved = make(EventKind::kAddress, 0, "00:11:22:33:44:41", mac(0x41), ip("10.0.0.2"));
  moved.previous_address = ip("10.0.0.1");
  Event conflict = make(EventKind::kConflict, 0, "00:11:22:33:44:42", mac(0x42), ip("10.0.0.1"));
  conflict.previous_mac = mac(0x41);
  Event renamed = make(EventKind::kName, 0, "00:11:22:33:44:41", mac(0x41), ip("10.0.0.1"));
  renamed.name =
      "a\xE2\x80\xAE"
      "b";  // U+202E reorders what follows
  renamed.previous_name = "nas";
  renamed.source = "dns";
  const Event far = make(EventKind::kOffline, 0, "ip:192.0.2.7", std::nullopt, ip("192.0.2.7"));
  Event full = make(EventKind::kFull, 0, "", std::nullopt, std::nullopt);
  full.count = 65536;

  const struct {
    Event event;
    std::string text, json;
  } cases[] = {
      {fresh,
       "2024-03-12T10:20:30.400Z new 00:11:22:33:44:41 10.0.0.1 name 'ev\\x1B[31mil\\x0A' (dhcp) "
       "vendor 'Acme \\xFF'",
       R"({"time":"2024-03-12T10:20:30.400Z","event":"new","warning":false,)"
       R"("device":"00:11:22:33:44:41","mac":"00:11:22:33:44:41","address":"10.0.0.1",)"
       R"("previous_address":null,"previous_mac":null,"name":"ev\\x1B[31mil\\x0A",)"
       R"("previous_name":null,"source":"dhcp","vendor":"Acme \\xFF"})"},
      {moved, "1970-01-01T00:00:00.000Z address 00:11:22:33:44:41 10.0.0.2 (was 10.0.0.1)", ""},
      {conflict,
       "1970-01-01T00:00:00.000Z warning: conflict 10.0.0.1 00:11:22:33:44:42 "
       "(was 00:11:22:33:44:41)",
       ""},
      {renamed,
       "1970-01-01T00:00:00.000Z name 00:11:22:33:44:41 10.0.0.1 'a\\xE2\\x80\\xAEb' (dns, was "
       "'nas')",
       ""},
      {far, "1970-01-01T00:00:00.000Z offline ip:192.0.2.7", ""},
      {full,
       "1970-01-01T00:00:00.000Z warning: full inventory holds 65536 devices, its cap: new "
       "devices are not tracked",
       R"({"time":"1970-01-01T00:00:00.000Z","event":"full","warning":true,"device":null,)"
       R"("mac":null,"address":null,"previous_address":null,"previous_mac":null,"name":null,)"
       R"("previous_name":null,"source":null,"vendor":null,"count":65536})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EventText(c.event), c.text);
    const std::string json = EventJson(c.event);
    if (!c.json.empty()) {
      EXPECT_EQ(json, c.json);
    }
    const auto parsed = nlohmann::json::parse(json);  // one valid object, one line
    EXPECT_EQ(json.find('\n'), std::string::npos);
    EXPECT_EQ(parsed.at("event"), KindWord(c.event.kind));
    EXPECT_EQ(parsed.at("warning"), c.event.warning());
  }
}

}  // namespace
}  // namespace ps::watch
