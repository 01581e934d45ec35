#include "platform/netapi/echo_reply_map.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace ps::platform {
namespace {

constexpr std::uint8_t kUntouched = 0xA5;
using Buffer = std::array<std::uint8_t, 288>;

TEST(MapEchoReplyTest, ReplyFailureAndTooSmallBuffer) {
  const std::uint8_t data[37] = "Ping from KORVEL Datatronics softwar";
  const std::uint8_t options[5] = {0x94, 0x04, 0, 0, 0x01};  // router alert, one NOP
  struct Case {
    const char* what;
    bool replied;
    const std::uint8_t* options;
    std::uint8_t options_size;
    DWORD size;
    bool ok;
    DWORD status, data_at;
    std::size_t untouched_from;
  } cases[] = {
      {"reply", true, nullptr, 0, 288, true, 0, 28, 28 + 37},
      {"reply with options: padded to 8", true, options, 5, 288, true, 0, 36, 36 + 37},
      {"time-out: the header alone", false, nullptr, 0, 288, true, 11010, 0, 28},
      {"data one byte too many", true, nullptr, 0, 28 + 36, false, 11001, 0, 28},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Buffer b;
    b.fill(kUntouched);
    ServiceEchoReply r;
    r.address = 0x0100007F;
    r.status = c.replied ? 0 : 11010;
    r.round_trip_ms = c.replied ? 3 : 0;
    r.data = data;
    r.data_size = sizeof data;
    r.options = {255, 0, IP_FLAG_DF, c.options_size, 0};
    r.options_data = c.options;
    EXPECT_EQ(MapEchoReply(r, c.replied, b.data(), c.size), c.ok);
    const EchoReplyHeader h = DecodeEchoReplyHeader(b.data());
    EXPECT_EQ(h.Address, 0x0100007Fu);
    EXPECT_EQ(h.Status, c.status);
    EXPECT_EQ(h.Data, c.data_at);
    for (std::size_t i = c.untouched_from; i < b.size(); ++i)
      ASSERT_EQ(b[i], kUntouched) << "byte " << i;
    if (c.replied && c.ok) {
      EXPECT_EQ(h.RoundTripTime, 3u);
      EXPECT_EQ(h.DataSize, 37);
      EXPECT_EQ(h.Options.Ttl, 255);
      EXPECT_EQ(h.Options.Flags, IP_FLAG_DF);
      EXPECT_EQ(h.Options.OptionsSize, c.options_size);
      EXPECT_EQ(h.Options.OptionsData, 28u);
      EXPECT_EQ(std::memcmp(b.data() + c.data_at, data, 37), 0);
      if (c.options_size > 0) {
        EXPECT_EQ(std::memcmp(b.data() + 28, options, 5), 0);
        EXPECT_EQ(b[33], 0);  // padding
      }
    } else {
      EXPECT_EQ(h.DataSize, 0);
      EXPECT_EQ(h.Options.Ttl, 0);
    }
  }
}

}  // namespace
}  // namespace ps::platform
