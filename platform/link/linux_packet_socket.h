// The Linux ARP socket behind SystemPacketNetwork().OpenArp(), with the size
// of its receive ring open to tests.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/link/packet_io.h"

namespace ps::platform {

// Room for the replies to 16 send batches of 256, where the prober reads a
// batch's replies before it sends the next: 512 KiB. A larger ring costs
// its set-up (the kernel clears every page of it) on each sweep.
inline constexpr std::size_t kArpRingFrames = 4096;

// An ARP socket on `ifindex` whose replies arrive in a receive ring of
// `ring_frames` frames; with 0, or where the kernel refuses a ring, they
// queue on the socket and carry socket receive stamps.
Result<std::unique_ptr<PacketSocket>> OpenLinuxArpSocket(int ifindex, std::size_t ring_frames);

}  // namespace ps::platform
