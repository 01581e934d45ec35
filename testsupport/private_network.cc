#include "testsupport/private_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace ps::testing {
namespace {

std::string& SkipReason() {
  static std::string reason = "EnterPrivateNetwork() was not called";
  return reason;
}

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool BringLoopbackUp() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq req{};
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &req) == 0;
  if (ok) {
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    ok = ioctl(fd, SIOCSIFFLAGS, &req) == 0;
  }
  close(fd);
  return ok;
}

constexpr char kTable[] = "inet pstest";

}  // namespace

std::string EnterPrivateNetwork() {
  std::string& reason = SkipReason();
  if (geteuid() != 0) {
    reason = "not running as root (creating network namespaces needs CAP_SYS_ADMIN)";
    return reason;
  }
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
    reason = Errno("unshare(CLONE_NEWNET | CLONE_NEWNS)");
    return reason;
  }
  // Mounts made from here on stay inside this process.
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    reason = Errno("making mounts private");
    return reason;
  }
  if (!BringLoopbackUp()) {
    reason = Errno("bringing lo up");
    return reason;
  }
  reason.clear();
  return reason;
}

const std::string& PrivateNetworkSkipReason() { return SkipReason(); }

int Sh(std::string_view command) {
  const std::string cmd(command);
  const int status = std::system(cmd.c_str());
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  EXPECT_EQ(code, 0) << "command failed: " << cmd;
  return code;
}

std::string ShOutput(std::string_view command) {
  std::string out;
  FILE* pipe = popen(std::string(command).c_str(), "r");
  if (pipe == nullptr) return out;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) out.append(buf, n);
  pclose(pipe);
  return out;
}

namespace {

// A system without the file (a minimal chroot, say) gets an empty one to
// bind over, through an overlay on /etc that only this mount namespace sees.
bool EnsureEtcFileExists(const std::string& path) {
  static bool overlaid = false;
  if (access(path.c_str(), F_OK) == 0) return true;
  if (!overlaid) {
    char dir[] = "/tmp/pingsweep-etc-XXXXXX";
    if (mkdtemp(dir) == nullptr) return false;
    const std::string upper = std::string(dir) + "/upper";
    const std::string work = std::string(dir) + "/work";
    if (mkdir(upper.c_str(), 0755) != 0 || mkdir(work.c_str(), 0755) != 0) return false;
    const std::string options = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
    if (mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0) return false;
    overlaid = true;
  }
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// A file under /etc replaced by a temporary one until Unbind().
struct BoundFile {
  std::string target;
  std::string temporary;
  bool bound = false;

  ~BoundFile() { Unbind(); }
  bool Bind(std::string_view content) {
    Unbind();
    if (!EnsureEtcFileExists(target)) return false;
    char path[] = "/tmp/pingsweep-etc-file-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return false;
    const bool written =
        write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    close(fd);
    chmod(path, 0644);
    temporary = path;
    bound = written && mount(path, target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (!bound) Unbind();
    return bound;
  }
  void Unbind() {
    if (bound) umount2(target.c_str(), MNT_DETACH);
    bound = false;
    if (!temporary.empty()) unlink(temporary.c_str());
    temporary.clear();
  }
};

BoundFile g_hosts{"/etc/hosts", {}};
BoundFile g_nsswitch{"/etc/nsswitch.conf", {}};

}  // namespace

bool BindHostsFile(std::string_view content) { return g_hosts.Bind(content); }

void UnbindHostsFile() { g_hosts.Unbind(); }

bool BindResolverFiles(std::string_view hosts) {
  return g_nsswitch.Bind("passwd: files\ngroup: files\nhosts: files\n") && BindHostsFile(hosts);
}

void UnbindResolverFiles() {
  UnbindHostsFile();
  g_nsswitch.Unbind();
}

bool SetSysctl(std::string_view name, std::string_view value) {
  std::ofstream out("/proc/sys/" + std::string(name));
  out << value;
  out.flush();
  return static_cast<bool>(out);
}

std::string GetSysctl(std::string_view name) {
  std::ifstream in("/proc/sys/" + std::string(name));
  std::stringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

ScopedSysctl::ScopedSysctl(std::string name, std::string_view value)
    : name_(std::move(name)), previous_(GetSysctl(name_)) {
  EXPECT_TRUE(SetSysctl(name_, value)) << name_;
}

ScopedSysctl::~ScopedSysctl() { SetSysctl(name_, previous_); }

void ResetFirewall() {
  Sh("nft delete table inet pstest 2>/dev/null || true");  // absent at first
  std::ostringstream s;
  s << "nft -f - <<'NFT'\n"
    << "table " << kTable << " {\n"
    << "  counter echo_requests { }\n"
    << "  counter leaving { }\n"
    << "  chain out {\n"
    << "    type filter hook output priority 0; policy accept;\n"
    << "    oifname != \"lo\" counter name leaving\n"
    << "    icmp type echo-request counter name echo_requests\n"
    << "  }\n"
    << "  chain in {\n"
    << "    type filter hook input priority 0; policy accept;\n"
    << "  }\n"
    << "}\n"
    << "NFT";
  Sh(s.str());
}

// Dropped on the input hook: the send succeeds and the request goes unanswered.
void DropEchoRequestsTo(std::string_view address) {
  Sh("nft add rule " + std::string(kTable) + " in ip daddr " + std::string(address) +
     " icmp type echo-request drop");
}

void RejectEchoRequestsTo(std::string_view address, std::string_view icmp_reject_type) {
  // Output hooks cannot reject; the input side answers for the destination.
  Sh("nft add rule " + std::string(kTable) + " in ip daddr " + std::string(address) +
     " icmp type echo-request reject with icmp type " + std::string(icmp_reject_type));
}

namespace {
std::uint64_t CounterPackets(std::string_view name) {
  const std::string out =
      ShOutput(std::string("nft list counter ") + kTable + " " + std::string(name));
  const std::size_t at = out.find("packets ");
  if (at == std::string::npos) return ~std::uint64_t{0};
  return std::stoull(out.substr(at + 8));
}
}  // namespace

std::uint64_t EchoRequestsSent() { return CounterPackets("echo_requests"); }
std::uint64_t PacketsLeavingLoopback() { return CounterPackets("leaving"); }

}  // namespace ps::testing

namespace ps::testing {

void CountPackets(std::string_view counter, std::string_view match) {
  Sh("nft add counter " + std::string(kTable) + " " + std::string(counter));
  Sh("nft add rule " + std::string(kTable) + " out " + std::string(match) + " counter name " +
     std::string(counter));
}

std::uint64_t Counted(std::string_view counter) { return CounterPackets(counter); }

std::string InterruptOnceCounted(const std::string& command, std::string_view counter,
                                 std::uint64_t packets) {
  const std::string n = std::to_string(packets);
  const std::string read = "nft list counter " + std::string(kTable) + " " + std::string(counter) +
                           " | sed -n 's/.*packets \\([0-9]*\\).*/\\1/p'";
  return ShOutput("(out=$(mktemp); " + command + " >$out 2>&1 & pid=$!; " +
                  "for i in $(seq 1200); do [ \"$(" + read + ")\" -ge " + n +
                  " ] 2>/dev/null && break; sleep 0.05; done; kill -INT $pid; wait $pid; "
                  "s=$?; cat $out; rm -f $out; echo \"#$s\")");
}

}  // namespace ps::testing
