// Answers as responders send them, built for tests: DNS responses (multicast
// DNS, LLMNR) and NetBIOS node status responses, with names uncompressed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "names/dns_wire.h"
#include "names/netbios_wire.h"

namespace ps::names::testing {

inline void Put16(std::vector<std::uint8_t>& b, unsigned v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}

// Labels split at dots; bytes taken as they are.
inline void PutName(std::vector<std::uint8_t>& b, const std::string& name) {
  std::size_t at = 0;
  while (at < name.size()) {
    std::size_t dot = name.find('.', at);
    if (dot == std::string::npos) dot = name.size();
    b.push_back(static_cast<std::uint8_t>(dot - at));
    b.insert(b.end(), name.begin() + static_cast<long>(at), name.begin() + static_cast<long>(dot));
    at = dot + 1;
  }
  b.push_back(0);
}

struct Answer {
  std::string name;
  std::string target;  // a PTR's
  std::uint16_t type = kTypePtr;
};

// A response with `id`, echoing `questions`, holding PTR answers.
inline std::vector<std::uint8_t> DnsResponse(std::uint16_t id, const std::vector<DnsQuestion>& questions,
                                             const std::vector<Answer>& answers) {
  std::vector<std::uint8_t> b;
  Put16(b, id);
  Put16(b, 0x8400);  // response, authoritative
  Put16(b, static_cast<unsigned>(questions.size()));
  Put16(b, static_cast<unsigned>(answers.size()));
  Put16(b, 0);
  Put16(b, 0);
  for (const DnsQuestion& q : questions) {
    PutName(b, q.name);
    Put16(b, q.type);
    Put16(b, q.klass);
  }
  for (const Answer& a : answers) {
    PutName(b, a.name);
    Put16(b, a.type);
    Put16(b, 0x8001);  // IN with the cache-flush bit
    Put16(b, 0);
    Put16(b, 120);
    std::vector<std::uint8_t> rdata;
    PutName(rdata, a.target);
    Put16(b, static_cast<unsigned>(rdata.size()));
    b.insert(b.end(), rdata.begin(), rdata.end());
  }
  return b;
}

struct TableName {
  std::string name;
  std::uint8_t suffix = 0;
  bool group = false;
};

inline std::vector<std::uint8_t> NodeStatusResponse(std::uint16_t id, const std::vector<TableName>& names,
                                                    const MacAddress& mac) {
  std::vector<std::uint8_t> b = EncodeNodeStatusQuery(id);
  b[2] = 0x84;   // response, authoritative
  b[5] = 0;      // no question,
  b[7] = 1;      // one answer: the name asked
  b.insert(b.end(), {0, 0, 0, 0});  // TTL
  std::vector<std::uint8_t> table = {static_cast<std::uint8_t>(names.size())};
  for (const TableName& n : names) {
    std::string padded = n.name;
    padded.resize(15, ' ');
    table.insert(table.end(), padded.begin(), padded.end());
    table.push_back(n.suffix);
    table.push_back(n.group ? 0x84 : 0x04);
    table.push_back(0);
  }
  table.insert(table.end(), mac.octets.begin(), mac.octets.end());
  table.resize(table.size() + 40);  // the rest of the statistics
  Put16(b, static_cast<unsigned>(table.size()));
  b.insert(b.end(), table.begin(), table.end());
  return b;
}

}  // namespace ps::names::testing
