#include "net/ping_result.h"

#include <bit>
#include <cstring>
#include <string>

#include "core/codepage.h"
#include "platform/netapi/echo_reply.h"

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
static_assert(decltype(PingResult::StatusText)::size() == kStatusTextSize);
static_assert(std::tuple_size_v<PingResult::Image> == 288);

}  // namespace

PingResult::Image PingResult::ToImage() const {
  Image image{};
  platform::EncodeEchoReplyHeader(
      {Address, Status, RoundTripTime, DataSize, Reserved, Data, Options}, image.data());
  const std::string text = ToCodePage(StatusText.View());
  std::memcpy(image.data() + kStatusTextOffset, text.data(), kStatusTextSize);
  Put(image, kPresentOffset, static_cast<std::uint16_t>(Present), 2);
  Put(image, kElapsedTimeOffset, std::bit_cast<std::uint64_t>(ElapsedTime), 8);
  return image;
}

PingResult PingResult::FromImage(const Image& image) {
  PingResult r;
  const platform::EchoReplyHeader header = platform::DecodeEchoReplyHeader(image.data());
  r.Address = header.Address;
  r.Status = header.Status;
  r.RoundTripTime = header.RoundTripTime;
  r.DataSize = header.DataSize;
  r.Reserved = header.Reserved;
  r.Data = header.Data;
  r.Options = header.Options;
  r.StatusText = FromCodePage(std::string_view(
      reinterpret_cast<const char*>(image.data() + kStatusTextOffset), kStatusTextSize));
  r.Present = static_cast<std::int16_t>(static_cast<std::uint16_t>(Get(image, kPresentOffset, 2)));
  r.ElapsedTime = std::bit_cast<double>(Get(image, kElapsedTimeOffset, 8));
  return r;
}

bool operator==(const PingResult& a, const PingResult& b) { return a.ToImage() == b.ToImage(); }

}  // namespace ps
