// Test doubles for the network seam: scriptable fakes of every service. None
// touches the network.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/netapi/net_services.h"

namespace ps::platform {

// Network-order address of a literal a.b.c.d, for readable tests.
IPAddr Ipv4(unsigned a, unsigned b, unsigned c, unsigned d);

// A socket layer with a settable start-up result and a table of names.
// inet_addr is the platform's parser. Like the real layer, gethostbyaddr answers
// null until a WSAStartup has succeeded.
class FakeSocketLayer : public SocketLayer {
 public:
  int WSAStartup(WORD wVersionRequested, WSADATA* lpWSAData) override;
  IPAddr inet_addr(const char* cp) override;
  const HOSTENT* gethostbyaddr(const char* addr, int len, int type) override;

  void set_startup_result(int result) { startup_result_ = result; }
  // `name` is code-page bytes, stored as given (no NUL needed).
  void AddName(IPAddr address, std::string name) { names_[address] = std::move(name); }

  int wsastartup_calls = 0;
  std::vector<WORD> requested_versions;
  std::vector<std::string> inet_addr_texts;  // every text handed to inet_addr
  std::vector<IPAddr> looked_up;             // addresses passed to gethostbyaddr
  std::vector<int> looked_up_lengths;
  std::vector<int> looked_up_types;

 private:
  int startup_result_ = 0;
  bool started_ = false;
  std::map<IPAddr, std::string> names_;
  // The returned entry, overwritten by the next lookup.
  std::string name_storage_;
  char* aliases_[1] = {nullptr};
  char* addr_list_[2] = {nullptr, nullptr};
  IPAddr addr_storage_ = 0;
  HOSTENT entry_{};
};

// What one destination does when a request reaches it.
struct EchoScript {
  enum class Kind {
    kReply,   // answers after `delay_ms` (a delay >= the time-out is a time-out)
    kSilent,  // never answers: the time-out status, nothing from byte 28 on
    kError,   // an ICMP error: header status `error_status`, nothing from byte 28 on
  };
  Kind kind = Kind::kSilent;
  DWORD delay_ms = 1;
  bool echo_request = true;  // reply data: the request's bytes, else `data`
  std::string data;
  DWORD error_status = IP_DEST_HOST_UNREACHABLE;

  static EchoScript Reply(DWORD delay_ms = 1) {
    EchoScript s;
    s.kind = Kind::kReply;
    s.delay_ms = delay_ms;
    return s;
  }
  static EchoScript ReplyWith(std::string data, DWORD delay_ms = 1) {
    EchoScript s = Reply(delay_ms);
    s.echo_request = false;
    s.data = std::move(data);
    return s;
  }
  static EchoScript Silent() { return {}; }
  static EchoScript Error(DWORD status) {
    EchoScript s;
    s.kind = Kind::kError;
    s.error_status = status;
    return s;
  }
};

class FakeSystemClock;

// A scripted echo service. Unscripted destinations are silent. Records every
// send. A reply comes from the destination with TTL kReplyTtl; the reply
// header uses byte offsets inside the reply buffer as locations (Data =
// OptionsData = 28). An error's header names no reporter.
class FakeEchoService : public EchoService {
 public:
  struct Send {
    IcmpHandle handle;
    IPAddr destination;
    std::string request;  // the request bytes
    bool has_options;
    IP_OPTION_INFORMATION options;
    DWORD reply_size;
    DWORD timeout;
  };

  static constexpr std::uint8_t kReplyTtl = 64;

  IcmpHandle IcmpCreateFile() override;
  DWORD IcmpSendEcho(IcmpHandle IcmpHandle, IPAddr DestinationAddress, const void* RequestData,
                     WORD RequestSize, const IP_OPTION_INFORMATION* RequestOptions,
                     void* ReplyBuffer, DWORD ReplySize, DWORD Timeout) override;
  bool IcmpCloseHandle(IcmpHandle IcmpHandle) override;
  std::u16string LastErrorText() override;

  void Script(IPAddr destination, EchoScript script) { scripts_[destination] = std::move(script); }
  // IcmpCreateFile gives the missing handle and LastErrorText the reason.
  void SetUnavailable(std::u16string reason) { unavailable_reason_ = std::move(reason); }
  void SetAvailable() { unavailable_reason_.clear(); }
  // When set, each send advances the clock by the time it waited.
  void set_clock(FakeSystemClock* clock) { clock_ = clock; }

  // Called inside IcmpSendEcho, after the send is recorded.
  std::function<void(const Send&)> on_send;

  std::vector<Send> sends;
  int creates = 0;
  int closes = 0;
  const std::set<IcmpHandle>& open_handles() const { return open_; }

 private:
  std::map<IPAddr, EchoScript> scripts_;
  std::u16string unavailable_reason_;
  bool last_create_failed_ = false;
  FakeSystemClock* clock_ = nullptr;
  IcmpHandle next_handle_ = 0x100;
  std::set<IcmpHandle> open_;
};

// A clock that stands still until advanced; counts its readings.
class FakeSystemClock : public SystemClock {
 public:
  FakeSystemClock();
  void GetSystemTime(SYSTEMTIME* lpSystemTime) override;

  // Forward only (a negative step is none).
  void AdvanceMs(std::int64_t ms);
  int readings = 0;

 private:
  SYSTEMTIME now_;
};

// Records message boxes and dispatches; a hook lets a test act "inside" a
// dispatch.
class FakeWindowSystem : public WindowSystem {
 public:
  struct Box {
    std::u16string text;
    std::uint32_t type;
  };
  void MessageBox(std::u16string_view text, std::uint32_t uType) override;
  void DoEvents() override;

  std::vector<Box> boxes;
  int do_events_calls = 0;
  std::function<void()> on_do_events;
};

// All four fakes, wired together (the echo service advances the clock).
struct FakeNet {
  FakeNet() { echo.set_clock(&clock); }
  NetServices services() { return {&sockets, &echo, &clock, &window}; }
  FakeSocketLayer sockets;
  FakeEchoService echo;
  FakeSystemClock clock;
  FakeWindowSystem window;
};

}  // namespace ps::platform
