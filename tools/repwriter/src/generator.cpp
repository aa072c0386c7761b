#include "repwriter/generator.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "repwriter/image.h"
#include "repwriter/random.h"
#include "repwriter/records.h"
#include "repwriter/repository.h"

namespace repwriter {

namespace {

constexpr std::uint64_t kEventsPerFile = 75000;
constexpr std::uint64_t kEventsPerPart = 10000;

// Computer name families: mixed case, non-ASCII letters, and lower-case twins
// of upper-case names that readers fold into one computer.
constexpr std::array<std::u16string_view, 10> kComputerFamilies = {
    u"WS-",        u"ws-",          u"Srv-",
    u"srv-mail",   u"DC",           u"Laptop-",
    u"Srv-\u00e9", u"B\u00fcro-PC", u"\u0421\u0435\u0440\u0432\u0435\u0440-",
    u"Kiosk"};

// Category names; the empty name is one that readers show under a text of
// their own.
constexpr std::array<std::u16string_view, 16> kCategoryNames = {u"Logon",
                                                                u"Logoff",
                                                                u"Process Creation",
                                                                u"Service Control Manager",
                                                                u"",
                                                                u"Disk",
                                                                u"Kerberos Authentication",
                                                                u"Pr\u00fcfung",
                                                                u"Policy Change",
                                                                u"Application Error",
                                                                u"",
                                                                u"Special Logon",
                                                                u"Network",
                                                                u"Backup",
                                                                u"Update",
                                                                u"Audit"};

constexpr std::array<std::uint16_t, 5> kEventTypes = {1, 2, 4, 8, 16};
constexpr std::array<std::uint32_t, 4> kOtherPlatforms = {2, 1, 100, 606};

std::u16string Decimal16(std::uint64_t value) {
  const std::string text = std::to_string(value);
  return {text.begin(), text.end()};
}

std::vector<std::u16string> ComputerPool(const GeneratorOptions& options) {
  SplitMix64 random(MixSeed(options.seed, 0xC0));
  std::vector<std::u16string> pool;
  for (std::uint32_t i = 0; i < options.computers; ++i) {
    const auto family = kComputerFamilies[random.Below(kComputerFamilies.size())];
    pool.push_back(std::u16string(family) + Decimal16(i % 97));
  }
  return pool;
}

// Event IDs are small for most rows and above 0xFFFF for others, so that the
// 16-bit and the 32-bit view of an ID differ, some of them past 0x80000000.
std::vector<CategoryRow> CategoryPool(const GeneratorOptions& options) {
  SplitMix64 random(MixSeed(options.seed, 0xCA));
  std::vector<CategoryRow> pool;
  for (std::uint32_t i = 0; i < options.categories; ++i) {
    CategoryRow row;
    row.name = kCategoryNames[random.Below(kCategoryNames.size())];
    row.event_type = kEventTypes[random.Below(kEventTypes.size())];
    row.event_id = 1 + random.Below(5000);
    const std::uint32_t high = random.Below(4);
    if (high == 1) row.event_id |= 0x40000000;
    if (high == 2) row.event_id |= 0x80010000;
    pool.push_back(std::move(row));
  }
  return pool;
}

// Log names are UTF-8 text; the folder must carry the same characters.
std::filesystem::path LogFolder(const std::string& log) {
  return std::filesystem::path(std::u8string(log.begin(), log.end()));
}

struct FilePlan {
  std::uint32_t log = 0;
  bool hot = false;
  std::uint32_t begin = 0;  // time window of the file's events
  std::uint32_t width = 0;
  std::uint64_t events = 0;
};

FilePlan PlanFile(const GeneratorOptions& o, std::uint32_t file_index) {
  FilePlan plan;
  const auto logs = static_cast<std::uint32_t>(o.logs.size());
  plan.log = file_index % logs;
  const std::uint32_t files_in_log = (o.files - plan.log + logs - 1) / logs;
  const std::uint32_t position = file_index / logs;
  plan.hot = position + 1 == files_in_log;  // the newest file of each log is still hot
  plan.begin = o.start_time + static_cast<std::uint32_t>(std::uint64_t{o.span_seconds} * position / files_in_log);
  const std::uint32_t end =
      o.start_time + static_cast<std::uint32_t>(std::uint64_t{o.span_seconds} * (position + 1) / files_in_log);
  plan.width = std::max<std::uint32_t>(end - plan.begin, 1);
  plan.events = o.events / o.files + (file_index < o.events % o.files ? 1 : 0);
  return plan;
}

// A part's tables hold a random selection of the pools; events pick from it,
// favouring the first rows as real logs favour a few busy sources.
std::vector<std::uint32_t> PickRows(SplitMix64& random, std::uint32_t pool_size, std::uint32_t wanted) {
  std::vector<std::uint32_t> rows;
  std::vector<bool> taken(pool_size, false);
  wanted = std::min(wanted, pool_size);
  while (rows.size() < wanted) {
    const std::uint32_t row = random.Below(pool_size);
    if (!taken[row]) {
      taken[row] = true;
      rows.push_back(row);
    }
  }
  return rows;
}

std::uint32_t SkewedRow(SplitMix64& random, std::size_t rows) {
  return random.Below(random.Below(static_cast<std::uint32_t>(rows)) + 1);
}

struct PartTimes {
  std::uint32_t begin = 0;
  std::uint32_t width = 0;
  std::uint32_t first = 0;
  std::uint32_t last = 0;
};

class FileBuilder {
 public:
  FileBuilder(const GeneratorOptions& o, std::uint32_t file_index)
      : options_(o),
        random_(MixSeed(o.seed, 0xF17E0000ULL + file_index)),
        computers_(ComputerPool(o)),
        categories_(CategoryPool(o)),
        plan_(PlanFile(o, file_index)) {}

  GeneratedFile Build(std::uint32_t file_index) {
    const std::uint32_t parts = static_cast<std::uint32_t>(std::max<std::uint64_t>(
        1, options_.parts_per_file ? options_.parts_per_file : (plan_.events + kEventsPerPart - 1) / kEventsPerPart));
    const std::uint32_t footers = std::min(options_.footers_per_file, parts);
    std::vector<FooterPlan> footer_specs(footers);
    for (std::uint32_t p = 0; p < parts; ++p) {
      const std::uint64_t events = plan_.events / parts + (p < plan_.events % parts ? 1 : 0);
      const std::uint32_t begin = plan_.begin + static_cast<std::uint32_t>(std::uint64_t{plan_.width} * p / parts);
      const std::uint32_t width = std::max<std::uint32_t>(plan_.width / parts, 1);
      AddPart(footer_specs[std::uint64_t{p} * footers / parts], p + 1, events, {begin, width, 0, 0});
    }
    std::vector<std::uint64_t> footer_events(footers, 0);
    for (std::uint32_t p = 0; p < parts; ++p) {
      footer_events[std::uint64_t{p} * footers / parts] += plan_.events / parts + (p < plan_.events % parts ? 1 : 0);
    }
    for (std::uint32_t f = 0; f < footers; ++f) footer_specs[f].properties = FooterProperties(footer_events[f]);
    GeneratedFile file;
    file.events = plan_.events;
    file.unpacked_bytes = unpacked_;
    file.image = random_.Chance(options_.nested_share) ? ContainerImage(std::move(footer_specs))
                                                       : PlainImage(std::move(footer_specs));
    const auto root = plan_.hot ? Root::Hot : Root::Environment;
    const auto stamps_first = events_seen_ ? first_time_ : plan_.begin;
    const auto stamps_last = events_seen_ ? last_time_ : plan_.begin;
    file.relative_path = RootFolder("", root) / LogFolder(options_.logs[plan_.log]) /
                         RepositoryFileName(file_index + 1, stamps_first, stamps_last);
    return file;
  }

 private:
  std::vector<Property> FooterProperties(std::uint64_t events) {
    const bool wide_ids = random_.Chance(options_.platform_610_share);
    const std::uint32_t platform = wide_ids ? 610 : kOtherPlatforms[random_.Below(kOtherPlatforms.size())];
    return {{kEventsCount, Decimal16(events)},
            {kComputerType, Decimal16(1 + random_.Below(3))},
            {kPlatformId, Decimal16(platform)},
            {kUnderDataSource, Utf16(options_.logs[plan_.log])},
            {u"ProducerVersion", u"7.2.1"}};
  }

  void AddPart(FooterPlan& footer, std::uint32_t part_index, std::uint64_t events, PartTimes times) {
    const auto computer_rows = PickRows(random_, options_.computers, 20 + random_.Below(60));
    const auto category_rows = PickRows(random_, options_.categories, 30 + random_.Below(90));
    // Most parts share one time base, so deltas stay small; every eighth
    // gives each computer its own, which makes deltas wrap around 2^32.
    const bool own_bases = random_.Below(8) == 0;
    std::vector<std::uint32_t> bases;
    Bytes computer_bytes, category_bytes, event_bytes;
    for (std::uint32_t row : computer_rows) {
      bases.push_back(own_bases ? times.begin - random_.Below(3 * 86400) : times.begin);
      AppendComputer(computer_bytes, {computers_[row], bases.back()});
    }
    for (std::uint32_t row : category_rows) AppendCategory(category_bytes, categories_[row]);
    event_bytes.reserve(events * 64);
    std::uint32_t running = 0;
    for (std::uint64_t i = 0; i < events; ++i) {
      std::uint32_t time =
          times.begin + static_cast<std::uint32_t>(i * times.width / std::max<std::uint64_t>(events, 1));
      if (random_.Below(64) == 0) time -= random_.Below(30);  // late arrivals step back in time
      NoteTime(time);
      VaryRecordTail(random_, record_);
      record_.cat_index = SkewedRow(random_, category_rows.size());
      record_.comp_index = SkewedRow(random_, computer_rows.size());
      const std::uint32_t offset = time - bases[record_.comp_index];
      record_.time_delta = offset - running;
      running = offset;
      AppendEvent(event_bytes, record_);
    }
    unpacked_ += category_bytes.size() + computer_bytes.size() + event_bytes.size();
    footer.buffers.push_back({PartBufferName(BufferKind::Category, part_index), std::move(category_bytes), false, 0});
    footer.buffers.push_back({PartBufferName(BufferKind::Computer, part_index), std::move(computer_bytes), false, 0});
    footer.buffers.push_back({PartBufferName(BufferKind::Events, part_index), std::move(event_bytes), false, 0});
  }

  void NoteTime(std::uint32_t time) {
    first_time_ = events_seen_ ? std::min(first_time_, time) : time;
    last_time_ = events_seen_ ? std::max(last_time_, time) : time;
    events_seen_ = true;
  }

  Bytes PlainImage(std::vector<FooterPlan> footers) {
    ImagePlan plan;
    plan.footers = std::move(footers);
    plan.compression_level = options_.compression_level;
    return BuildImage(plan);
  }

  // Each footer becomes a nested image of its own inside one outer footer.
  Bytes ContainerImage(std::vector<FooterPlan> footers) {
    FooterPlan outer;
    for (std::size_t k = 0; k < footers.size(); ++k) {
      ImagePlan nested;
      nested.footers.push_back(std::move(footers[k]));
      nested.compression_level = options_.compression_level;
      // Compressed content does not shrink again; storing it saves time.
      outer.buffers.push_back({NestedImageName(k + 1), BuildImage(nested), true, 0});
    }
    outer.properties = {
        {kComputerType, u"1"}, {kPlatformId, u"2"}, {kUnderDataSource, Utf16(options_.logs[plan_.log])}};
    ImagePlan plan;
    plan.footers.push_back(std::move(outer));
    plan.compression_level = 0;
    return BuildImage(plan);
  }

  const GeneratorOptions& options_;
  SplitMix64 random_;
  std::vector<std::u16string> computers_;
  std::vector<CategoryRow> categories_;
  FilePlan plan_;
  EventRecord record_;
  std::uint64_t unpacked_ = 0;
  bool events_seen_ = false;
  std::uint32_t first_time_ = 0;
  std::uint32_t last_time_ = 0;
};

}  // namespace

GeneratorOptions ResolveOptions(GeneratorOptions o) {
  if (o.out.empty()) throw std::invalid_argument("an output folder is required");
  if (o.logs.empty()) throw std::invalid_argument("at least one log is required");
  if (o.computers == 0 || o.categories == 0) throw std::invalid_argument("computers and categories must be at least 1");
  if (o.footers_per_file == 0) throw std::invalid_argument("footers per file must be at least 1");
  if (o.compression_level < 0 || o.compression_level > 9) throw std::invalid_argument("compression level must be 0..9");
  if (o.span_seconds == 0) throw std::invalid_argument("the time span must be at least one second");
  if (o.threads == 0) o.threads = 1;
  if (o.files == 0)
    o.files = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, (o.events + kEventsPerFile - 1) / kEventsPerFile));
  if (o.events > 0 && o.files > o.events) o.files = static_cast<std::uint32_t>(o.events);
  return o;
}

GeneratedFile GenerateFile(const GeneratorOptions& resolved, std::uint32_t file_index) {
  return FileBuilder(resolved, file_index).Build(file_index);
}

GeneratorSummary GenerateRepository(const GeneratorOptions& options) {
  const GeneratorOptions o = ResolveOptions(options);
  GeneratorSummary summary;
  std::mutex lock;
  std::exception_ptr failure;
  std::atomic<std::uint32_t> next_file{0};
  auto work = [&] {
    try {
      for (std::uint32_t f = next_file++; f < o.files; f = next_file++) {
        GeneratedFile file = GenerateFile(o, f);
        WriteFileBytes(o.out / file.relative_path, file.image);
        const std::lock_guard guard(lock);
        summary.files += 1;
        summary.events += file.events;
        summary.events_count_total += file.events;
        summary.bytes_on_disk += file.image.size();
        summary.unpacked_bytes += file.unpacked_bytes;
      }
    } catch (...) {
      next_file = o.files;  // stop the other workers too
      const std::lock_guard guard(lock);
      if (!failure) failure = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> workers;
    for (unsigned t = 1; t < o.threads; ++t) workers.emplace_back(work);
    work();
  }
  if (failure) std::rethrow_exception(failure);
  return summary;
}

}  // namespace repwriter
