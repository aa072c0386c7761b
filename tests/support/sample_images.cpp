#include "support/sample_images.h"

#include <sstream>
#include <utility>

namespace tallymere::test {

repwriter::ImageDescription OneFooter(std::u16string log, std::vector<repwriter::Event> events) {
  repwriter::FooterDescription footer;
  footer.log = std::move(log);
  footer.parts.push_back({.index = 1, .events = std::move(events)});
  return {.footers = {std::move(footer)}};
}

repwriter::ImageDescription SoundImage(uint32_t first_time, uint32_t count) {
  std::vector<repwriter::Event> events;
  for (uint32_t i = 0; i < count; ++i) {
    events.push_back({.computer = i % 2 ? u"dc01" : u"ws7",
                      .category = u"Logon",
                      .event_type = 8,
                      .event_id = 4624 + i % 2,
                      .time = first_time + i * 3000});
  }
  return OneFooter(u"Application", std::move(events));
}

repwriter::ImageDescription DamagedImage(std::vector<repwriter::DamageSpot> damage) {
  std::vector<repwriter::Event> events;
  for (uint32_t i = 0; i < 200; ++i) {
    events.push_back({.computer = i % 3 ? u"srv" : u"db",
                      .category = i % 2 ? u"Logon" : u"Policy",
                      .event_type = 4,
                      .event_id = 100 + i % 5,
                      .time = k20180307 + 600 * i,
                      .record = repwriter::EventRecord{}});
  }
  repwriter::ImageDescription image = OneFooter(u"Damaged", std::move(events));
  image.damage = std::move(damage);
  return image;
}

std::string LinesContaining(const std::string& text, const std::string& needle) {
  std::istringstream lines(text);
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    if (line.find(needle) != std::string::npos) kept += line + "\n";
  }
  return kept;
}

}  // namespace tallymere::test
