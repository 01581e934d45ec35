// The watch run as a program on a lab segment (LinkLab: a bridge and three
// peers): hosts that come, go, change MAC and take addresses; DHCP requests
// heard passively, names with shell metacharacters reaching --exec only as
// environment values; kill -9 and restart; a flood of forged ARP.
#include <net/ethernet.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "core/mac_address.h"
#include "testsupport/link_lab.h"
#include "testsupport/private_network.h"
#include "testsupport/temp_dir.h"  // TempRegistryDir

namespace ps::cli {
namespace {

using ps::testing::ShOutput;
using Bytes = std::vector<std::uint8_t>;

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

// "event mac address name", one per JSON line of `path`.
std::vector<std::string> Events(const std::string& path) {
  std::vector<std::string> out;
  std::istringstream lines(Slurp(path));
  for (std::string line; std::getline(lines, line);) {
    const auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded()) continue;  // a line still being written
    std::string e = j["event"].get<std::string>();
    for (const char* field : {"mac", "address", "name"}) {
      if (!j[field].is_null()) e += " " + j[field].get<std::string>();
    }
    out.push_back(e);
  }
  return out;
}

// A watch running in the background, its output in files of `dir`.
class WatchProcess {
 public:
  WatchProcess(const std::string& dir, const std::string& args) : dir_(dir) {
    pid_ = std::stoi(ShOutput("PINGSWEEP_REGISTRY_DIR=" + dir + " " PINGSWEEP_CLI " " + args +
                              " >>" + dir + "/out 2>>" + dir + "/err & echo $!"));
  }
  ~WatchProcess() { Kill(SIGINT); }
  void Kill(int signal) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    ShOutput("while kill -0 " + std::to_string(pid_) + " 2>/dev/null; do sleep 0.05; done");
    pid_ = -1;
  }
  bool alive() const { return pid_ > 0 && ::kill(pid_, 0) == 0; }
  std::vector<std::string> events() const { return Events(dir_ + "/out"); }
  std::string err() const { return Slurp(dir_ + "/err"); }
  // Waits (up to `seconds`) until an event starts with `prefix`; true if one did.
  bool WaitFor(const std::string& prefix, int seconds = 20) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      for (const std::string& e : events()) {
        if (e.starts_with(prefix)) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

 private:
  std::string dir_;
  int pid_ = -1;
};

// Frames sent into the bridge through a veth of its own: the watch hears them
// as from another station.
class Injector {
 public:
  Injector() {
    ShOutput(
        "ip link add psf1 type veth peer name psf0 && ip link set psf0 master psbr up && "
        "ip link set psf1 up");
    // A new veth drops what it is given until the kernel has seen its carrier
    // and the bridge port forwards, which under load (other namespaces being
    // torn down hold the lock that work needs) takes seconds.
    ready_ = ShOutput(
                 "for i in $(seq 600); do ip -o link show psf1 | grep -q 'state UP' && "
                 "bridge link show dev psf0 | grep -q 'state forwarding' && echo ready && break; "
                 "sleep 0.05; done") == "ready\n";
    fd_ = socket(AF_PACKET, SOCK_RAW, 0);
    to_.sll_family = AF_PACKET;
    to_.sll_ifindex = static_cast<int>(if_nametoindex("psf1"));
    to_.sll_halen = 6;
  }
  // Whether its frames reach the bridge (within 30 s of its making).
  bool ready() const { return ready_; }
  ~Injector() {
    close(fd_);
    ShOutput("ip link del psf1 2>/dev/null");
  }
  bool Send(const MacAddress& from, std::uint16_t type, const Bytes& payload) {
    Bytes frame(6, 0xff);
    frame.insert(frame.end(), from.octets.begin(), from.octets.end());
    frame.push_back(static_cast<std::uint8_t>(type >> 8));
    frame.push_back(static_cast<std::uint8_t>(type));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to_),
                  sizeof(to_)) == static_cast<ssize_t>(frame.size());
  }
  bool Arp(const MacAddress& mac, std::uint32_t sender) {
    Bytes p = {0, 1, 8, 0, 6, 4, 0, 1};
    p.insert(p.end(), mac.octets.begin(), mac.octets.end());
    for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<std::uint8_t>(sender >> s));
    // Asks for an address no host holds: a request for ours would make the
    // kernel keep a neighbour entry per forger, and its ARP table is shared
    // by every namespace on the machine (gc_thresh3), so a flood would stop
    // other labs resolving their peers.
    p.insert(p.end(), {0, 0, 0, 0, 0, 0, 10, 78, 0, 222});
    return Send(mac, ETHERTYPE_ARP, p);
  }
  bool DhcpRequest(const MacAddress& mac, const std::string& host) {
    Bytes bootp(240, 0);
    bootp[0] = bootp[1] = 1;
    bootp[2] = 6;
    std::copy(mac.octets.begin(), mac.octets.end(), bootp.begin() + 28);
    const std::uint8_t cookie[] = {99, 130, 83, 99};
    std::copy(std::begin(cookie), std::end(cookie), bootp.begin() + 236);
    bootp.insert(bootp.end(), {53, 1, 3, 12, static_cast<std::uint8_t>(host.size())});
    bootp.insert(bootp.end(), host.begin(), host.end());
    bootp.push_back(255);
    const std::size_t total = 28 + bootp.size();
    Bytes p = {0x45,
               0,
               static_cast<std::uint8_t>(total >> 8),
               static_cast<std::uint8_t>(total),
               0,
               0,
               0,
               0,
               64,
               17,
               0,
               0,
               0,
               0,
               0,
               0,
               255,
               255,
               255,
               255,
               0,
               68,
               0,
               67,
               static_cast<std::uint8_t>((total - 20) >> 8),
               static_cast<std::uint8_t>(total - 20),
               0,
               0};
    // The header's checksum: a bridge that hands IPv4 to netfilter drops it when wrong.
    std::uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2) sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    p[10] = static_cast<std::uint8_t>(~sum >> 8);
    p[11] = static_cast<std::uint8_t>(~sum);
    p.insert(p.end(), bootp.begin(), bootp.end());
    return Send(mac, ETHERTYPE_IP, p);
  }

 private:
  int fd_ = -1;
  bool ready_ = false;
  sockaddr_ll to_{};
};

class WatchNetnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ps::testing::PrivateNetworkSkipReason().empty()) GTEST_SKIP() << "needs a private network";
    lab_ = std::make_unique<ps::testing::LinkLab>(3);
    ASSERT_EQ(lab_->error(), "");
  }
  std::unique_ptr<ps::testing::LinkLab> lab_;
  platform::TempRegistryDir dir_;
};

std::string Peer(int n) { return "02:00:00:00:00:0" + std::to_string(n); }

TEST_F(WatchNetnsTest, ChangesOnTheSegmentGiveEachEventOnceInOrder) {
  const std::string exec_log = dir_.path() + "/exec";
  const std::string pwned = dir_.path() + "/pwned";
  WatchProcess watch(dir_.path(),
                     "--watch=2 -n -t 1000 -r 1 --offline-after=1 --quiet-for=60 "
                     "-o json --exec 'printf \"%s|%s\\n\" \"$PINGSWEEP_EVENT\" "
                     "\"$PINGSWEEP_NAME\" >>" +
                         exec_log + "' 10.78.0.1-30");
  for (int n = 1; n <= 3; ++n) ASSERT_TRUE(watch.WaitFor("new " + Peer(n))) << watch.err();
  Injector inject;
  ASSERT_TRUE(inject.ready()) << "the injector's link never came up";
  const MacAddress laptop = *MacAddress::Parse("02:00:00:00:00:77");
  const std::string hostile = "$(touch " + pwned + ");`touch " + pwned + "`";
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(inject.DhcpRequest(laptop, "laptop"));
  ASSERT_TRUE(watch.WaitFor("new 02:00:00:00:00:77 laptop", 5)) << watch.err();
  std::printf(
      "DHCP request to its event: %.0f ms\n",
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count());
  ASSERT_TRUE(inject.DhcpRequest(laptop, hostile));
  ASSERT_TRUE(watch.WaitFor("name 02:00:00:00:00:77")) << watch.err();
  ASSERT_EQ(lab_->Peer(2, "ip addr add 10.78.0.12/24 dev eth0"), 0);
  ASSERT_TRUE(watch.WaitFor("address " + Peer(2) + " 10.78.0.12")) << watch.err();
  ASSERT_EQ(lab_->Peer(1, "ip link set eth0 address 02:00:00:00:00:0a"), 0);
  ASSERT_TRUE(watch.WaitFor("conflict 02:00:00:00:00:0a 10.78.0.1")) << watch.err();
  ASSERT_EQ(lab_->Peer(3, "ip link set eth0 down"), 0);
  ASSERT_TRUE(watch.WaitFor("offline " + Peer(3))) << watch.err();
  ASSERT_TRUE(watch.WaitFor("offline " + Peer(1))) << watch.err();
  watch.Kill(SIGINT);

  const std::string expected[] = {
      "new " + Peer(1) + " 10.78.0.1",
      "new 02:00:00:00:00:77 laptop",
      "name 02:00:00:00:00:77 " + hostile,
      "address " + Peer(2) + " 10.78.0.12",
      "new 02:00:00:00:00:0a",  // first heard by ARP or neighbour discovery
      "conflict 02:00:00:00:00:0a 10.78.0.1",
      "offline " + Peer(3),
  };
  const std::vector<std::string> events = watch.events();
  std::size_t at = 0;
  for (const std::string& want : expected) {
    std::size_t count = 0, where = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i].starts_with(want)) count++, where = i;
    }
    EXPECT_EQ(count, 1u) << want;
    EXPECT_GE(where, at) << want << " out of order";
    at = where;
  }
  // The injector's own interface comes and goes; the peers never flap.
  for (const std::string& e : events) EXPECT_FALSE(e.starts_with("online 02:00:00:00:00")) << e;
  if (HasFailure()) {
    for (const std::string& e : events) std::printf("  %s\n", e.c_str());
  }
  // The name reached the command as a value, never as part of it.
  EXPECT_NE(Slurp(exec_log).find("name|" + hostile + "\n"), std::string::npos) << Slurp(exec_log);
  EXPECT_FALSE(access(pwned.c_str(), F_OK) == 0);
}

// Killed at any moment and started again: nothing known is new again, and
// the registry's database is whole.
TEST_F(WatchNetnsTest, KilledAndRestartedAnnouncesNothingKnown) {
  const std::string args = "--watch=1 -n -t 200 -r 0 -o json 10.78.0.1-10";
  const auto inventory = [this] {
    return ShOutput("PINGSWEEP_REGISTRY_DIR=" + dir_.path() + " " PINGSWEEP_CLI
                    " --inventory -o csv 2>&1");
  };
  const std::string stored = "3 devices in the inventory\n";
  {
    WatchProcess first(dir_.path(), args);
    for (int n = 1; n <= 3; ++n) ASSERT_TRUE(first.WaitFor("new " + Peer(n))) << first.err();
    // Events are printed before they are stored (a kill between the two
    // announces them again: none is ever lost), so the devices are known
    // only once stored.
    for (int wait = 0; wait < 400 && inventory().find(stored) == std::string::npos; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    first.Kill(SIGKILL);
  }
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 5; ++round) {
    WatchProcess again(dir_.path(), args);
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 2400));
    again.Kill(SIGKILL);
  }
  std::size_t news = 0;
  for (const std::string& e : Events(dir_.path() + "/out")) news += e.starts_with("new");
  EXPECT_EQ(news, 3u);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2((dir_.path() + "/HKEY_CURRENT_USER.db").c_str(), &db,
                            SQLITE_OPEN_READONLY, nullptr),
            SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
  sqlite3_finalize(check);
  sqlite3_close(db);
  const std::string listed = inventory();
  EXPECT_NE(listed.find(stored), std::string::npos) << listed;
}

// Forged ARP from more random MACs than the cap: the inventory stops there,
// with one warning, and the watch goes on.
TEST_F(WatchNetnsTest, ForgedArpFloodIsCapped) {
  WatchProcess watch(dir_.path(), "--watch=30 -n -t 200 -r 0 -o json 10.78.0.1-3");
  ASSERT_TRUE(watch.WaitFor("new " + Peer(3))) << watch.err();
  Injector inject;
  ASSERT_TRUE(inject.ready()) << "the injector's link never came up";
  std::mt19937_64 random(20);
  // Paced, and on until the cap is reached: a slow build of the watch drops
  // what its socket cannot hold.
  const std::string out = dir_.path() + "/out";
  for (int i = 0; i < 400'000; ++i) {
    MacAddress mac = MacAddress::FromUint64(random() & 0xffffffffffffULL);
    mac.octets[0] = static_cast<std::uint8_t>((mac.octets[0] | 0x02) & ~0x01);
    ASSERT_TRUE(inject.Arp(mac, 0x0A4E0000u | static_cast<std::uint32_t>(random() & 0xffff)));
    if (i % 1000 == 999) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    if (i >= 65'000 && i % 5000 == 0 && Slurp(out).find("\"event\":\"full\"") != std::string::npos)
      break;
  }
  ASSERT_TRUE(watch.WaitFor("full", 120)) << watch.err();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::size_t fulls = 0, news = 0;
  for (const std::string& e : watch.events()) {
    fulls += e.starts_with("full");
    news += e.starts_with("new");
  }
  EXPECT_EQ(fulls, 1u);
  EXPECT_EQ(news, 65536u);
  EXPECT_TRUE(watch.alive()) << watch.err();
}

}  // namespace
}  // namespace ps::cli
