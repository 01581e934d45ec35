// The system's ICMP echo service (iphlpapi), its reply mapped into the
// caller's 28-byte layout. The seam's names first: the system headers' macros
// (IP_SUCCESS, ...) would rewrite some of them.
#include "platform/netapi/echo_reply_map.h"
#include "platform/netapi/windows_net_services.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <string>
#include <vector>

namespace ps::platform {
namespace {

// Room for the system's record, the largest IP options and the echoed data.
constexpr DWORD kOptionsRoom = 40;
constexpr DWORD kErrorRoom = 8;  // the documented extra for an ICMP error

std::u16string SystemErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string out = u"ICMP echo requests cannot be sent: the system's echo service is "
                       u"unavailable (error ";
  for (char c : std::to_string(error)) out += static_cast<char16_t>(c);
  out += u")";
  if (n > 0 && text != nullptr) {
    std::u16string message(reinterpret_cast<const char16_t*>(text), n);
    while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r' ||
                                message.back() == u' ' || message.back() == u'.')) {
      message.pop_back();
    }
    out += u": " + message;
  }
  if (text != nullptr) LocalFree(text);
  return out + u".";
}

// The status of a send that brought no reply: the record's, else the error.
DWORD FailureStatus(const ICMP_ECHO_REPLY& record, DWORD error) {
  if (record.Status != 0) return record.Status;
  return error >= IP_STATUS_BASE && error <= IP_GENERAL_FAILURE ? error : IP_GENERAL_FAILURE;
}

}  // namespace

IcmpHandle WindowsEchoService::IcmpCreateFile() {
  const HANDLE handle = ::IcmpCreateFile();
  std::lock_guard<std::mutex> lock(mu_);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    last_error_ = SystemErrorText(GetLastError());
    return 0;
  }
  last_error_.clear();
  return reinterpret_cast<IcmpHandle>(handle);
}

bool WindowsEchoService::IcmpCloseHandle(IcmpHandle IcmpHandle) {
  return ::IcmpCloseHandle(reinterpret_cast<HANDLE>(IcmpHandle)) != FALSE;
}

std::u16string WindowsEchoService::LastErrorText() {
  std::lock_guard<std::mutex> lock(mu_);
  return last_error_;
}

DWORD WindowsEchoService::IcmpSendEcho(IcmpHandle IcmpHandle, IPAddr DestinationAddress,
                                       const void* RequestData, WORD RequestSize,
                                       const IP_OPTION_INFORMATION* RequestOptions,
                                       void* ReplyBuffer, DWORD ReplySize, DWORD Timeout) {
  if (ReplyBuffer == nullptr) return 0;
  // The seam's record carries no pointer to IP options: none are sent.
  ::IP_OPTION_INFORMATION options{};
  if (RequestOptions != nullptr) {
    options.Ttl = RequestOptions->Ttl;
    options.Tos = RequestOptions->Tos;
    options.Flags = RequestOptions->Flags;
  }
  std::vector<unsigned char> reply(sizeof(ICMP_ECHO_REPLY) + kOptionsRoom + kErrorRoom +
                                   (ReplySize > RequestSize ? ReplySize : RequestSize));
  const DWORD replies = ::IcmpSendEcho(
      reinterpret_cast<HANDLE>(IcmpHandle), DestinationAddress, const_cast<void*>(RequestData),
      RequestSize, RequestOptions != nullptr ? &options : nullptr, reply.data(),
      static_cast<DWORD>(reply.size()), Timeout);
  const DWORD error = GetLastError();
  const auto& record = *reinterpret_cast<const ICMP_ECHO_REPLY*>(reply.data());
  ServiceEchoReply mapped;
  mapped.address = record.Address;
  mapped.status = record.Status;
  mapped.round_trip_ms = record.RoundTripTime;
  mapped.data = static_cast<const std::uint8_t*>(record.Data);
  mapped.data_size = record.DataSize;
  mapped.options = {record.Options.Ttl, record.Options.Tos, record.Options.Flags,
                    record.Options.OptionsSize, 0};
  mapped.options_data = record.Options.OptionsData;
  const bool replied = replies > 0 && record.Status == IP_SUCCESS;
  if (!replied) mapped.status = FailureStatus(record, error);
  return MapEchoReply(mapped, replied, ReplyBuffer, ReplySize) && replied ? 1 : 0;
}

}  // namespace ps::platform
