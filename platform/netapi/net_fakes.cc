#include "platform/netapi/net_fakes.h"

#ifdef _WIN32
#include <winsock2.h>
// The system's MessageBox macro would rename the seam's member.
#undef MessageBox
#else
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <cstring>

#include "platform/netapi/echo_reply.h"

namespace ps::platform {
namespace {

// Days in each month of a non-leap year, for the clock's carry.
int DaysIn(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

IPAddr Ipv4(unsigned a, unsigned b, unsigned c, unsigned d) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                                 static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(d)};
  IPAddr address;
  std::memcpy(&address, bytes, 4);
  return address;
}

int FakeSocketLayer::WSAStartup(WORD wVersionRequested, WSADATA* lpWSAData) {
  ++wsastartup_calls;
  requested_versions.push_back(wVersionRequested);
  if (startup_result_ != 0) return startup_result_;
  if (lpWSAData != nullptr) {
    lpWSAData->wVersion = wVersionRequested;
    lpWSAData->wHighVersion = wVersionRequested;
  }
  started_ = true;
  return 0;
}

IPAddr FakeSocketLayer::inet_addr(const char* cp) {
  inet_addr_texts.emplace_back(cp == nullptr ? "" : cp);
  return cp == nullptr ? kInaddrNone : ::inet_addr(cp);
}

const HOSTENT* FakeSocketLayer::gethostbyaddr(const char* addr, int len, int type) {
  looked_up_lengths.push_back(len);
  looked_up_types.push_back(type);
  if (addr == nullptr || len != 4) return nullptr;
  IPAddr address;
  std::memcpy(&address, addr, 4);
  looked_up.push_back(address);
  if (!started_ || type != AF_INET_) return nullptr;
  const auto it = names_.find(address);
  if (it == names_.end()) return nullptr;
  name_storage_ = it->second;  // std::string keeps a NUL after the bytes
  addr_storage_ = address;
  addr_list_[0] = reinterpret_cast<char*>(&addr_storage_);
  entry_ = HOSTENT{name_storage_.data(), aliases_, AF_INET_, 4, addr_list_};
  return &entry_;
}

IcmpHandle FakeEchoService::IcmpCreateFile() {
  ++creates;
  if (!unavailable_reason_.empty()) {
    last_create_failed_ = true;
    return 0;
  }
  last_create_failed_ = false;
  const IcmpHandle handle = next_handle_++;
  open_.insert(handle);
  return handle;
}

bool FakeEchoService::IcmpCloseHandle(IcmpHandle IcmpHandle) {
  ++closes;
  return open_.erase(IcmpHandle) == 1;
}

std::u16string FakeEchoService::LastErrorText() {
  return last_create_failed_ ? unavailable_reason_ : std::u16string();
}

DWORD FakeEchoService::IcmpSendEcho(IcmpHandle IcmpHandle, IPAddr DestinationAddress,
                                    const void* RequestData, WORD RequestSize,
                                    const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
                                    DWORD ReplySize, DWORD Timeout) {
  Send send{IcmpHandle,
            DestinationAddress,
            std::string(static_cast<const char*>(RequestData), RequestSize),
            RequestOptions != nullptr,
            RequestOptions != nullptr ? *RequestOptions : IP_OPTION_INFORMATION{},
            ReplySize,
            Timeout};
  sends.push_back(send);
  if (on_send) on_send(send);
  if (open_.count(IcmpHandle) == 0 || ReplyBuffer == nullptr ||
      ReplySize < kEchoReplyHeaderSize + RequestSize) {
    return 0;
  }
  const auto it = scripts_.find(DestinationAddress);
  const EchoScript script = it == scripts_.end() ? EchoScript::Silent() : it->second;
  const bool answers = script.kind == EchoScript::Kind::kReply && script.delay_ms < Timeout;
  if (clock_ != nullptr) clock_->AdvanceMs(answers ? script.delay_ms : Timeout);
  if (script.kind == EchoScript::Kind::kError) {
    EncodeEchoReplyHeader(FailureHeader(script.error_status), ReplyBuffer);
    return 0;
  }
  if (!answers) {
    EncodeEchoReplyHeader(FailureHeader(IP_REQ_TIMED_OUT), ReplyBuffer);
    return 0;
  }
  const std::string data = script.echo_request ? send.request : script.data;
  if (kEchoReplyHeaderSize + data.size() > ReplySize) {
    EncodeEchoReplyHeader(FailureHeader(IP_BUF_TOO_SMALL), ReplyBuffer);
    return 0;
  }
  EchoReplyHeader reply;
  reply.Address = DestinationAddress;
  reply.Status = IP_SUCCESS;
  reply.RoundTripTime = script.delay_ms;
  reply.DataSize = static_cast<WORD>(data.size());
  reply.Data = kEchoReplyHeaderSize;
  reply.Options = {kReplyTtl, 0, 0, 0, kEchoReplyHeaderSize};
  EncodeEchoReplyHeader(reply, ReplyBuffer);
  std::memcpy(static_cast<char*>(ReplyBuffer) + kEchoReplyHeaderSize, data.data(), data.size());
  return 1;
}

FakeSystemClock::FakeSystemClock() : now_{2024, 3, 2, 12, 10, 20, 30, 400} {}  // Tue 2024-03-12 10:20:30.400

void FakeSystemClock::GetSystemTime(SYSTEMTIME* lpSystemTime) {
  ++readings;
  *lpSystemTime = now_;
}

void FakeSystemClock::AdvanceMs(std::int64_t ms) {
  // Forward only, with carries up to the year: enough for tests.
  std::int64_t total = now_.wMilliseconds + std::max<std::int64_t>(ms, 0);
  now_.wMilliseconds = static_cast<WORD>(total % 1000);
  total = now_.wSecond + total / 1000;
  now_.wSecond = static_cast<WORD>(total % 60);
  total = now_.wMinute + total / 60;
  now_.wMinute = static_cast<WORD>(total % 60);
  total = now_.wHour + total / 60;
  now_.wHour = static_cast<WORD>(total % 24);
  for (std::int64_t days = total / 24; days > 0; --days) {
    now_.wDayOfWeek = static_cast<WORD>((now_.wDayOfWeek + 1) % 7);
    if (++now_.wDay > DaysIn(now_.wYear, now_.wMonth)) {
      now_.wDay = 1;
      if (++now_.wMonth > 12) {
        now_.wMonth = 1;
        ++now_.wYear;
      }
    }
  }
}

void FakeWindowSystem::MessageBox(std::u16string_view text, std::uint32_t uType) {
  boxes.push_back({std::u16string(text), uType});
}

void FakeWindowSystem::DoEvents() {
  ++do_events_calls;
  if (on_do_events) on_do_events();
}

}  // namespace ps::platform
