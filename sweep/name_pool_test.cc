#include "sweep/name_pool.h"

#include <gtest/gtest.h>

#include "platform/inet/sweep_fakes.h"

namespace ps::sweep {
namespace {

// The same link-local address on two links is two hosts, each with its name.
TEST(NamePoolTest, OneLookupPerAddressAndScope) {
  const IpAddress link_local = *IpAddress::Parse("fe80::1");
  const IpAddress ula = *IpAddress::Parse("fd00::1");
  const IpAddress v4 = IpAddress::V4(0x0A000001);
  platform::FakeResolver resolver;
  resolver.scoped[{link_local, 2}] = "on-eth0.lan";
  resolver.scoped[{link_local, 3}] = "on-wlan0.lan";
  resolver.reverse[ula] = "ula.lan";
  resolver.reverse[v4] = "v4.lan";
  NamePool pool(&resolver, 2);
  const struct {
    IpAddress address;
    int scope_id;
    std::string name;
  } cases[] = {{link_local, 2, "on-eth0.lan"}, {link_local, 3, "on-wlan0.lan"},
               {link_local, 4, ""},            {ula, 0, "ula.lan"},
               {v4, 0, "v4.lan"},              {link_local, 2, "on-eth0.lan"}};
  for (const auto& c : cases) pool.Request(c.address, c.scope_id);
  ASSERT_TRUE(pool.WaitAll(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
  EXPECT_EQ(pool.lookups(), 5u);  // the repeated request is not looked up again
  for (const auto& c : cases) EXPECT_EQ(pool.Name(c.address, c.scope_id), c.name) << c.scope_id;
}

}  // namespace
}  // namespace ps::sweep
