// Test doubles for the network seam: forwarding wrappers to build partial
// fakes from, and scriptable fakes of every service. None touches the network.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/net/net_services.h"

namespace ps::platform {

// Forward every call to another implementation; override what a test changes.
class SocketLayerWrapper : public SocketLayer {
 public:
  explicit SocketLayerWrapper(SocketLayer* target) : target_(target) {}
  int WSAStartup(WORD wVersionRequested, WSADATA* lpWSAData) override {
    return target_->WSAStartup(wVersionRequested, lpWSAData);
  }
  IPAddr inet_addr(const char* cp) override { return target_->inet_addr(cp); }
  const HOSTENT* gethostbyaddr(const char* addr, int len, int type) override {
    return target_->gethostbyaddr(addr, len, type);
  }

 private:
  SocketLayer* target_;
};

class EchoServiceWrapper : public EchoService {
 public:
  explicit EchoServiceWrapper(EchoService* target) : target_(target) {}
  IcmpHandle IcmpCreateFile() override { return target_->IcmpCreateFile(); }
  DWORD IcmpSendEcho(IcmpHandle IcmpHandle, IPAddr DestinationAddress, const void* RequestData,
                     WORD RequestSize, const IP_OPTION_INFORMATION* RequestOptions,
                     void* ReplyBuffer, DWORD ReplySize, DWORD Timeout) override {
    return target_->IcmpSendEcho(IcmpHandle, DestinationAddress, RequestData, RequestSize,
                                 RequestOptions, ReplyBuffer, ReplySize, Timeout);
  }
  bool IcmpCloseHandle(IcmpHandle IcmpHandle) override {
    return target_->IcmpCloseHandle(IcmpHandle);
  }
  std::u16string LastErrorText() override { return target_->LastErrorText(); }

 private:
  EchoService* target_;
};

// Network-order address of a literal a.b.c.d, for readable tests.
IPAddr Ipv4(unsigned a, unsigned b, unsigned c, unsigned d);

// A socket layer with a settable start-up result and a table of names.
// inet_addr is the real parser. Like the real layer, gethostbyaddr answers
// null until a WSAStartup has succeeded.
class FakeSocketLayer : public SocketLayer {
 public:
  int WSAStartup(WORD wVersionRequested, WSADATA* lpWSAData) override;
  IPAddr inet_addr(const char* cp) override;
  const HOSTENT* gethostbyaddr(const char* addr, int len, int type) override;

  void set_startup_result(int result) { startup_result_ = result; }
  // `name` is code-page bytes, stored as given (no NUL needed).
  void AddName(IPAddr address, std::string name) { names_[address] = std::move(name); }
  bool started() const { return started_; }

  int wsastartup_calls = 0;
  std::vector<WORD> requested_versions;
  std::vector<std::string> inet_addr_texts;  // every text handed to inet_addr
  int gethostbyaddr_calls = 0;
  std::vector<IPAddr> looked_up;  // addresses passed to gethostbyaddr
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
  IPAddr replier = 0;  // reply's source; 0 = the destination
  std::uint8_t ttl = 64;
  std::uint8_t tos = 0;
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

class FakeClock;

// A scripted echo service. Unscripted destinations are silent. Records every
// send; the reply header uses byte offsets inside the reply buffer as
// locations (Data = OptionsData = 28).
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
  void set_clock(FakeClock* clock) { clock_ = clock; }

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
  FakeClock* clock_ = nullptr;
  IcmpHandle next_handle_ = 0x100;
  std::set<IcmpHandle> open_;
};

// A clock that reads what it is set to; each reading can advance it.
class FakeClock : public SystemClock {
 public:
  FakeClock();
  void GetSystemTime(SYSTEMTIME* lpSystemTime) override;

  void Set(const SYSTEMTIME& now) { now_ = now; }
  const SYSTEMTIME& Now() const { return now_; }
  void AdvanceMs(std::int64_t ms);
  // Added to the time after every reading.
  std::int64_t step_ms_per_reading = 0;
  int readings = 0;

 private:
  SYSTEMTIME now_;
};

// Records message boxes and dispatches; hooks let a test act "inside" them.
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
  std::function<void()> on_message_box;
  std::function<void()> on_do_events;
};

// All four fakes, wired together (the echo service advances the clock).
struct FakeNet {
  FakeNet() { echo.set_clock(&clock); }
  NetServices services() { return {&sockets, &echo, &clock, &window}; }
  FakeSocketLayer sockets;
  FakeEchoService echo;
  FakeClock clock;
  FakeWindowSystem window;
};

}  // namespace ps::platform
