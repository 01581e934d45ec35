// ARP over AF_PACKET datagram sockets: the kernel adds and strips the Ethernet
// header; batch sends with sendmmsg; replies read from a receive ring (or,
// where the kernel gives none, with recvmmsg and socket receive stamps);
// a socket filter passes ARP replies only.
#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/link/linux_batch_io.h"
#include "platform/link/linux_packet_ring.h"
#include "platform/link/linux_packet_socket.h"
#include "platform/link/packet_io.h"

namespace ps::platform {
namespace {

constexpr std::size_t kBatch = 256;
constexpr std::size_t kFrameBuffer = 128;  // an ARP packet and Ethernet padding
constexpr std::size_t kControlBuffer = 64;
constexpr int kReceiveBuffer = 32 << 20;  // a /16 of replies while the sweep still sends
constexpr int kSendBuffer = 4 << 20;

void SetInt(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof(value));
}

// Accepts ARP packets whose operation (offset 6) is 2, a reply.
bool AttachReplyFilter(int fd) {
  static sock_filter code[] = {
      {BPF_LD | BPF_H | BPF_ABS, 0, 0, 6},
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 2},
      {BPF_RET | BPF_K, 0, 0, 0xffff},
      {BPF_RET | BPF_K, 0, 0, 0},
  };
  sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof(program)) == 0;
}

// A frame read from `from`, its payload cut to what IncomingFrame keeps.
void Fill(const sockaddr_ll& from, std::int64_t received_ns, const std::uint8_t* data,
          std::size_t size, IncomingFrame* frame) {
  std::memcpy(frame->source.octets.data(), from.sll_addr, 6);
  frame->to_us = from.sll_pkttype == PACKET_HOST;
  frame->received_ns = received_ns;
  frame->size = static_cast<std::uint16_t>(std::min(size, IncomingFrame::kMaxData));
  std::memcpy(frame->data.data(), data, frame->size);
}

class LinuxArpSocket : public PacketSocket {
 public:
  LinuxArpSocket(int fd, int ifindex, std::unique_ptr<PacketRing> ring)
      : fd_(fd), ifindex_(ifindex), ring_(std::move(ring)) {}
  ~LinuxArpSocket() override { close(fd_); }

  SendResult Send(std::span<const OutgoingFrame> frames) override {
    SendResult result;
    while (static_cast<std::size_t>(result.sent) < frames.size()) {
      const std::size_t n = std::min(kBatch, frames.size() - result.sent);
      mmsghdr msgs[kBatch];
      iovec iovs[kBatch];
      sockaddr_ll to[kBatch];
      for (std::size_t i = 0; i < n; ++i) {
        const OutgoingFrame& f = frames[result.sent + i];
        to[i] = sockaddr_ll{};
        to[i].sll_family = AF_PACKET;
        to[i].sll_protocol = htons(ETH_P_ARP);
        to[i].sll_ifindex = ifindex_;
        to[i].sll_halen = 6;
        std::memcpy(to[i].sll_addr, f.destination.octets.data(), 6);
        iovs[i] = iovec{const_cast<std::uint8_t*>(f.data), f.size};
        msgs[i] = mmsghdr{};
        msgs[i].msg_hdr.msg_name = &to[i];
        msgs[i].msg_hdr.msg_namelen = sizeof(to[i]);
        msgs[i].msg_hdr.msg_iov = &iovs[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      const std::size_t done = batch_io::SendAll(fd_, msgs, n, &result.error);
      result.sent += static_cast<int>(done);
      if (done < n) return result;
    }
    return result;
  }

  Result<std::size_t> Receive(std::span<IncomingFrame> out, std::int64_t deadline_ns) override {
    if (out.empty()) return std::size_t{0};
    if (ring_) return ReceiveFromRing(out, deadline_ns);
    short revents = 0;
    const int ready = batch_io::WaitForInput(fd_, deadline_ns, &revents);
    if (ready < 0) return Status::SystemError(-ready);
    if (ready == 0) return std::size_t{0};
    const std::int64_t offset = RealtimeOffsetNs();
    const std::size_t n = std::min(kBatch, out.size());
    mmsghdr msgs[kBatch];
    iovec iovs[kBatch];
    sockaddr_ll from[kBatch];
    alignas(cmsghdr) std::uint8_t controls[kBatch][kControlBuffer];
    for (std::size_t i = 0; i < n; ++i) {
      iovs[i] = iovec{buffers_[i], kFrameBuffer};
      msgs[i] = mmsghdr{};
      msgs[i].msg_hdr.msg_name = &from[i];
      msgs[i].msg_hdr.msg_namelen = sizeof(from[i]);
      msgs[i].msg_hdr.msg_iov = &iovs[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      msgs[i].msg_hdr.msg_control = controls[i];
      msgs[i].msg_hdr.msg_controllen = kControlBuffer;
    }
    const int r = batch_io::ReceiveQueued(fd_, msgs, n);
    if (r < 0) return Status::SystemError(-r);
    const std::int64_t now = SystemMonotonicClock().NowNs();
    std::size_t count = 0;
    for (int i = 0; i < r; ++i) {
      if (batch_io::NotFromAPeer(from[i])) continue;
      Fill(from[i], batch_io::ReceiveStamp(msgs[i].msg_hdr, offset, now), buffers_[i],
           msgs[i].msg_len, &out[count++]);
    }
    return count;
  }

 private:
  Result<std::size_t> ReceiveFromRing(std::span<IncomingFrame> out, std::int64_t deadline_ns) {
    // A frame already in the ring needs no wait.
    if (!ring_->Ready()) {
      short revents = 0;
      const int ready = batch_io::WaitForInput(fd_, deadline_ns, &revents);
      if (ready < 0) return Status::SystemError(-ready);
      if (revents & POLLERR) {
        // What recvmmsg would have failed with (the link went down, ...).
        int error = 0;
        socklen_t size = sizeof(error);
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0) return Status::SystemError(error);
      }
    }
    const std::int64_t offset = RealtimeOffsetNs();
    const std::int64_t now = SystemMonotonicClock().NowNs();
    std::size_t count = 0;
    PacketRing::Frame f;
    for (std::size_t taken = 0; taken < out.size() && ring_->Next(&f); ++taken) {
      if (!batch_io::NotFromAPeer(*f.from))
        Fill(*f.from, std::min(now, f.realtime_ns - offset), f.data, f.size, &out[count++]);
      ring_->Release();
    }
    return count;
  }

  int fd_;
  int ifindex_;
  std::unique_ptr<PacketRing> ring_;
  std::uint8_t buffers_[kBatch][kFrameBuffer];
};

class LinuxPacketNetwork : public PacketNetwork {
 public:
  std::vector<Link> Links() override {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return {};
    std::map<std::string, Link> by_name;
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
      if (a->ifa_addr == nullptr) continue;
      Link& link = by_name[a->ifa_name];
      link.name = a->ifa_name;
      link.up = (a->ifa_flags & IFF_UP) != 0;
      if (a->ifa_addr->sa_family == AF_PACKET) {
        const auto* sll = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
        link.index = sll->sll_ifindex;
        if (sll->sll_halen == 6) std::memcpy(link.mac.octets.data(), sll->sll_addr, 6);
        link.arp = sll->sll_hatype == ARPHRD_ETHER && sll->sll_halen == 6 &&
                   (a->ifa_flags & (IFF_NOARP | IFF_LOOPBACK)) == 0;
      } else if (a->ifa_addr->sa_family == AF_INET && a->ifa_netmask != nullptr) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        const auto* mask = reinterpret_cast<const sockaddr_in*>(a->ifa_netmask);
        link.ipv4.push_back({ntohl(in->sin_addr.s_addr),
                             __builtin_popcount(ntohl(mask->sin_addr.s_addr))});
      }
    }
    freeifaddrs(list);
    std::vector<Link> links;
    for (auto& [name, link] : by_name) {
      if (link.index == 0) link.index = static_cast<int>(if_nametoindex(name.c_str()));
      links.push_back(std::move(link));
    }
    std::sort(links.begin(), links.end(),
              [](const Link& a, const Link& b) { return a.index < b.index; });
    return links;
  }

  Result<std::unique_ptr<PacketSocket>> OpenArp(int ifindex) override {
    return OpenLinuxArpSocket(ifindex, kArpRingFrames);
  }
};

}  // namespace

Result<std::unique_ptr<PacketSocket>> OpenLinuxArpSocket(int ifindex, std::size_t ring_frames) {
  std::unique_ptr<PacketRing> ring;
  const int fd = batch_io::OpenBoundPacketSocket(
      ifindex, ETH_P_ARP,
      [&](int fd) {
        if (!AttachReplyFilter(fd)) return false;
        if (ring_frames > 0) ring = PacketRing::Map(fd, ring_frames);
        return true;
      },
      kReceiveBuffer);
  if (fd < 0) return PacketSocketFailure(-fd);
  if (!ring) SetInt(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1);
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &kSendBuffer, sizeof(int)) != 0)
    SetInt(fd, SOL_SOCKET, SO_SNDBUF, kSendBuffer);
  return std::unique_ptr<PacketSocket>(
      std::make_unique<LinuxArpSocket>(fd, ifindex, std::move(ring)));
}

PacketNetwork& SystemPacketNetwork() {
  static LinuxPacketNetwork network;
  return network;
}

Status PacketSocketFailure(int error) {
  return Status::Failure(PacketSocketErrorText(error), error);
}

std::string PacketSocketErrorText(int error) {
  if (error == EPERM || error == EACCES) {
    return "ARP needs a packet socket, which needs the CAP_NET_RAW capability (run as root, or "
           "give the program the capability with setcap cap_net_raw+ep)";
  }
  return std::string("a packet socket could not be opened: ") + std::strerror(error);
}

}  // namespace ps::platform
