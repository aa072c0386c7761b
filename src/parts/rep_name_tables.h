// The tables that event records refer to, and the other record kinds with a
// format of their own.
//
// Category record, 12 + 2n bytes: n (u32), n UTF-16 units of category name,
//   event_type (u16), aux_word (u16), event_id (u32).
// Computer record, 8 + 2n bytes: n (u32), n units of computer name,
//   time_base (u32): the seconds that event time offsets are counted from.
// User record, 12 + 2a + 2b + m bytes: a (u32), a units, b (u32), b units,
//   m (u32), m bytes.
// Value-pair record, 8 bytes: first (u32), second (u32).
// Field-list record, 4 + 8m bytes: m (u32), then m pairs of u32.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "parts/rep_part_buffer.h"

namespace tallymere {

struct RepCatEntry {
  std::u16string category;
  uint16_t event_type = 0;
  uint16_t aux_word = 0;
  uint32_t event_id = 0;
};

struct RepUserEntry {
  std::u16string text_1;
  std::u16string text_2;
  std::vector<uint8_t> bin;
};

struct RepFieldList {
  uint32_t field_count = 0;
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
};

class RepCatBuffer final : public RepPartBuffer {
 public:
  explicit RepCatBuffer(ByteBuffer content) : RepPartBuffer(std::move(content), 0) {}
  void Decode() override;

  // Columns of record i; 0 (empty) for i >= ulCount.
  uint32_t CategoryLen(uint32_t i) const { return U32Field(i, 0); }
  Bytes CategoryBytes(uint32_t i) const { return BytesField(i, 4, NameBytes(i)); }
  uint16_t EventType(uint32_t i) const { return U16Field(i, 4 + NameBytes(i)); }
  uint16_t AuxWord(uint32_t i) const { return U16Field(i, 6 + NameBytes(i)); }
  uint32_t EventId(uint32_t i) const { return U32Field(i, 8 + NameBytes(i)); }

  std::vector<RepCatEntry> table;

 protected:
  std::optional<uint64_t> RecordSize(uint64_t offset) const override;

 private:
  uint64_t NameBytes(uint32_t i) const { return 2 * uint64_t{CategoryLen(i)}; }
};

class RepCompBuffer final : public RepPartBuffer {
 public:
  explicit RepCompBuffer(ByteBuffer content) : RepPartBuffer(std::move(content), 1) {}
  // Entries: text = computer name, value = time base.
  void Decode() override;

  uint32_t NameLen(uint32_t i) const { return U32Field(i, 0); }
  Bytes NameBytes(uint32_t i) const { return BytesField(i, 4, 2 * uint64_t{NameLen(i)}); }
  uint32_t TimeBase(uint32_t i) const { return U32Field(i, 4 + 2 * uint64_t{NameLen(i)}); }

  std::vector<RepStringEntry> table;

 protected:
  std::optional<uint64_t> RecordSize(uint64_t offset) const override;
};

class RepUserBuffer final : public RepPartBuffer {
 public:
  explicit RepUserBuffer(ByteBuffer content) : RepPartBuffer(std::move(content), 9) {}
  void Decode() override;

  uint32_t Len1(uint32_t i) const { return U32Field(i, 0); }
  Bytes Text1Bytes(uint32_t i) const { return BytesField(i, 4, 2 * uint64_t{Len1(i)}); }
  uint32_t Len2(uint32_t i) const { return U32Field(i, Len2Offset(i)); }
  Bytes Text2Bytes(uint32_t i) const { return BytesField(i, Len2Offset(i) + 4, 2 * uint64_t{Len2(i)}); }
  uint32_t BinLen(uint32_t i) const { return U32Field(i, BinLenOffset(i)); }
  Bytes BinBytes(uint32_t i) const { return BytesField(i, BinLenOffset(i) + 4, BinLen(i)); }

  std::vector<RepUserEntry> table;

 protected:
  std::optional<uint64_t> RecordSize(uint64_t offset) const override;

 private:
  uint64_t Len2Offset(uint32_t i) const { return 4 + 2 * uint64_t{Len1(i)}; }
  uint64_t BinLenOffset(uint32_t i) const { return Len2Offset(i) + 4 + 2 * uint64_t{Len2(i)}; }
};

class RepRecordBuffer final : public RepPartBuffer {
 public:
  explicit RepRecordBuffer(ByteBuffer content) : RepPartBuffer(std::move(content), 7) {}
  void Decode() override;

  uint32_t First(uint32_t i) const { return U32Field(i, 0); }
  uint32_t Second(uint32_t i) const { return U32Field(i, 4); }

  std::vector<std::pair<uint32_t, uint32_t>> table;

 protected:
  // Fixed 8 bytes: the walk reads nothing, and only a length that is a
  // multiple of 8 ends exactly.
  std::optional<uint64_t> RecordSize(uint64_t) const override { return 8; }
};

class RepNfieldsDatBuffer final : public RepPartBuffer {
 public:
  explicit RepNfieldsDatBuffer(ByteBuffer content) : RepPartBuffer(std::move(content), 10) {}
  // Walks the records again; this kind keeps no columns.
  void Decode() override;
  void ReserveColumns() override {}
  void FillColumns() override {}

  std::vector<RepFieldList> table;

 protected:
  std::optional<uint64_t> RecordSize(uint64_t offset) const override;
};

}  // namespace tallymere
