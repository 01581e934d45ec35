// Passive listening over an AF_PACKET datagram socket (the kernel strips the
// Ethernet header) with a socket filter that passes only ARP, ICMPv6 types
// 133-136 without extension headers, and unfragmented UDP to port 67.
#include <errno.h>
#include <linux/filter.h>
#include <net/ethernet.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/link/linux_batch_io.h"
#include "platform/link/listen_io.h"
#include "platform/link/packet_io.h"

namespace ps::platform {
namespace {

constexpr std::size_t kBatch = 32;

bool AttachListenFilter(int fd) {
  constexpr std::uint32_t kProtocol = static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PROTOCOL);
  static sock_filter code[] = {
      {BPF_LD | BPF_W | BPF_ABS, 0, 0, kProtocol},    // 0: EtherType
      {BPF_JMP | BPF_JEQ | BPF_K, 14, 0, ETH_P_ARP},  // 1: -> accept
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 5, ETH_P_IPV6},  // 2: else -> 8
      {BPF_LD | BPF_B | BPF_ABS, 0, 0, 6},            // 3: next header
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 12, 58},         // 4: ICMPv6, else reject
      {BPF_LD | BPF_B | BPF_ABS, 0, 0, 40},           // 5: its type
      {BPF_JMP | BPF_JGE | BPF_K, 0, 10, 133},        // 6
      {BPF_JMP | BPF_JGT | BPF_K, 9, 8, 136},         // 7: 133..136 -> accept
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 8, ETH_P_IP},    // 8
      {BPF_LD | BPF_B | BPF_ABS, 0, 0, 9},            // 9: protocol
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 6, 17},          // 10: UDP
      {BPF_LD | BPF_H | BPF_ABS, 0, 0, 6},            // 11: fragment offset
      {BPF_JMP | BPF_JSET | BPF_K, 4, 0, 0x1fff},     // 12: a later fragment -> reject
      {BPF_LDX | BPF_B | BPF_MSH, 0, 0, 0},           // 13: X = header length
      {BPF_LD | BPF_H | BPF_IND, 0, 0, 2},            // 14: destination port
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 67},          // 15
      {BPF_RET | BPF_K, 0, 0, HeardFrame::kMaxData},  // 16: accept
      {BPF_RET | BPF_K, 0, 0, 0},                     // 17: reject
  };
  sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof(program)) == 0;
}

class LinuxLinkListener : public LinkListener {
 public:
  LinuxLinkListener(int fd, int ifindex) : fd_(fd), ifindex_(ifindex) {}
  ~LinuxLinkListener() override { close(fd_); }

  Result<std::size_t> Receive(std::span<HeardFrame> out, std::int64_t deadline_ns) override {
    if (out.empty()) return std::size_t{0};
    short revents = 0;
    const int ready = batch_io::WaitForInput(fd_, deadline_ns, &revents);
    if (ready < 0) return Status::SystemError(-ready);
    if (ready == 0) return std::size_t{0};
    const std::size_t n = std::min(kBatch, out.size());
    mmsghdr msgs[kBatch];
    iovec iovs[kBatch];
    sockaddr_ll from[kBatch];
    for (std::size_t i = 0; i < n; ++i) {
      iovs[i] = iovec{out[i].data.data(), HeardFrame::kMaxData};
      msgs[i] = mmsghdr{};
      msgs[i].msg_hdr.msg_name = &from[i];
      msgs[i].msg_hdr.msg_namelen = sizeof(from[i]);
      msgs[i].msg_hdr.msg_iov = &iovs[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const int r = batch_io::ReceiveQueued(fd_, msgs, n);
    if (r < 0) return Status::SystemError(-r);
    std::size_t count = 0;
    for (int i = 0; i < r; ++i) {
      const sockaddr_ll& sll = from[i];
      if (batch_io::NotFromAPeer(sll)) continue;
      HeardFrame& frame = out[count];
      if (count != static_cast<std::size_t>(i)) frame.data = out[i].data;
      std::memcpy(frame.source.octets.data(), sll.sll_addr, 6);
      frame.protocol = ntohs(sll.sll_protocol);
      frame.ifindex = ifindex_;
      frame.size =
          static_cast<std::uint16_t>(std::min<std::size_t>(msgs[i].msg_len, HeardFrame::kMaxData));
      ++count;
    }
    return count;
  }

 private:
  int fd_;
  int ifindex_;
};

}  // namespace

Result<std::unique_ptr<LinkListener>> OpenLinkListener(int ifindex) {
  // Room for a burst while the watch is busy (a sweep's replies, a flood).
  const int fd = batch_io::OpenBoundPacketSocket(ifindex, ETH_P_ALL, AttachListenFilter, 8 << 20);
  if (fd < 0) return PacketSocketFailure(-fd);
  return std::unique_ptr<LinkListener>(std::make_unique<LinuxLinkListener>(fd, ifindex));
}

}  // namespace ps::platform
