// Repository files shared by the tests of damaged content and of reading
// ahead: sound files of a few events, and a file of 200 events to be
// damaged, each under its own log name so report lines tell them apart.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "repwriter/description.h"

namespace tallymere::test {

inline constexpr uint32_t k20180307 = 1520380800;  // 2018-03-07 00:00:00 UTC

// One footer of the log given, its events in a single part.
repwriter::ImageDescription OneFooter(std::u16string log, std::vector<repwriter::Event> events);

// `count` events of log "Application", 3000 s apart from `first_time`.
repwriter::ImageDescription SoundImage(uint32_t first_time, uint32_t count);

// The damaged file logs under its own name ("Damaged"), so its report lines
// can be told from those of the sound files. Its records carry no
// references or data: each is 36 bytes, and the events buffer packs far
// below its length, so the stored length is the one the reader trusts.
repwriter::ImageDescription DamagedImage(std::vector<repwriter::DamageSpot> damage);

// The lines of a text that contain `needle`, each with its line end.
std::string LinesContaining(const std::string& text, const std::string& needle);

}  // namespace tallymere::test
