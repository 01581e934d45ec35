#include "net/ping_result.h"

#include <bit>
#include <cstring>
#include <string>

#include "core/codepage.h"

namespace ps {
namespace {

void Put(PingResult::Image& image, std::size_t offset, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) image[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t Get(const PingResult::Image& image, std::size_t offset, int width) {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) value |= static_cast<std::uint64_t>(image[offset + i]) << (8 * i);
  return value;
}

constexpr std::size_t kStatusTextSize = 250;
static_assert(PingResult::kStatusTextOffset + kStatusTextSize == PingResult::kPresentOffset);
static_assert(PingResult::kPresentOffset + 2 == PingResult::kElapsedTimeOffset);
static_assert(PingResult::kElapsedTimeOffset + 8 == PingResult::kImageSize);
static_assert(PingResult::kStatusTextOffset == platform::kEchoReplyHeaderSize);
static_assert(decltype(PingResult::StatusText)::size() == kStatusTextSize);
static_assert(std::tuple_size_v<PingResult::Image> == 288);

}  // namespace

PingResult::Image PingResult::ToImage() const {
  Image image{};
  // Address is already in network order: its bytes go as they lie in memory,
  // which on this little-endian layout is the same as a little-endian store.
  Put(image, kAddressOffset, Address, 4);
  Put(image, kStatusOffset, Status, 4);
  Put(image, kRoundTripTimeOffset, RoundTripTime, 4);
  Put(image, kDataSizeOffset, DataSize, 2);
  Put(image, kReservedOffset, Reserved, 2);
  Put(image, kDataOffset, Data, 4);
  image[kTtlOffset] = Options.Ttl;
  image[kTosOffset] = Options.Tos;
  image[kFlagsOffset] = Options.Flags;
  image[kOptionsSizeOffset] = Options.OptionsSize;
  Put(image, kOptionsDataOffset, Options.OptionsData, 4);
  const std::string text = ToCodePage(StatusText.View());
  std::memcpy(image.data() + kStatusTextOffset, text.data(), kStatusTextSize);
  Put(image, kPresentOffset, static_cast<std::uint16_t>(Present), 2);
  Put(image, kElapsedTimeOffset, std::bit_cast<std::uint64_t>(ElapsedTime), 8);
  return image;
}

PingResult PingResult::FromImage(const Image& image) {
  PingResult r;
  r.Address = static_cast<std::uint32_t>(Get(image, kAddressOffset, 4));
  r.Status = static_cast<std::uint32_t>(Get(image, kStatusOffset, 4));
  r.RoundTripTime = static_cast<std::uint32_t>(Get(image, kRoundTripTimeOffset, 4));
  r.DataSize = static_cast<std::uint16_t>(Get(image, kDataSizeOffset, 2));
  r.Reserved = static_cast<std::uint16_t>(Get(image, kReservedOffset, 2));
  r.Data = static_cast<std::uint32_t>(Get(image, kDataOffset, 4));
  r.Options.Ttl = image[kTtlOffset];
  r.Options.Tos = image[kTosOffset];
  r.Options.Flags = image[kFlagsOffset];
  r.Options.OptionsSize = image[kOptionsSizeOffset];
  r.Options.OptionsData = static_cast<std::uint32_t>(Get(image, kOptionsDataOffset, 4));
  r.StatusText = FromCodePage(std::string_view(
      reinterpret_cast<const char*>(image.data() + kStatusTextOffset), kStatusTextSize));
  r.Present = static_cast<std::int16_t>(static_cast<std::uint16_t>(Get(image, kPresentOffset, 2)));
  r.ElapsedTime = std::bit_cast<double>(Get(image, kElapsedTimeOffset, 8));
  return r;
}

bool operator==(const PingResult& a, const PingResult& b) { return a.ToImage() == b.ToImage(); }

}  // namespace ps
