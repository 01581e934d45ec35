// The echo service (IcmpCreateFile, IcmpSendEcho, IcmpCloseHandle) over the
// IP layer's ICMP sockets (platform/inet/sweep_io.h), the same sockets the
// sweep engine sends through: no system call of its own.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/clock/monotonic_clock.h"
#include "platform/inet/sweep_io.h"
#include "platform/netapi/net_services.h"

namespace ps::platform {

// Requests go out over the datagram ("ping") socket where
// net.ipv4.ping_group_range allows it, else over a raw one. Each handle opens
// a socket of its own, unless OpenSocket() opened one for all of them: a
// process may do that while it holds CAP_NET_RAW and give the capability up
// before it probes. Probes on one socket take turns. A reply counts only when
// it answers the probe's own request (source, identifier, sequence), came
// before the deadline by the kernel's receive stamp and was read whole (a raw
// socket has checked its checksum); the wait ends at the deadline itself.
// Reply locations (Data, OptionsData) are byte offsets from the start of the
// reply buffer: the data always starts at 28 and reply IP options are not
// passed on (OptionsSize 0, OptionsData 28).
class SocketEchoService : public EchoService {
 public:
  enum class SocketKind { kNone, kDatagram, kRaw };

  // Both must outlive the service.
  SocketEchoService(IcmpOpener& opener, MonotonicClock& clock);

  // Opens, unless it did already, the socket that every handle created from
  // now on shares, for the service's life. False when neither kind could be
  // opened: LastErrorText() says why, and handles open their own as usual.
  bool OpenSocket();

  IcmpHandle IcmpCreateFile() override;
  DWORD IcmpSendEcho(IcmpHandle IcmpHandle, IPAddr DestinationAddress, const void* RequestData,
                     WORD RequestSize, const IP_OPTION_INFORMATION* RequestOptions,
                     void* ReplyBuffer, DWORD ReplySize, DWORD Timeout) override;
  bool IcmpCloseHandle(IcmpHandle IcmpHandle) override;
  std::u16string LastErrorText() override;

  // The kind of socket behind an open handle (kNone for an unknown one).
  SocketKind KindOf(IcmpHandle handle);

 private:
  struct Probe;
  // A socket and the turn of the probe that sends and waits on it.
  struct Channel {
    std::unique_ptr<IcmpSocket> socket;
    std::mutex turn;
  };

  std::shared_ptr<Channel> OpenChannelLocked();           // mu_ held; null on failure
  std::shared_ptr<Channel> ChannelOf(IcmpHandle handle);  // null for an unknown handle
  DWORD Await(IcmpSocket& socket, const Probe& probe);

  IcmpOpener& opener_;
  MonotonicClock& clock_;
  std::mutex mu_;                    // guards the members below
  std::shared_ptr<Channel> shared_;  // from OpenSocket(); never replaced
  std::unordered_map<IcmpHandle, std::shared_ptr<Channel>> handles_;
  IcmpHandle next_handle_ = 1;
  std::u16string last_error_;
};

// The process-wide echo service that Services() hands out (each backend
// defines it).
SocketEchoService& SystemEchoService();

}  // namespace ps::platform
