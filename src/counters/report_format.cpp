#include "counters/report_format.h"

#include <array>
#include <optional>

namespace tallymere {

namespace {

// The length of the valid UTF-8 sequence at text[i], or 0 when none starts
// there.
size_t Utf8SequenceAt(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i);
  if (lead < 0x80) return 1;
  const size_t length = lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                        : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  // Overlong forms, surrogates and code points past U+10FFFF.
  const uint8_t second = byte(i + 1);
  if (lead == 0xE0 && second < 0xA0) return 0;
  if (lead == 0xED && second >= 0xA0) return 0;
  if (lead == 0xF0 && second < 0x90) return 0;
  if (lead == 0xF4 && second >= 0x90) return 0;
  return length;
}

}  // namespace

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
    } else if (const size_t length = Utf8SequenceAt(text, i); length > 0) {
      json.append(text.substr(i, length));
      i += length;
      continue;
    } else {
      json += "\xEF\xBF\xBD";  // U+FFFD
    }
    ++i;
  }
  return json + '"';
}

}  // namespace tallymere
