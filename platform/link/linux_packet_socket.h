// The Linux ARP socket behind SystemPacketNetwork().OpenArp(), with the size
// of its receive ring open to tests.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/link/packet_io.h"

namespace ps::platform {

// Enough for the replies to many send batches: a batch's replies are read
// before the next batch is sent. 2 MiB.
inline constexpr std::size_t kArpRingFrames = 16384;

// An ARP socket on `ifindex` whose replies arrive in a receive ring of
// `ring_frames` frames; with 0, or where the kernel refuses a ring, they
// queue on the socket and carry socket receive stamps.
Result<std::unique_ptr<PacketSocket>> OpenLinuxArpSocket(int ifindex, std::size_t ring_frames);

}  // namespace ps::platform
