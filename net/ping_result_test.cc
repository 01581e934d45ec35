#include "net/ping_result.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace ps {
namespace {

// A record with every field distinct from its neighbours and from zero, so a
// misplaced or mis-sized field shows.
PingResult Populated() {
  PingResult r;
  r.Address = 0x0401A8C0;  // 192.168.1.4 in network order
  r.Status = 0x11223344;
  r.RoundTripTime = 0x55667788;
  r.DataSize = 0x99AA;
  r.Reserved = 0xBBCC;
  r.Data = 0xDDEEFF01;
  r.Options = {0x02, 0x03, 0x04, 0x05, 0x06070809};
  std::u16string text = u"Présent €";
  for (int i = 0; text.size() < 250; ++i) text += static_cast<char16_t>(u'A' + i % 26);
  r.StatusText = text;
  r.Present = -1;
  r.ElapsedTime = -1234.5678e-3;
  return r;
}

TEST(PingResultTest, ImageLayoutByteForByte) {
  const PingResult::Image image = Populated().ToImage();
  static_assert(std::tuple_size_v<PingResult::Image> == 288);
  const std::uint8_t header[28] = {
      0xC0, 0xA8, 0x01, 0x04,  // Address: the address bytes in order
      0x44, 0x33, 0x22, 0x11,  // Status
      0x88, 0x77, 0x66, 0x55,  // RoundTripTime
      0xAA, 0x99, 0xCC, 0xBB,  // DataSize, Reserved
      0x01, 0xFF, 0xEE, 0xDD,  // Data
      0x02, 0x03, 0x04, 0x05,  // Ttl, Tos, Flags, OptionsSize
      0x09, 0x08, 0x07, 0x06,  // OptionsData
  };
  EXPECT_EQ(0, std::memcmp(image.data(), header, sizeof(header)));
  // StatusText in Windows-1252: é = E9, € = 80.
  const std::string text(reinterpret_cast<const char*>(image.data()) + 28, 250);
  EXPECT_EQ(text.substr(0, 12),
            "Pr\xE9sent \x80"
            "ABC");
  EXPECT_EQ(text.back(), 'A' + (250 - 9 - 1) % 26);  // 9 characters before the letters
  EXPECT_EQ(image[278], 0xFF);
  EXPECT_EQ(image[279], 0xFF);
  double elapsed;
  std::uint8_t le[8];
  std::memcpy(le, image.data() + 280, 8);
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = bits << 8 | le[i];
  std::memcpy(&elapsed, &bits, 8);
  EXPECT_EQ(elapsed, -1234.5678e-3);
}

TEST(PingResultTest, RoundTripIsExact) {
  const PingResult r = Populated();
  const PingResult back = PingResult::FromImage(r.ToImage());
  EXPECT_EQ(back.ToImage(), r.ToImage());
  EXPECT_EQ(back.StatusText, r.StatusText);
  EXPECT_EQ(back.Present, -1);
  EXPECT_EQ(back.Options.OptionsData, 0x06070809u);
  EXPECT_EQ(back.ElapsedTime, r.ElapsedTime);

  // Every byte value survives image -> record -> image.
  PingResult::Image image;
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 3);
  EXPECT_EQ(PingResult::FromImage(image).ToImage(), image);
}

TEST(PingResultTest, FreshRecordImage) {
  const PingResult::Image image = PingResult().ToImage();
  for (std::size_t i = 0; i < 28; ++i) EXPECT_EQ(image[i], 0) << i;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data()) + 28, 250),
            "FAILED" + std::string(244, ' '));
  for (std::size_t i = 278; i < 288; ++i) EXPECT_EQ(image[i], 0) << i;
}

TEST(PingResultTest, PresentZeroOrAllBits) {
  PingResult r;
  r.Present = 0;
  EXPECT_EQ(r.ToImage()[278], 0);
  PingResult::Image image = r.ToImage();
  image[278] = 0xFF;
  image[279] = 0xFF;
  EXPECT_EQ(PingResult::FromImage(image).Present, -1);
}

}  // namespace
}  // namespace ps
