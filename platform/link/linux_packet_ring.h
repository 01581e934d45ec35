// A packet socket's receive ring (TPACKET_V2), shared with the kernel: a
// frame is there to read as soon as it arrives, with no system call to fetch
// it, and it carries a stamp the kernel takes as it copies the frame in. A
// socket option stamp (SO_TIMESTAMPNS) would instead turn on the stamping of
// every packet the machine receives, on every hop through a virtual link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct sockaddr_ll;

namespace ps::platform {

class PacketRing {
 public:
  // Frames of this size hold an ARP packet with its Ethernet padding after
  // the ring's header and the sender's address; larger ones are cut.
  static constexpr std::size_t kFrameSize = 128;
  static constexpr std::size_t kBlockSize = 4096;
  static constexpr std::size_t kFramesPerBlock = kBlockSize / kFrameSize;

  // Sets up and maps a ring of `frames` frames (rounded up to whole blocks)
  // on packet socket `fd`, before it is bound, so that no frame goes
  // elsewhere. Null when the kernel refuses: the socket then queues frames
  // as it did before.
  static std::unique_ptr<PacketRing> Map(int fd, std::size_t frames);
  ~PacketRing();
  PacketRing(const PacketRing&) = delete;
  PacketRing& operator=(const PacketRing&) = delete;

  // One frame received, valid until it is given back.
  struct Frame {
    const sockaddr_ll* from;
    const std::uint8_t* data;
    std::size_t size;
    std::int64_t realtime_ns;  // the kernel's stamp, on the realtime clock
  };

  // Whether the next frame has arrived.
  bool Ready() const;
  // The next frame, when it has arrived: false when not. It stays valid
  // until Release() gives it back to the kernel, which must come before the
  // next call.
  bool Next(Frame* frame) const;
  void Release();

 private:
  PacketRing(std::uint8_t* map, std::size_t frames) : map_(map), frames_(frames) {}
  std::uint8_t* map_;
  std::size_t frames_;
  std::size_t next_ = 0;
};

}  // namespace ps::platform
