#include "counters/report_format.h"

#include <algorithm>
#include <array>
#include <optional>

#include "platform/utf8.h"

namespace tallymere {

std::optional<ReportFormat> ReportFormatNamed(std::string_view word) {
  if (word == "csv") return ReportFormat::kCsv;
  if (word == "jsonl") return ReportFormat::kJsonLines;
  if (word == "html") return ReportFormat::kHtml;
  return std::nullopt;
}

std::string_view FieldName(KeyKind kind) {
  switch (kind) {
    case KeyKind::kDay: return "day";
    case KeyKind::kHour: return "hour";
    case KeyKind::kLog: return "log";
    case KeyKind::kComputer: return "computer";
    case KeyKind::kCategory: return "category";
    case KeyKind::kEventType: return "event_type";
    case KeyKind::kEventId: return "event_id";
  }
  return "";
}

std::string_view LevelTitle(KeyKind kind) {
  switch (kind) {
    case KeyKind::kDay: return "Day";
    case KeyKind::kHour: return "Hour";
    case KeyKind::kLog: return "Log";
    case KeyKind::kComputer: return "Computer";
    case KeyKind::kCategory: return "Category";
    case KeyKind::kEventType: return "Event Type";
    case KeyKind::kEventId: return "Event ID";
  }
  return "";
}

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

std::string JsonString(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string json = "\"";
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += static_cast<char>(c);
    } else if (c == '\n') {
      json += "\\n";
    } else if (c == '\r') {
      json += "\\r";
    } else if (c == '\t') {
      json += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      json += "\\u00";
      json += kHex[c >> 4];
      json += kHex[c & 0xF];
    } else if (c < 0x80) {
      json += static_cast<char>(c);
    } else {
      uint32_t code_point = 0;
      const size_t length = std::max<size_t>(MultiByteSequenceAt(text, i, code_point), 1);
      if (length == 1) AppendCodePoint(json, kReplacementCharacter);  // no part of valid UTF-8
      else json.append(text.substr(i, length));
      i += length;
      continue;
    }
    ++i;
  }
  return json + '"';
}

}  // namespace tallymere
