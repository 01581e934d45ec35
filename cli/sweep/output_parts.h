// The pieces of a host's line that every format writes alike, and the text
// table's writer; shared by output.cc and text_table.cc only.
#pragma once

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>

#include "cli/sweep/output.h"

namespace ps::cli::parts {

// `s` at `p`; its end. (A line's many empty fields cost no call.)
inline char* Put(char* p, std::string_view s) {
  if (s.empty()) return p;
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

// "answered", "silent" or "error".
std::string_view StatusOf(const sweep::HostResult& r);
// ARP answers carry no IP header, so no TTL.
inline bool HasTtl(const sweep::HostResult& r) { return r.received > 0 && r.ttl > 0; }

// The writers below put their text at `p` and return its end.
// As "%.3f" of ns / 1e6 prints it (room for 32 bytes). Below 1e15 ns the
// double lies within 1e-7 ns of ns / 1e6 ms, so only a remainder of exactly
// 500 ns (a tie, decided by the double's binary value) needs printf.
char* PutMs(char* p, std::int64_t ns);
// "%.0f" of the loss; nothing when nothing was sent. At most 13 characters:
// the counts are ints.
char* PutPercent(char* p, const sweep::HostResult& r);
// The probe that answered first; nothing when none did (at most 13).
char* PutVia(char* p, const sweep::HostResult& r);
// The RTT cell: "-", the average, or min/avg/max when `count` asked for more
// (at most 101).
char* PutRtt(char* p, const sweep::HostResult& r, int count);
// The address, with "%zone" (escaped) for an IPv6 link-local one.
void AppendAddress(std::string& out, const HostLine& h);
// Text from outside: itself when plain ASCII, else escaped into `scratch`.
std::string_view Escaped(std::string_view text, std::string& scratch);

// Output gathered in large writes.
class Sink {
 public:
  explicit Sink(std::ostream& out) : out_(out) { buffer_.reserve(kSize + 4096); }
  ~Sink() { Flush(); }
  std::string& buffer() { return buffer_; }
  void LineDone() {
    if (buffer_.size() >= kSize) Flush();
  }
  void Flush() {
    out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    buffer_.clear();
  }

 private:
  static constexpr std::size_t kSize = 64 << 10;
  std::ostream& out_;
  std::string buffer_;
};

// The aligned text table: a header, then a line a host.
void WriteTextTable(std::ostream& out, HostSource& hosts, int count);

}  // namespace ps::cli::parts
