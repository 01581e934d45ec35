#include "names/upnp/device_description.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ps::names::upnp {

void PrintTo(const DeviceDescription& d, std::ostream* os) {
  *os << "{" << d.friendly_name << " | " << d.manufacturer << " | " << d.model_name << " | " << d.device_type << "}";
}

namespace {

std::string Doc(const std::string& device, const std::string& prolog = "") {
  return "<?xml version=\"1.0\"?>" + prolog +
         "<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><specVersion><major>1</major></specVersion><device>" +
         device + "</device></root>";
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

const std::string kBomb =
    "<!DOCTYPE root [<!ENTITY lol \"lol\"><!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
    "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
    "<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]>";

struct DescriptionCase {
  const char* name;
  std::string xml;
  std::optional<DeviceDescription> want;
};

// The root device's own fields, folded, cut and escaped; nothing a hostile
// document holds (entities, deep nesting, size, bytes that are not UTF-8,
// terminal controls) gets through or costs more than the capped parse.
TEST(DeviceDescriptionTest, ReadsTheRootDeviceSafely) {
  const std::string e_acute = "\xc3\xa9";
  const std::vector<DescriptionCase> cases = {
      {"minidlna", Doc("<deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType><friendlyName>lab: "
                       "root</friendlyName><manufacturer>Justin Maggard</manufacturer><modelName>Windows Media "
                       "Connect compatible (MiniDLNA)</modelName>"),
       DeviceDescription{"lab: root", "Justin Maggard", "Windows Media Connect compatible (MiniDLNA)",
                         "urn:schemas-upnp-org:device:MediaServer:1"}},
      {"prefixed names",
       "<u:root xmlns:u=\"urn:schemas-upnp-org:device-1-0\"><u:device><u:friendlyName>TV</u:friendlyName>"
       "</u:device></u:root>",
       DeviceDescription{"TV", "", "", ""}},
      {"white space folded", Doc("<friendlyName>\n\t  Living \r\n Room  </friendlyName>"),
       DeviceDescription{"Living Room", "", "", ""}},
      {"embedded device's name ignored",
       Doc("<deviceList><device><friendlyName>Inner</friendlyName></device></deviceList>"
           "<friendlyName>Outer</friendlyName><modelName>M</modelName>"),
       DeviceDescription{"Outer", "", "M", ""}},
      {"predefined entities", Doc("<friendlyName>A &amp; B &#x41;&lt;</friendlyName>"),
       DeviceDescription{"A & B A<", "", "", ""}},
      {"entity bomb stays inert", Doc("<friendlyName>&lol3;</friendlyName><modelName>&xxe;</modelName>", kBomb),
       DeviceDescription{"&lol3;", "", "&xxe;", ""}},
      {"terminal controls escaped", Doc("<friendlyName>&#27;[2J\xe2\x80\xae" "evil</friendlyName>"),
       DeviceDescription{"\\x1B[2J\\xE2\\x80\\xAE" "evil", "", "", ""}},
      {"invalid UTF-8 escaped", Doc("<friendlyName>caf\xe9 \\</friendlyName>"),
       DeviceDescription{"caf\\xE9 \\\\", "", "", ""}},
      {"long field cut", Doc("<friendlyName>" + std::string(300, 'n') + "</friendlyName>"),
       DeviceDescription{std::string(128, 'n'), "", "", ""}},
      {"cut between characters", Doc("<friendlyName>a" + Repeat(e_acute, 100) + "</friendlyName>"),
       DeviceDescription{"a" + Repeat(e_acute, 63), "", "", ""}},
      {"deep nesting", Doc("<friendlyName>Deep</friendlyName>" + Repeat("<a>", 7000) + Repeat("</a>", 7000)),
       DeviceDescription{"Deep", "", "", ""}},
      {"over 64 KiB", Doc("<friendlyName>Big</friendlyName><x>" + std::string(64 * 1024, 'x') + "</x>"),
       std::nullopt},
      {"not well-formed", Doc("<friendlyName>Broken</friendlyNam>"), std::nullopt},
      {"unclosed", "<root><device><friendlyName>Open</friendlyName>", std::nullopt},
      {"another root", "<scpd><device><friendlyName>X</friendlyName></device></scpd>", std::nullopt},
      {"device too deep", "<root><x><device><friendlyName>X</friendlyName></device></x></root>", std::nullopt},
      {"neither name", Doc("<manufacturer>ACME</manufacturer>"), std::nullopt},
      {"blank name", Doc("<friendlyName> \n </friendlyName>"), std::nullopt},
      {"not XML", "HTTP/1.1 200 OK", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const DescriptionCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ParseDeviceDescription(c.xml), c.want);
  }
}

}  // namespace
}  // namespace ps::names::upnp
