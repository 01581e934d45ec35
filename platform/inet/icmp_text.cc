#include "platform/inet/icmp_text.h"

namespace ps::platform {
namespace {

// RFC 792 (with RFC 1812's administrative codes).
std::string Icmp4ErrorText(int type, int code) {
  enum { kDestUnreach = 3, kSourceQuench = 4, kTimeExceeded = 11, kParameterProblem = 12 };
  switch (type) {
    case kDestUnreach:
      switch (code) {
        case 0: return "network unreachable";
        case 1: return "host unreachable";
        case 2: return "protocol unreachable";
        case 3: return "port unreachable";
        case 9: case 10: case 13: return "administratively prohibited";
        default: return "destination unreachable (code " + std::to_string(code) + ")";
      }
    case kTimeExceeded: return "time to live exceeded";
    case kParameterProblem: return "parameter problem";
    case kSourceQuench: return "source quench";
    default: return "ICMP error type " + std::to_string(type);
  }
}

// RFC 4443.
std::string Icmp6ErrorText(int type, int code) {
  switch (type) {
    case 1:
      switch (code) {
        case 0: return "no route to destination";
        case 1: return "administratively prohibited";
        case 2: return "beyond scope of source address";
        case 3: return "address unreachable";
        case 4: return "port unreachable";
        case 5: return "source address failed policy";
        case 6: return "reject route to destination";
        default: return "destination unreachable (code " + std::to_string(code) + ")";
      }
    case 2: return "packet too big";
    case 3: return "hop limit exceeded";
    case 4: return "parameter problem";
    default: return "ICMPv6 error type " + std::to_string(type);
  }
}

}  // namespace

std::string IcmpErrorText(IpAddress::Family family, int type, int code) {
  return family == IpAddress::Family::kV4 ? Icmp4ErrorText(type, code)
                                          : Icmp6ErrorText(type, code);
}

}  // namespace ps::platform
