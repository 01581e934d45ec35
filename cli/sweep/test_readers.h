// Readers for the program's CSV and JSON Lines output, independent of the
// writers, for tests that read results back.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace ps::cli::testing {

// RFC 4180: fields separated by commas, records by CRLF; quoted fields may
// hold commas, quotes (doubled) and line breaks. Returns records of fields;
// *ok is false on a malformed record.
inline std::vector<std::vector<std::string>> ReadCsv(const std::string& text, bool* ok) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string field;
  bool quoted = false, was_quoted = false;
  *ok = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      if (!field.empty() || was_quoted) *ok = false;
      quoted = was_quoted = true;
    } else if (c == ',') {
      record.push_back(field);
      field.clear();
      was_quoted = false;
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      record.push_back(field);
      records.push_back(record);
      record.clear();
      field.clear();
      was_quoted = false;
      ++i;
    } else if (c == '\n' || c == '\r') {
      *ok = false;  // a bare line break outside quotes
    } else {
      field += c;
    }
  }
  if (quoted || !field.empty() || !record.empty()) *ok = false;  // unterminated last record
  return records;
}

// CSV records as maps from the header's column names.
inline std::vector<std::map<std::string, std::string>> CsvRows(const std::string& text, bool* ok) {
  const auto records = ReadCsv(text, ok);
  std::vector<std::map<std::string, std::string>> rows;
  if (records.empty()) return rows;
  for (std::size_t r = 1; r < records.size(); ++r) {
    if (records[r].size() != records[0].size()) *ok = false;
    std::map<std::string, std::string> row;
    for (std::size_t i = 0; i < records[r].size() && i < records[0].size(); ++i)
      row[records[0][i]] = records[r][i];
    rows.push_back(row);
  }
  return rows;
}

// One JSON object a line; throws on anything else.
inline std::vector<nlohmann::json> JsonLines(const std::string& text) {
  std::vector<nlohmann::json> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(nlohmann::json::parse(line));
  return out;
}

}  // namespace ps::cli::testing
