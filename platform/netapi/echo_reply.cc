#include "platform/netapi/echo_reply.h"

#include <cstdint>
#include <cstring>

namespace ps::platform {
namespace {

constexpr std::size_t kAddressOffset = 0;
constexpr std::size_t kStatusOffset = 4;
constexpr std::size_t kRoundTripTimeOffset = 8;
constexpr std::size_t kDataSizeOffset = 12;
constexpr std::size_t kReservedOffset = 14;
constexpr std::size_t kDataOffset = 16;
constexpr std::size_t kTtlOffset = 20;
constexpr std::size_t kTosOffset = 21;
constexpr std::size_t kFlagsOffset = 22;
constexpr std::size_t kOptionsSizeOffset = 23;
constexpr std::size_t kOptionsDataOffset = 24;
static_assert(kOptionsDataOffset + 4 == kEchoReplyHeaderSize);

void PutLe(std::uint8_t* p, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t GetLe(const std::uint8_t* p, int width) {
  std::uint32_t value = 0;
  for (int i = 0; i < width; ++i) value |= static_cast<std::uint32_t>(p[i]) << (8 * i);
  return value;
}

}  // namespace

void EncodeEchoReplyHeader(const EchoReplyHeader& header, void* buffer) {
  auto* p = static_cast<std::uint8_t*>(buffer);
  std::memcpy(p + kAddressOffset, &header.Address, 4);
  PutLe(p + kStatusOffset, header.Status, 4);
  PutLe(p + kRoundTripTimeOffset, header.RoundTripTime, 4);
  PutLe(p + kDataSizeOffset, header.DataSize, 2);
  PutLe(p + kReservedOffset, header.Reserved, 2);
  PutLe(p + kDataOffset, header.Data, 4);
  p[kTtlOffset] = header.Options.Ttl;
  p[kTosOffset] = header.Options.Tos;
  p[kFlagsOffset] = header.Options.Flags;
  p[kOptionsSizeOffset] = header.Options.OptionsSize;
  PutLe(p + kOptionsDataOffset, header.Options.OptionsData, 4);
}

EchoReplyHeader DecodeEchoReplyHeader(const void* buffer) {
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  EchoReplyHeader header;
  std::memcpy(&header.Address, p + kAddressOffset, 4);
  header.Status = GetLe(p + kStatusOffset, 4);
  header.RoundTripTime = GetLe(p + kRoundTripTimeOffset, 4);
  header.DataSize = static_cast<WORD>(GetLe(p + kDataSizeOffset, 2));
  header.Reserved = static_cast<WORD>(GetLe(p + kReservedOffset, 2));
  header.Data = GetLe(p + kDataOffset, 4);
  header.Options.Ttl = p[kTtlOffset];
  header.Options.Tos = p[kTosOffset];
  header.Options.Flags = p[kFlagsOffset];
  header.Options.OptionsSize = p[kOptionsSizeOffset];
  header.Options.OptionsData = GetLe(p + kOptionsDataOffset, 4);
  return header;
}

}  // namespace ps::platform
