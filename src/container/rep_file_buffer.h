// A repository image: the content of one repository file, or the unpacked
// content of a data buffer that holds a nested image.
//
// Header: 32 bytes not read, then the u64 offset and the u32 length of the
// last footer, which must end the image. Footers are chained backwards from
// the last one; each holds
//   F       8  offset of the previous footer (0: this is the first)
//   F+8     4  length of the previous footer
//   F+12    8  T: byte length of the buffer table
//   F+20    T  buffer table entries: n (u32), n UTF-16 units of name,
//              u64 not used, u64 offset, u64 length of the data buffer
//   F+20+T  8  P: byte length of the property section
//   F+28+T  P  properties: n (u32), n units of name, m (u32), m units of value
// and the property section ends where the footer ends.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "buffers/rep_buffer.h"
#include "buffers/unpack_budget.h"
#include "container/buffer_ref.h"
#include "container/image_source.h"
#include "container/part_build.h"
#include "parts/footer_prop_info.h"
#include "parts/rep_part.h"
#include "platform/output.h"

namespace tallymere {

// What an image is, from its footers. Only Data images are counted.
enum class FileKind : uint32_t {
  Unset = 0,
  Data = 1,           // every footer has buffers and none of the cases below
  ActiveSegment = 2,  // an empty buffer table with "ActiveSegmentId"
  PrevPosition = 3,   // "PrevPositionGUID"
  NoEvents = 4,       // "EventsCount" 0
};

struct BufferEntry {
  uint32_t name_len = 0;
  std::u16string name;
  uint64_t unused = 0;
  uint64_t offset = 0;
  uint64_t length = 0;
  int32_t buffer_id = kUnknownBufferId;
  // Where the entry's check and build are: the position of its part among
  // the footer's parts and its own among the part's entries (the part's
  // task), or -1 for an entry that belongs to no part.
  int32_t part = -1;
  uint32_t in_part = 0;
};

// The file-wide kinds 13 and 14, held by the footer rather than a part.
inline constexpr int32_t kFirstFileWideId = 13;
inline constexpr int kFileWideKinds = 2;

struct RepFooter {
  uint64_t table_position = 0;  // F + 12
  uint64_t table_len = 0;
  std::vector<BufferEntry> entries;
  uint64_t property_position = 0;  // F + 20 + T
  uint64_t property_len = 0;
  uint64_t offset = 0;  // F, from the chain
  uint32_t length = 0;  // from the chain
  // Ordered by UTF-16 code units; a repeated name keeps its first value.
  FooterProperties properties;
  std::array<std::unique_ptr<RepPartBuffer>, kFileWideKinds> file_wide_parts;
  // Starts with a null placeholder; one reference per nested-image buffer.
  std::vector<BufferRef> nested_refs{BufferRef{}};
  std::vector<RepPart> parts;  // in order of each part index's first buffer
  uint32_t ref_cursor = 0;     // the last reference handed out
  std::array<uint32_t, kPartKinds> part_flags = AllSelected();
  std::array<uint32_t, kFileWideKinds> file_wide_flags{};  // off: no mode needs them

  // How reading the footer's table and properties went, before any of its
  // buffers is built: what was reported, whether the parse fails or stops
  // here (and as what kind), and how many entries it reaches: all, or up to
  // one that fails on its place or its name alone.
  Notes read_notes;
  bool read_failed = false;
  std::optional<FileKind> stops_as;
  size_t reachable = 0;
  uint32_t first_task = 0;  // the task of its first part

  const std::u16string* FindProperty(std::u16string_view name) const;
  bool HasProperty(std::u16string_view name) const { return FindProperty(name) != nullptr; }

  static std::array<uint32_t, kPartKinds> AllSelected() {
    std::array<uint32_t, kPartKinds> flags;
    flags.fill(1);
    return flags;
  }
};

// How ReadPropInfo ended.
enum class PropInfoStatus {
  kOk,
  kMissing,  // a property is missing or invalid; reported
  kExcused,  // "EventsCount" missing on a "PrevPositionGUID" footer; silent
};

// The memory one image's footers may take: their records, buffer tables
// and properties. A sound image's footers take kilobytes (a table entry per
// data buffer, a few properties); a footer that claims gigabytes, as a
// damaged or sparse file's can, fails its image instead of the run.
inline constexpr uint64_t kFooterBudget = uint64_t{64} << 20;

// An image and its parse. Parse runs in three steps so that the expensive
// middle one can run on other threads: ReadFooters reads every footer's table
// and properties and lists the parts to build (tasks); BuildPart builds one
// part from the source, anywhere, in any order; Settle then goes through the
// footers with the built parts exactly as a parse on one thread does, and
// reports what it reports, in the same order. Nothing here writes to the
// program's streams but the convenience calls Open(Bytes) and Parse().
class RepFileBuffer : public RepBuffer {
 public:
  RepFileBuffer() : RepBuffer(kFileBufferId) {}
  // An image that owns its bytes: opened at once, all part kinds selected.
  explicit RepFileBuffer(ByteBuffer image);

  // The header check and ScanFooters over the source, which must outlive
  // this object; reported into the notes.
  bool OpenSource(const ImageSource& source);
  // The same over bytes in memory, writing the notes out.
  bool Open(Bytes image);
  int ScanFooters();
  // The whole parse on the calling thread, writing the notes out; 0 or -1,
  // and the kind set. The parts stay in the footers.
  int Parse() override;

  // The first step: fills every footer's read results and the tasks.
  void ReadFooters();
  const std::vector<PartTask>& tasks() const { return tasks_; }
  // Builds the task's part from the source (see PartBuild). True when every
  // buffer was built well formed: the slots are then parsed, unless
  // `parse_slots` leaves that to the caller.
  bool Build(const PartTask& task, PartBuild& build, bool parse_slots = true) const;
  // The last step, with builds[i] made for tasks()[i]: 0 or -1, the kind, the
  // nested references and damaged_content set, everything reported into the
  // notes. With `keep_parts` the built slots move into the footers' parts.
  int Settle(std::span<PartBuild> builds, bool keep_parts);

  void Dump(TextOut& out) override;

  static void ReleaseParts(RepFooter& footer);
  void ReleaseAllParts();

  // The properties counting needs; a missing or invalid one is reported,
  // into `notes` or on the program's streams.
  static PropInfoStatus ReadPropInfoStatus(const RepFooter& footer, FooterPropInfo& info, Notes& notes);
  static PropInfoStatus ReadPropInfoStatus(const RepFooter& footer, FooterPropInfo& info);
  static int ReadPropInfo(const RepFooter& footer, FooterPropInfo& info);
  static void PrintProperties(TextOut& out, const RepFooter& footer);

  const ImageSource* source() const { return source_; }

  FileKind kind = FileKind::Unset;
  uint64_t last_footer_offset = 0;
  uint32_t last_footer_len = 0;
  std::deque<RepFooter> footers;  // in file order
  uint32_t footer_cursor = 0;     // the footer whose references are handed out
  std::array<uint32_t, kPartKinds> part_flags{};
  bool scanned = false;
  // A data buffer had a wrong signature, failed to unpack or failed its CRC;
  // its content was used as far as it went.
  bool damaged_content = false;
  // The unpacked bytes the file may still produce, in table order; none is
  // kept when null.
  UnpackBudget* budget = nullptr;
  // The same limit for builds that run ahead of the parse, in any order: a
  // build stops when it runs out, and the parse finishes the part itself.
  UnpackBudget* guard = nullptr;
  // What opening and parsing reported, in order, not yet written.
  Notes notes;

 private:
  bool CheckHeader(SourceWindow& window);
  uint64_t ReadChainField(SourceWindow& window, uint64_t offset, int width, int& status);
  void ReadFooter(RepFooter& footer, SourceWindow& window);
  bool ParseBufferTable(RepFooter& footer, SourceWindow& window);
  uint64_t ParseProperties(RepFooter& footer, SourceWindow& window);
  void Classify(RepFooter& footer);
  void PlanParts(RepFooter& footer, uint32_t footer_index);
  int SettleFooter(RepFooter& footer, std::span<PartBuild> builds, bool keep_parts);
  int SettleEntries(RepFooter& footer, std::span<PartBuild> builds);
  bool WellFormedOutsideParts(const BufferEntry& entry) const;
  bool BuildFileWide(RepFooter& footer, const BufferEntry& entry);
  bool Spend(uint64_t bytes);
  // Takes `bytes` from the footers' budget; false, with `what` reported
  // into `notes`, when they exceed what is left.
  bool SpendOnFooters(uint64_t bytes, Notes& notes, const char* what);

  const ImageSource* source_ = nullptr;
  std::unique_ptr<MemorySource> own_source_;
  ByteBuffer owned_;
  std::vector<PartTask> tasks_;
  uint64_t footer_budget_left_ = kFooterBudget;
};

// A buffer of any kind from unpacked content: a part buffer as
// CreatePartBuffer makes it (an unknown kind named in the notes), except
// that -3 is replaced by the kind of the content's magic, and -2 gives a
// repository image that owns the bytes (all part kinds selected).
std::unique_ptr<RepBuffer> CreateBuffer(ByteBuffer content, int32_t id, Notes& notes);

}  // namespace tallymere
