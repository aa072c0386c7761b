// Part buffers: the unpacked content of one data buffer, a flat list of
// records of one kind.
//
// Parse walks the records once to count them and check that they end exactly
// at the end of the bytes, then records where each record starts. The
// classes read their fields through those offsets (the columns); Decode
// copies the records into a table of plain values.
//
// This file also holds the kinds that share the string-list format (a u32
// count of UTF-16 code units, then the units) and those kept as raw bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "buffers/rep_buffer.h"

namespace tallymere {

// A text with a value: 1 in the string lists, the time base in the computer
// table.
struct RepStringEntry {
  std::u16string text;
  uint32_t value = 1;
};

class RepPartBuffer : public RepBuffer {
 public:
  // Takes the unpacked bytes over; they live as long as the part buffer.
  RepPartBuffer(ByteBuffer content, int32_t id);

  // 0 when the records end exactly at buffer_len (the columns are then
  // built), -1 otherwise.
  int Parse() override;
  // Prints the ID, the length, the record count and the bytes.
  void Dump(TextOut& out) override;
  // String-list records into `strings` (appended).
  void Decode() override;

  // The offset the record walk reached; equal to buffer_len when the records
  // fit exactly. Sets ulCount to the records walked.
  virtual uint64_t CountRecords();
  virtual void ReserveColumns();
  virtual void FillColumns();

  // String-list columns: the code-unit count and the text's bytes of record
  // i; 0 and empty for i >= ulCount.
  uint32_t TextLen(uint32_t i) const;
  Bytes TextBytes(uint32_t i) const;

  std::vector<RepStringEntry> strings;  // the string-list table, after Decode

 protected:
  // The length of the record starting at `offset`, or nothing when a length
  // field it needs does not lie wholly inside the bytes. The default is the
  // string-list record, 4 + 2n bytes.
  virtual std::optional<uint64_t> RecordSize(uint64_t offset) const;

  bool HasRecord(uint32_t i) const { return i < offsets_.size(); }
  uint64_t RecordOffset(uint32_t i) const { return offsets_[i]; }
  // Fields at `field` bytes into record i; 0 (empty) when i >= ulCount or
  // the field lies outside the bytes.
  uint16_t U16Field(uint32_t i, uint64_t field) const {
    return HasRecord(i) ? bytes().U16At(RecordOffset(i) + field) : 0;
  }
  uint32_t U32Field(uint32_t i, uint64_t field) const {
    return HasRecord(i) ? bytes().U32At(RecordOffset(i) + field) : 0;
  }
  Bytes BytesField(uint32_t i, uint64_t field, uint64_t size) const {
    return HasRecord(i) ? bytes().SubAt(RecordOffset(i) + field, size) : Bytes{};
  }
  std::u16string TextField(uint32_t i, uint64_t field, uint32_t units) const {
    return HasRecord(i) ? bytes().Utf16At(RecordOffset(i) + field, units) : std::u16string{};
  }

  // Where each record starts: the one column every class shares. Part
  // content is at most 4 GiB, so 32 bits suffice.
  // Record starts; written before they are read, so never zero-filled.
  using OffsetList = std::vector<uint32_t, DefaultInitAllocator<uint32_t>>;
  OffsetList offsets_;
  OffsetList& WalkedOffsets() { return walked_offsets_; }

 private:
  OffsetList walked_offsets_;  // noted by CountRecords for FillColumns
  ByteBuffer content_;
};

// The string-list kinds: descriptions, insertion strings, sources and the
// named-field names and values.
class RepDescBuffer final : public RepPartBuffer {
 public:
  explicit RepDescBuffer(ByteBuffer content) : RepPartBuffer(std::move(content), 2) {}
};
class RepInsBuffer final : public RepPartBuffer {
 public:
  explicit RepInsBuffer(ByteBuffer content) : RepPartBuffer(std::move(content), 5) {}
};
class RepSrcBuffer final : public RepPartBuffer {
 public:
  explicit RepSrcBuffer(ByteBuffer content) : RepPartBuffer(std::move(content), 8) {}
};
class RepNfNamesBuffer final : public RepPartBuffer {
 public:
  explicit RepNfNamesBuffer(ByteBuffer content) : RepPartBuffer(std::move(content), 11) {}
};
class RepNfValuesBuffer final : public RepPartBuffer {
 public:
  explicit RepNfValuesBuffer(ByteBuffer content) : RepPartBuffer(std::move(content), 12) {}
};

// Kinds without a record format: kept as raw bytes, never walked.
class RepRawPartBuffer : public RepPartBuffer {
 public:
  using RepPartBuffer::RepPartBuffer;
  int Parse() override { return 0; }
};
class RepFirstPosBuffer final : public RepRawPartBuffer {
 public:
  explicit RepFirstPosBuffer(ByteBuffer content) : RepRawPartBuffer(std::move(content), 4) {}
};
class RepLastPosBuffer final : public RepRawPartBuffer {
 public:
  explicit RepLastPosBuffer(ByteBuffer content) : RepRawPartBuffer(std::move(content), 6) {}
};
class RepFiltersDatBuffer final : public RepRawPartBuffer {
 public:
  explicit RepFiltersDatBuffer(ByteBuffer content) : RepRawPartBuffer(std::move(content), 13) {}
};
class RepFilterStatBuffer final : public RepRawPartBuffer {
 public:
  explicit RepFilterStatBuffer(ByteBuffer content) : RepRawPartBuffer(std::move(content), 14) {}
};

}  // namespace tallymere
