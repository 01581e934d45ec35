#include "names/upnp/ssdp_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ps::names::upnp {
namespace {

std::optional<SsdpAnswer> Parse(const std::string& text) {
  return ParseSsdpAnswer({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

const std::string kMinidlna =
    "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1810\r\nDATE: Wed, 09 Dec 2026 09:00:00 GMT\r\nST: "
    "upnp:rootdevice\r\nUSN: uuid:4d696e69-444c-164e-9d41-0242ac110002::upnp:rootdevice\r\nEXT:\r\nSERVER: "
    "Debian DLNADOC/1.50 UPnP/1.0 MiniDLNA/1.3.0\r\nLOCATION: http://10.0.0.5:8200/rootDesc.xml\r\n"
    "Content-Length: 0\r\n\r\n";

std::string Headers(int count, std::size_t value_size) {
  std::string h;
  for (int i = 0; i < count; ++i) h += "X-" + std::to_string(i) + ": " + std::string(value_size, 'v') + "\r\n";
  return h;
}

struct AnswerCase {
  const char* name;
  std::string text;
  bool ok;
  std::string location = "";
};

TEST(SsdpAnswerTest, TakesOnlyBoundedWellFormedAnswers) {
  const std::string loc = "LOCATION: http://a/\r\n";
  const std::string st = "ST: ssdp:all\r\n";
  const std::vector<AnswerCase> cases = {
      {"minidlna", kMinidlna, true, "http://10.0.0.5:8200/rootDesc.xml"},
      {"any case, bare LF, HTTP/1.0", "http/1.0 200 OK\nlocation:http://b/\nst: x\n\n", true, "http://b/"},
      {"no reason phrase", "HTTP/1.1 200\r\n" + loc + st + "\r\n", true, "http://a/"},
      {"32 headers", "HTTP/1.1 200 OK\r\n" + loc + st + Headers(30, 8) + "\r\n", true, "http://a/"},
      {"512-byte value", "HTTP/1.1 200 OK\r\n" + loc + st + Headers(1, 512) + "\r\n", true, "http://a/"},
      {"33 headers", "HTTP/1.1 200 OK\r\n" + loc + st + Headers(31, 8) + "\r\n", false},
      {"513-byte value", "HTTP/1.1 200 OK\r\n" + loc + st + Headers(1, 513) + "\r\n", false},
      {"over 2048 bytes", "HTTP/1.1 200 OK\r\n" + loc + st + Headers(5, 400) + "\r\n", false},
      {"a NOTIFY", "NOTIFY * HTTP/1.1\r\n" + loc + st + "NTS: ssdp:alive\r\n\r\n", false},
      {"an M-SEARCH", BuildMSearch(IpAddress::Family::kV4, 1), false},
      {"404", "HTTP/1.1 404 Not Found\r\n" + loc + st + "\r\n", false},
      {"2000", "HTTP/1.1 2000 OK\r\n" + loc + st + "\r\n", false},
      {"HTTP/2", "HTTP/2.0 200 OK\r\n" + loc + st + "\r\n", false},
      {"no LOCATION", "HTTP/1.1 200 OK\r\n" + st + "\r\n", false},
      {"empty LOCATION", "HTTP/1.1 200 OK\r\nLOCATION: \r\n" + st + "\r\n", false},
      {"no ST", "HTTP/1.1 200 OK\r\n" + loc + "\r\n", false},
      {"two LOCATIONs", "HTTP/1.1 200 OK\r\n" + loc + st + "Location: http://c/\r\n\r\n", false},
      {"headers never end", "HTTP/1.1 200 OK\r\n" + loc + st, false},
      {"a line without a colon", "HTTP/1.1 200 OK\r\n" + loc + st + "garbage\r\n\r\n", false},
      {"a NUL byte", "HTTP/1.1 200 OK\r\n" + loc + st + std::string("X: a\0b\r\n\r\n", 10), false},
      {"empty", "", false},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto answer = Parse(c.text);
    ASSERT_EQ(answer.has_value(), c.ok);
    if (c.ok) {
      EXPECT_EQ(answer->location, c.location);
    }
  }
  const auto answer = Parse(kMinidlna);
  EXPECT_EQ(answer->st, "upnp:rootdevice");
  EXPECT_EQ(answer->usn, "uuid:4d696e69-444c-164e-9d41-0242ac110002::upnp:rootdevice");
  EXPECT_EQ(answer->server, "Debian DLNADOC/1.50 UPnP/1.0 MiniDLNA/1.3.0");
}

struct LocationCase {
  std::string location;
  const char* from;
  bool ok;
  std::uint16_t port = 0;
  const char* target = "";
};

// Only a plain http URL naming the sender itself by its address is fetched:
// every way of smuggling in another host (user information, names, other
// spellings of a number, a different address, another scheme) is refused.
TEST(SsdpLocationTest, PointsOnlyAtTheSender) {
  const std::vector<LocationCase> cases = {
      {"http://10.0.0.5:8200/rootDesc.xml", "10.0.0.5", true, 8200, "/rootDesc.xml"},
      {"HTTP://10.0.0.5/desc", "10.0.0.5", true, 80, "/desc"},
      {"http://10.0.0.5", "10.0.0.5", true, 80, "/"},
      {"http://10.0.0.5?x=1", "10.0.0.5", true, 80, "/?x=1"},
      {"http://10.0.0.5/d#@10.0.0.6/", "10.0.0.5", true, 80, "/d"},
      {"http://10.0.0.5:65535/", "10.0.0.5", true, 65535, "/"},
      {"http://[fe80::1%25eth0]:8200/d", "fe80::1", true, 8200, "/d"},
      {"http://[2001:db8::5]/d", "2001:db8::5", true, 80, "/d"},
      {"http://10.0.0.6/desc", "10.0.0.5", false},
      {"http://10.0.0.5@10.0.0.6/", "10.0.0.5", false},
      {"http://10.0.0.6@10.0.0.5/", "10.0.0.5", false},
      {"http://10.0.0.5:80@10.0.0.6/", "10.0.0.5", false},
      {"http://10.0.0.5%4010.0.0.6/", "10.0.0.5", false},
      {"http://10.0.0.5\\@10.0.0.6/", "10.0.0.5", false},
      {"http://printer.local/desc", "10.0.0.5", false},
      {"http://10.0.0.5.nip.io/", "10.0.0.5", false},
      {"https://10.0.0.5/", "10.0.0.5", false},
      {"ftp://10.0.0.5/", "10.0.0.5", false},
      {"http:/10.0.0.5/", "10.0.0.5", false},
      {"//10.0.0.5/", "10.0.0.5", false},
      {"http://010.0.0.5/", "10.0.0.5", false},
      {"http://0x0a000005/", "10.0.0.5", false},
      {"http://167772165/", "10.0.0.5", false},
      {"http://[10.0.0.5]/", "10.0.0.5", false},
      {"http://[::ffff:10.0.0.5]/", "10.0.0.5", false},
      {"http://fe80::1/", "fe80::1", false},
      {"http://[fe80::1]/", "fe80::2", false},
      {"http://10.0.0.5:/", "10.0.0.5", false},
      {"http://10.0.0.5:0/", "10.0.0.5", false},
      {"http://10.0.0.5:65536/", "10.0.0.5", false},
      {"http://10.0.0.5:+80/", "10.0.0.5", false},
      {"http://10.0.0.5:80a/", "10.0.0.5", false},
      {"http://10.0.0.5/a b", "10.0.0.5", false},
      {"http://10.0.0.5/\xc3\xa9", "10.0.0.5", false},
      {"http://10.0.0.5/" + std::string(500, 'a'), "10.0.0.5", false},
      {"", "10.0.0.5", false},
  };
  for (const LocationCase& c : cases) {
    SCOPED_TRACE(c.location);
    const auto url = CheckLocation(c.location, *IpAddress::Parse(c.from));
    ASSERT_EQ(url.has_value(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(url->host, *IpAddress::Parse(c.from));
    EXPECT_EQ(url->port, c.port);
    EXPECT_EQ(url->target, c.target);
  }
}

TEST(SsdpSearchMessageTest, AsksEveryDeviceOnTheFamilysGroup) {
  EXPECT_EQ(BuildMSearch(IpAddress::Family::kV4, 1),
            "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 1\r\n"
            "ST: ssdp:all\r\nUSER-AGENT: PingSweep UPnP/1.1\r\n\r\n");
  EXPECT_NE(BuildMSearch(IpAddress::Family::kV6, 9).find("HOST: [ff02::c]:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 5\r\n"),
            std::string::npos);
  EXPECT_EQ(SsdpGroup(IpAddress::Family::kV6), *IpAddress::Parse("ff02::c"));
}

}  // namespace
}  // namespace ps::names::upnp
