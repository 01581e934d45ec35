// The text table: columns as wide as their widest cell, as a terminal shows
// it (names may hold wide or combining characters).
#include <algorithm>
#include <charconv>

#include "cli/sweep/output_parts.h"
#include "core/terminal_text.h"

namespace ps::cli::parts {
namespace {

// The columns of the text table, each host's cells made twice: once for the
// widths, once to write them, so that no table of cells is ever held.
enum Column { kAddress, kName, kRtt, kTtl, kLoss, kVia, kStatus, kMac, kVendor, kKind, kColumns };

// One host's cells: views of the line's own fields, of literals, or of
// `buffer`; only a cell that needs escaping, a zone or an error's text is
// made in `spill`. The widths are as a terminal shows the cells.
struct TextRow {
  std::string_view cell[kColumns];
  std::size_t width[kColumns];
  char buffer[256];  // address, RTT, TTL, loss and via: 176 bytes at most
  std::string spill[kColumns];

  void Set(int c, std::string_view text) { cell[c] = text, width[c] = DisplayWidth(text); }
  void SetAscii(int c, std::string_view text) { cell[c] = text, width[c] = text.size(); }
  // `text` escaped as EscapeText does, "-" when empty.
  void SetEscaped(int c, std::string_view text) {
    if (text.empty()) return SetAscii(c, "-");
    const std::string_view shown = Escaped(text, spill[c]);
    if (shown.data() == text.data()) return SetAscii(c, shown);  // plain ASCII
    Set(c, shown);
  }
};

// A /16's table asks this twice a host: nothing is allocated for the usual line.
void TextCells(const HostLine& h, int count, TextRow& row) {
  const sweep::HostResult& r = h.result;
  char* p = row.buffer;
  const auto take = [&](int c, char* end) {  // ASCII from p to end
    row.cell[c] = std::string_view(p, static_cast<std::size_t>(end - p));
    row.width[c] = row.cell[c].size();
    p = end;
  };
  if (h.zone.empty()) {
    take(kAddress, r.address.WriteText(p));
  } else {
    row.spill[kAddress].clear();
    AppendAddress(row.spill[kAddress], h);
    row.Set(kAddress, row.spill[kAddress]);
  }
  row.SetEscaped(kName, h.name);
  take(kRtt, PutRtt(p, r, count));
  take(kTtl, HasTtl(r) ? std::to_chars(p, p + 4, r.ttl).ptr : Put(p, "-"));
  take(kLoss, Put(PutPercent(p, r), "%"));
  take(kVia, r.received > 0 ? PutVia(p, r) : Put(p, "-"));
  if (r.outcome == sweep::Outcome::kError) {
    row.spill[kStatus] = ProbeFailureText(r);
    row.Set(kStatus, row.spill[kStatus]);
  } else {
    row.SetAscii(kStatus, StatusOf(r));
  }
  row.Set(kMac, h.mac.empty() ? "-" : std::string_view(h.mac));
  row.SetEscaped(kVendor, h.vendor);
  row.Set(kKind, h.kind.empty() ? "-" : std::string_view(h.kind));
}

// Worth a column when some host is of a known kind.
bool KnownKind(const HostLine& h) { return !h.kind.empty() && h.kind != "unknown"; }

}  // namespace

void WriteTextTable(std::ostream& stream, HostSource& hosts, int count) {
  const char* header[kColumns] = {"ADDRESS", "NAME", count > 1 ? "RTT MIN/AVG/MAX" : "RTT", "TTL",
                                  "LOSS", "VIA", "STATUS", "MAC", "VENDOR", "KIND"};
  std::size_t width[kColumns];
  for (int c = 0; c < kColumns; ++c) width[c] = std::strlen(header[c]);
  bool shown[kColumns] = {true, true, true, true, count > 1, false, false, false, false, false};
  TextRow row;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    const HostLine& h = hosts.Get(i);
    shown[kStatus] = shown[kStatus] || h.result.outcome != sweep::Outcome::kAnswered;
    // Worth a column when not every answer is an echo reply.
    shown[kVia] = shown[kVia] ||
                  (h.result.via != sweep::Via::kNone && h.result.via != sweep::Via::kIcmp);
    shown[kMac] = shown[kVendor] = shown[kMac] || !h.mac.empty();
    shown[kKind] = shown[kKind] || KnownKind(h);
    TextCells(h, count, row);
    for (int c = 0; c < kColumns; ++c) width[c] = std::max(width[c], row.width[c]);
  }
  int last = 0;
  for (int c = 0; c < kColumns; ++c) last = shown[c] ? c : last;
  Sink sink(stream);
  std::string& out = sink.buffer();
  const auto write_row = [&](const std::string_view* cell, const std::size_t* cell_width) {
    for (int c = 0; c < kColumns; ++c) {
      if (!shown[c]) continue;
      out.append(cell[c]);
      if (c != last) out.append(width[c] - cell_width[c] + 2, ' ');
    }
    out += '\n';
    sink.LineDone();
  };
  std::string_view header_cell[kColumns];
  std::size_t header_width[kColumns];
  for (int c = 0; c < kColumns; ++c) header_width[c] = (header_cell[c] = header[c]).size();
  write_row(header_cell, header_width);
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    TextCells(hosts.Get(i), count, row);
    write_row(row.cell, row.width);
  }
}

}  // namespace ps::cli::parts
