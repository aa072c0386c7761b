// Data buffers: the two decoders, unpacking with its size rules, the
// checksum report and its dump. The checksum and the dump themselves:
// crc32_hex_dump_test.cpp.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "buffers/crc32.h"
#include "buffers/hex_dump.h"
#include "buffers/inflate.h"
#include "container/rep_data_buffer.h"
#include "parts/rep_part_buffer.h"
#include "repwriter/image.h"
#include "support/hex_dump_rule.h"
#include "support/output_capture.h"

namespace tallymere::test {
namespace {

using Buffer = std::vector<uint8_t>;

Buffer Encode(const Buffer& content, const std::string& name = "1_desc.dat") {
  return repwriter::EncodeDataBuffer({.name = name, .content = content}, 6);
}

void PutU32(Buffer& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

Buffer Text(const std::string& s) { return Buffer(s.begin(), s.end()); }

Buffer Pseudorandom(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  Buffer b(n);
  for (auto& x : b) x = static_cast<uint8_t>(gen() % 7);  // compressible, not trivial
  return b;
}

// Every unpacking case runs through each decoder that was built.
class DataBufferTest : public ::testing::TestWithParam<InflateBackend> {
 protected:
  void SetUp() override {
    saved_ = CurrentInflateBackend();
    ASSERT_TRUE(SetInflateBackend(GetParam()));
  }
  void TearDown() override { SetInflateBackend(saved_); }

  static RepDataBuffer Over(const Buffer& image) { return RepDataBuffer(Bytes(image)); }

  OutputCapture capture_;

 private:
  InflateBackend saved_ = InflateBackend::kZlib;
};

TEST_P(DataBufferTest, ExactTrailerLengthUnpacksToExactlyThatManyBytes) {
  const Buffer content = Pseudorandom(5000, 1);
  const Buffer image = Encode(content, "3_events.dat");
  RepDataBuffer data = Over(image);
  EXPECT_EQ(data.name, "3_events.dat");
  EXPECT_EQ(data.name_len, 12u);
  EXPECT_EQ(data.unpacked_len, 5000u);
  EXPECT_EQ(data.Parse(), 0);
  EXPECT_EQ(Buffer(data.output().begin(), data.output().end()), content);
  EXPECT_EQ(data.unpacked_len_real, 5000u);
  EXPECT_EQ(data.crc32_real, data.crc32);
  EXPECT_EQ(data.notes.Text(), "");
}

TEST_P(DataBufferTest, UndersizedTrailerLengthDoublesTheGuessUntilTheContentFits) {
  const Buffer content(200000, 0);  // compresses far below a sixth
  Buffer image = Encode(content);
  PutU32(image, image.size() - 4, 1);
  RepDataBuffer data = Over(image);
  EXPECT_EQ(data.Parse(), 0);
  EXPECT_EQ(data.output().size(), content.size());
  EXPECT_EQ(data.unpacked_len_real, content.size());
  EXPECT_EQ(data.notes.Text(), "");
}

TEST_P(DataBufferTest, FirstSizeIsTheTrailerLengthOnlyWhenPlausible) {
  // A failing decode leaves the size it tried in unpacked_len_real.
  Buffer image = Encode(Pseudorandom(3000, 2));
  const uint64_t stream_start = 12 + 11;
  image[stream_start] = 0x07;  // final block of the reserved type
  const uint32_t compressed = static_cast<uint32_t>(image.size() - 21 - 10);
  const uint32_t plausible = 1032 * compressed + 64;
  PutU32(image, image.size() - 4, plausible);
  RepDataBuffer accepted = Over(image);
  EXPECT_EQ(accepted.Parse(), -1);
  EXPECT_EQ(accepted.unpacked_len_real, plausible);

  for (uint32_t implausible : {plausible + 1, 0xFFFFFFFFu, static_cast<uint32_t>(image.size())}) {
    PutU32(image, image.size() - 4, implausible);
    RepDataBuffer guessed = Over(image);
    EXPECT_EQ(guessed.Parse(), -1);
    EXPECT_EQ(guessed.unpacked_len_real, 6 * image.size()) << implausible;
  }
}

// No buffer may make the reader allocate more than DEFLATE could expand its
// stream to, whatever its name and trailer say: a failing first attempt
// shows the room that was allocated.
TEST_P(DataBufferTest, FirstAttemptNeverExceedsTheDeflateBound) {
  const std::string long_name = "1_desc." + std::string(4000, 'n');
  for (uint32_t trailer : {0u, 1u, 0xFFFFFFFFu}) {
    Buffer image = Encode(Text("x"), long_name);
    const uint64_t stream_start = 12 + long_name.size() + 1;
    image[stream_start] = 0x07;  // final block of the reserved type: the decode fails at once
    PutU32(image, image.size() - 4, trailer);
    const uint64_t compressed = image.size() - 21 - long_name.size();
    RepDataBuffer data = Over(image);
    EXPECT_EQ(data.Parse(), -1);
    EXPECT_LE(data.output().size(), 1032 * compressed + 64) << trailer;
    EXPECT_LE(data.unpacked_len_real, 1032 * compressed + 64) << trailer;
  }
  // The same bound still leaves room for any content the stream holds.
  const Buffer content(50000, 'a');
  Buffer image = Encode(content, long_name);
  PutU32(image, image.size() - 4, 0xFFFFFFFFu);
  RepDataBuffer data = Over(image);
  EXPECT_EQ(data.Parse(), 0);
  EXPECT_EQ(Buffer(data.output().begin(), data.output().end()), content);
}

TEST_P(DataBufferTest, ShortContentLeavesAFourByteVectorButChecksumsTheRealLength) {
  const Buffer image = Encode(Text("ab"));
  RepDataBuffer data = Over(image);
  EXPECT_EQ(data.Parse(), 0);
  EXPECT_EQ(Buffer(data.output().begin(), data.output().end()), (Buffer{'a', 'b', 0, 0}));
  EXPECT_EQ(data.unpacked_len_real, 2u);
  EXPECT_EQ(data.crc32_real, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>("ab"), 2)));
}

TEST_P(DataBufferTest, WrongSignatureIsReportedAndYieldsNoBytes) {
  Buffer image = Encode(Text("some content"));
  image[1] = 'X';
  RepDataBuffer data = Over(image);
  std::unique_ptr<RepPartBuffer> part = data.CreatePart(2);
  EXPECT_EQ(data.notes.Text(), "Wrong signature!\n");
  EXPECT_EQ(data.parse_status(), -1);
  EXPECT_EQ(data.unpacked_len_real, 0u);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->buffer_len, 0u);
  EXPECT_EQ(part->Parse(), 0);
}

TEST_P(DataBufferTest, CorruptOrTruncatedStreamPrintsTheDataErrorCode) {
  Buffer corrupt = Encode(Pseudorandom(1000, 3));
  corrupt[12 + 11] = 0x07;
  RepDataBuffer corrupt_data = Over(corrupt);
  EXPECT_EQ(corrupt_data.Parse(), -1);
  EXPECT_EQ(corrupt_data.notes.Text(), "error: Can't uncompress : -3\nuncompress error\n");

  // Half the stream, then the trailer: the decoder runs out of input.
  const Buffer whole = Encode(Pseudorandom(20000, 4));
  Buffer truncated(whole.begin(), whole.begin() + (whole.size() / 2));
  truncated.insert(truncated.end(), whole.end() - 8, whole.end());
  RepDataBuffer truncated_data = Over(truncated);
  EXPECT_EQ(truncated_data.Parse(), -1);
  EXPECT_EQ(truncated_data.notes.Text(), "error: Can't uncompress : -3\nuncompress error\n");
}

TEST_P(DataBufferTest, ChecksumMismatchIsReportedWithADumpAndTheContentKept) {
  Buffer image = Encode(Text("0123456789"));
  const uint32_t stored = 12345;
  PutU32(image, image.size() - 8, stored);
  RepDataBuffer data = Over(image);
  EXPECT_EQ(data.Parse(), -5);
  const uint32_t real = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>("0123456789"), 10));
  EXPECT_EQ(data.notes.Text(), "BAD CRC: " + std::to_string(real) + " != 12345\n" + Rule('-') +
                                   "00000000:  30 31 32 33 34 35 36 37 38 39" + std::string(21, ' ') + "0123456789\n" +
                                   Rule('='));
  EXPECT_EQ(Buffer(data.output().begin(), data.output().end()), Text("0123456789"));
  data.Dump(Out());
  char hex[40];
  std::snprintf(hex, sizeof hex, "%08X", real);
  EXPECT_EQ(capture_.out(),
            "\n1_desc.dat\ncrc32 = 12345 (0x00003039)\ncrc32_real = " + std::to_string(real) + " (0x" + hex + ")\n");
}

TEST_P(DataBufferTest, LongContentDumpsOnlyTheFirst64Bytes) {
  Buffer image = Encode(Buffer(100, 'z'));
  PutU32(image, image.size() - 8, 0);
  RepDataBuffer data = Over(image);
  data.Parse();
  const std::string out = data.notes.Text();
  EXPECT_NE(out.find("00000030: "), std::string::npos);
  EXPECT_NE(out.find("00000040: " + std::string(51, ' ') + "\n"), std::string::npos);
  EXPECT_EQ(out.find("00000050"), std::string::npos);
}

TEST_P(DataBufferTest, NestedImageIsClassifiedByItsMagic) {
  Buffer edrp = Text("EDRP and the rest of an image");
  const Buffer nested = Encode(edrp, "segment_1.img");
  RepDataBuffer data = Over(nested);
  EXPECT_EQ(data.ReadNestedImage(), -1);
  EXPECT_EQ(data.image().size(), edrp.size());
  EXPECT_EQ(Buffer(data.image().begin(), data.image().end()), edrp);

  Buffer file_magic = {0x7B, 0x19, 0x35, 0x19, 1, 2, 3};
  const Buffer file_image = Encode(file_magic);
  EXPECT_EQ(Over(file_image).ReadNestedImage(), -2);
  const Buffer other = Encode(Text("EDRX"));
  EXPECT_EQ(Over(other).ReadNestedImage(), kUnknownBufferId);
}

std::vector<InflateBackend> BuiltBackends() {
  std::vector<InflateBackend> backends = {InflateBackend::kZlib};
  if (InflateBackendAvailable(InflateBackend::kLibdeflate)) backends.push_back(InflateBackend::kLibdeflate);
  return backends;
}

INSTANTIATE_TEST_SUITE_P(Backends, DataBufferTest, ::testing::ValuesIn(BuiltBackends()),
                         [](const auto& info) { return info.param == InflateBackend::kZlib ? "zlib" : "libdeflate"; });

TEST(DataBufferBounds, RejectsBuffersTooShortForTheirName) {
  const Buffer image = Encode(Text("x"), "abc");  // 21 + 3 + stream bytes
  const Bytes all(image);
  EXPECT_TRUE(RepDataBuffer::WellFormed(all));
  EXPECT_FALSE(RepDataBuffer::WellFormed(all.first(20)));
  EXPECT_TRUE(RepDataBuffer::WellFormed(all.first(24)));  // exactly 21 + L
  EXPECT_FALSE(RepDataBuffer::WellFormed(all.first(23)));
  Buffer unterminated(40, 'n');
  EXPECT_FALSE(RepDataBuffer::WellFormed(Bytes(unterminated)));
}

// An image that is not in memory: every read is copied, and the reads are
// counted. Past `stored` bytes it holds only zeros, as a sparse file's holes
// read.
class CountingSource final : public ImageSource {
 public:
  CountingSource(const Buffer& stored, uint64_t size) : ImageSource(size), stored_(stored) {}
  Bytes Read(uint64_t offset, uint64_t length, ByteBuffer& storage) const override {
    storage.assign(static_cast<size_t>(length), 0);
    for (uint64_t i = 0; i < length && offset + i < stored_.size(); ++i) storage[i] = stored_[offset + i];
    read_bytes += length;
    largest_read = std::max(largest_read, length);
    return Bytes(storage);
  }
  mutable uint64_t read_bytes = 0;
  mutable uint64_t largest_read = 0;

 private:
  const Buffer& stored_;
};

// A buffer that is not unpacked is judged by its name alone, read a little
// at a time, exactly as a buffer read whole is judged.
TEST(DataBufferBounds, WellFormedAtReadsNoMoreThanTheName) {
  const Buffer image = Encode(Text("x"), "abc");
  for (size_t length = 0; length <= image.size(); ++length) {
    const CountingSource source(image, image.size());
    uint64_t name_len = 0;
    EXPECT_EQ(RepDataBuffer::WellFormedAt(source, 0, length, name_len),
              RepDataBuffer::WellFormed(Bytes(image).first(length)))
        << length;
    EXPECT_LE(source.read_bytes, 64u);
  }
  Buffer long_name = Encode(Text("x"), std::string(100000, 'n'));
  const CountingSource source(long_name, long_name.size());
  uint64_t name_len = 0;
  EXPECT_TRUE(RepDataBuffer::WellFormedAt(source, 0, long_name.size(), name_len));
  EXPECT_EQ(name_len, 100000u);
  const Buffer unterminated(3 << 20, 'n');  // a name with no end, over pieces
  const CountingSource endless(unterminated, unterminated.size());
  EXPECT_FALSE(RepDataBuffer::WellFormedAt(endless, 0, unterminated.size(), name_len));
  EXPECT_LE(endless.largest_read, uint64_t{1} << 20);
}

// Pieces of a fixed size, as a streamed buffer reads its stream.
class Pieces final : public InflateInput {
 public:
  Pieces(Bytes input, size_t piece) : input_(input), piece_(piece) {}
  Bytes Next() override {
    const Bytes next = input_.first(std::min(piece_, input_.size()));
    input_ = input_.subspan(next.size());
    return next;
  }

 private:
  Bytes input_;
  size_t piece_;
};

// The decode of a stream read in pieces must give what the one-shot decode
// gives, failures included: the status, the size left (the room last
// tried, on a failure) and the bytes, which a damaged part still uses.
TEST(InflateStream, GivesWhatTheOneShotDecodeGives) {
  const InflateBackend saved = CurrentInflateBackend();
  SetInflateBackend(InflateBackend::kZlib);
  const Buffer content = Pseudorandom(70000, 5);
  const Buffer whole = Encode(content);
  const Buffer stream(whole.begin() + 23, whole.end());  // "1_desc.dat": 12 + 10 + 1 bytes before the stream
  std::vector<std::pair<std::string, Buffer>> inputs = {{"sound", stream},
                                                        {"truncated", Buffer(stream.begin(), stream.begin() + 900)},
                                                        {"empty", Buffer()},
                                                        {"zeros", Buffer(5000, 0)}};
  for (size_t at : {0, 1, 17, 400, 3000}) {
    Buffer damaged = stream;
    damaged[at] ^= 0x5A;
    inputs.emplace_back("flipped at " + std::to_string(at), damaged);
  }
  for (const auto& [name, input] : inputs) {
    for (uint32_t first_size : {8u, 1000u, 70000u, 65536u, 1u << 20}) {
      ByteBuffer expected_out;
      uint32_t expected_size = first_size;
      const int expected = InflateToVector(Bytes(input), expected_out, expected_size);
      for (size_t piece : {1, 7, 4096, 1 << 20}) {
        SCOPED_TRACE(name + ", first size " + std::to_string(first_size) + ", pieces of " + std::to_string(piece));
        Pieces pieces(Bytes(input), piece);
        ByteBuffer out;
        uint32_t size = first_size;
        EXPECT_EQ(InflateStreamToVector(pieces, out, size), expected);
        EXPECT_EQ(size, expected_size);
        EXPECT_TRUE(out == expected_out);
      }
    }
  }
  SetInflateBackend(saved);
}

// A buffer longer than is read whole is unpacked as its stream is read; a
// terabyte of holes fails at its first piece, reading a megabyte or two.
TEST(DataBufferStreamed, ALongBufferIsUnpackedAPieceAtATime) {
  const Buffer content = Pseudorandom(kWholeReadLimit + 1000, 9);
  const Buffer image = repwriter::EncodeDataBuffer({.name = "1_events.dat", .content = content}, 0);
  ASSERT_GT(image.size(), kWholeReadLimit);
  const CountingSource source(image, image.size());
  ByteBuffer storage;
  const std::unique_ptr<RepDataBuffer> streamed = RepDataBuffer::ReadFrom(source, 0, image.size(), storage);
  ASSERT_TRUE(streamed);
  EXPECT_EQ(streamed->name, "1_events.dat");
  EXPECT_EQ(streamed->Parse(), 0);
  EXPECT_TRUE(Buffer(streamed->output().begin(), streamed->output().end()) == content);
  EXPECT_EQ(streamed->notes.Text(), "");
  EXPECT_LE(source.largest_read, uint64_t{1} << 20);
  EXPECT_TRUE(storage.empty());

  Buffer head = Text("ED");
  head.resize(12, 0);
  for (char c : std::string("1_events.dat")) head.push_back(static_cast<uint8_t>(c));
  head.push_back(0);
  const uint64_t terabyte = uint64_t{1} << 40;
  const CountingSource holes(head, terabyte);
  const std::unique_ptr<RepDataBuffer> claimed = RepDataBuffer::ReadFrom(holes, 0, terabyte, storage);
  ASSERT_TRUE(claimed);
  EXPECT_EQ(claimed->Parse(), -1);
  EXPECT_EQ(claimed->notes.Text(), "error: Can't uncompress : -3\nuncompress error\n");
  EXPECT_LE(holes.read_bytes, uint64_t{2} << 20);
}

}  // namespace
}  // namespace tallymere::test
