#include "platform/link/linux_packet_ring.h"

#include <linux/if_packet.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include <algorithm>

namespace ps::platform {
namespace {

tpacket2_hdr* Header(std::uint8_t* map, std::size_t i) {
  return reinterpret_cast<tpacket2_hdr*>(map + i * PacketRing::kFrameSize);
}

}  // namespace

std::unique_ptr<PacketRing> PacketRing::Map(int fd, std::size_t frames) {
  const std::size_t blocks = (frames + kFramesPerBlock - 1) / kFramesPerBlock;
  if (blocks == 0) return nullptr;
  const int version = TPACKET_V2;
  tpacket_req request{};
  request.tp_block_size = kBlockSize;
  request.tp_block_nr = static_cast<unsigned>(blocks);
  request.tp_frame_size = kFrameSize;
  request.tp_frame_nr = static_cast<unsigned>(blocks * kFramesPerBlock);
  if (setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof(version)) != 0 ||
      setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &request, sizeof(request)) != 0) {
    return nullptr;
  }
  const std::size_t size = blocks * kBlockSize;
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    // Frames would go to a ring nobody reads: take it down again.
    request = tpacket_req{};
    setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &request, sizeof(request));
    return nullptr;
  }
  return std::unique_ptr<PacketRing>(
      new PacketRing(static_cast<std::uint8_t*>(map), request.tp_frame_nr));
}

PacketRing::~PacketRing() { munmap(map_, frames_ * kFrameSize); }


bool PacketRing::Ready() const {
  // Acquire: the frame's contents are read only after its status says ours.
  return __atomic_load_n(&Header(map_, next_)->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER;
}

bool PacketRing::Next(Frame* frame) const {
  if (!Ready()) return false;
  const tpacket2_hdr* h = Header(map_, next_);
  // Frames come in runs: fetch a later one's line while this one is read.
  const std::size_t ahead = next_ + 4;
  __builtin_prefetch(Header(map_, ahead < frames_ ? ahead : ahead - frames_), 1);
  const auto* base = reinterpret_cast<const std::uint8_t*>(h);
  frame->from = reinterpret_cast<const sockaddr_ll*>(base + TPACKET_ALIGN(sizeof(tpacket2_hdr)));
  // Never past the frame, whatever its header says.
  const std::size_t start = std::min<std::size_t>(h->tp_net, kFrameSize);
  frame->data = base + start;
  frame->size = std::min<std::size_t>(h->tp_snaplen, kFrameSize - start);
  frame->realtime_ns = static_cast<std::int64_t>(h->tp_sec) * 1000000000 + h->tp_nsec;
  return true;
}

void PacketRing::Release() {
  // Release: the kernel may refill the frame only after we are done reading.
  __atomic_store_n(&Header(map_, next_)->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
  next_ = next_ + 1 == frames_ ? 0 : next_ + 1;
}

}  // namespace ps::platform
