// The per-file pipeline: repository files read from disk, counted footer by
// footer into a counter, with damaged files reported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parts/rep_events_buffer.h"
#include "parts/rep_name_tables.h"
#include "parts/rep_part.h"
#include "repwriter/description.h"
#include "repwriter/repository.h"
#include "scan/process_file.h"
#include "scan/scan_pipeline.h"
#include "support/output_capture.h"
#include "support/program_runner.h"

namespace tallymere::test {
namespace {

using repwriter::Damage;
using repwriter::FooterDescription;
using repwriter::FooterRole;
using repwriter::ImageDescription;

// Records what the pipeline counts: each part its tallies count, in the
// order the counter accepts the counts.
class RecordingCounter : public RepCounters {
 public:
  struct Call {
    uint32_t part_index;
    uint32_t records;
    std::u16string log;
    size_t decoded_events;
  };
  explicit RecordingCounter(bool is_fast = false) {
    type_code = 6;
    part_flags = {1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    fast = is_fast;
  }
  std::unique_ptr<PartTally> NewTally() override { return std::make_unique<Tally>(); }
  RunStop Accept(PartCounts& counts) override {
    calls.push_back(static_cast<Counts&>(counts).call);
    return RunStop::kNone;
  }
  std::vector<Call> calls;

 private:
  struct Counts : PartCounts {
    Call call;
  };
  struct Tally : PartTally {
    std::unique_ptr<PartCounts> Count(RepPart& part, const FooterPropInfo& info, const RepPartCount& count) override {
      auto counts = std::make_unique<Counts>();
      counts->call = {part.index, count.ulCount, info.UnderDataSource(), part.events()->table.size()};
      return counts;
    }
    void Add(PartCounts&) override {}
  };
};

FooterDescription Footer(std::u16string log, std::vector<size_t> part_sizes) {
  FooterDescription footer;
  footer.log = std::move(log);
  uint32_t index = 1;
  for (size_t size : part_sizes) {
    repwriter::PartDescription part{.index = index++};
    for (size_t i = 0; i < size; ++i) {
      part.events.push_back(
          {.computer = u"dc01", .category = u"Logon", .event_id = 4624, .time = 1520380800 + static_cast<uint32_t>(i)});
    }
    footer.parts.push_back(std::move(part));
  }
  return footer;
}

ImageDescription Image(std::vector<FooterDescription> footers) { return {.footers = std::move(footers)}; }

class PipelineTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const ImageDescription& image) {
    const auto path = folder_.path() / name;
    repwriter::WriteFileBytes(path, repwriter::WriteImage(image));
    return path.string();
  }
  std::string WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes) {
    const auto path = folder_.path() / name;
    repwriter::WriteFileBytes(path, bytes);
    return path.string();
  }
  int Process(const std::string& path, RepCounters& counter) {
    RepFileInput input(path, counter.part_flags);
    return ProcessFile(input, counter, run_);
  }

  TempFolder folder_;
  OutputCapture capture_;
  RunState run_;  // of every file processed in the test
};

TEST_F(PipelineTest, UnreadFileIsLeftToTheReaderReport) {
  RecordingCounter counter;
  EXPECT_EQ(Process((folder_.path() / "missing.rep").string(), counter), -2);
  EXPECT_EQ(counter.type_code, 6u);
  EXPECT_EQ(counter.m_prop_total, 0u);
  EXPECT_TRUE(run_.incomplete);
}

TEST_F(PipelineTest, PropertyTotalSumsEventsCountOfEveryFooter) {
  EventCount counter;
  EXPECT_EQ(Process(Write("a.rep", Image({Footer(u"App", {5})})), counter), 0);
  EXPECT_EQ(Process(Write("b.rep", Image({Footer(u"App", {3}), Footer(u"Sys", {4})})), counter), 0);
  EXPECT_EQ(counter.m_prop_total, 12u);
  EXPECT_EQ(counter.m_total, 12u);
  EXPECT_FALSE(run_.incomplete);
  EXPECT_EQ(capture_.out(), "");
}

TEST_F(PipelineTest, PropertyTotalReportsAMissingEventsCountOnce) {
  repwriter::ImagePlan plan = repwriter::Lower(Image({Footer(u"App", {2}), Footer(u"App", {3})}));
  std::erase_if(plan.footers[0].properties, [](const auto& p) { return p.name == u"EventsCount"; });
  EventCount counter;
  EXPECT_EQ(Process(WriteBytes("a.rep", repwriter::BuildImage(plan)), counter), 0);
  EXPECT_EQ(counter.m_prop_total, 0u);  // the later footer is not counted either
  EXPECT_EQ(capture_.err(), "EventsCount not found in footer property.\n");
  EXPECT_EQ(capture_.out(), "ComputerType = 0\nPlatformID = 0\nUnderDataSource = App\n");
  EXPECT_TRUE(run_.incomplete);
}

// A footer that carries "PrevPositionGUID" makes the file a position record
// (it stops the parse there): the property total counts none of the file,
// its earlier footers included, without a word, and the run stays complete.
TEST_F(PipelineTest, PropertyTotalPassesOverAPositionRecordSilently) {
  repwriter::ImagePlan plan = repwriter::Lower(Image({Footer(u"App", {2}), Footer(u"App", {3}), Footer(u"App", {4})}));
  std::erase_if(plan.footers[1].properties, [](const auto& p) { return p.name == u"EventsCount"; });
  plan.footers[1].properties.push_back({u"PrevPositionGUID", u"{0}"});
  EventCount counter;
  EXPECT_EQ(Process(WriteBytes("a.rep", repwriter::BuildImage(plan)), counter), 0);
  EXPECT_EQ(counter.m_prop_total, 0u);
  EXPECT_FALSE(run_.incomplete);
  EXPECT_EQ(capture_.err(), "");
  EXPECT_EQ(capture_.out(), "");
}

TEST_F(PipelineTest, EveryEventsPartReachesTheCounterDecoded) {
  RecordingCounter counter;
  FooterDescription footer = Footer(u"App", {4, 5});
  footer.parts.push_back({.index = 7, .raw = {{.kind = repwriter::BufferKind::Description}}});
  EXPECT_EQ(Process(Write("a.rep", Image({footer, Footer(u"Sys", {2})})), counter), 0);
  ASSERT_EQ(counter.calls.size(), 3u);
  EXPECT_EQ(counter.calls[0].part_index, 1u);
  EXPECT_EQ(counter.calls[0].records, 4u);
  EXPECT_EQ(counter.calls[0].decoded_events, 4u);
  EXPECT_EQ(counter.calls[1].records, 5u);
  EXPECT_EQ(counter.calls[2].log, u"Sys");
  EXPECT_EQ(counter.m_prop_total, 11u);
  EXPECT_EQ(counter.m_total, 0u);
  EXPECT_FALSE(run_.incomplete);
  EXPECT_EQ(capture_.out(), "");
}

TEST_F(PipelineTest, FastCounterReadsUndecodedParts) {
  RecordingCounter counter(true);
  EXPECT_EQ(Process(Write("a.rep", Image({Footer(u"App", {3})})), counter), 0);
  ASSERT_EQ(counter.calls.size(), 1u);
  EXPECT_EQ(counter.calls[0].records, 3u);
  EXPECT_EQ(counter.calls[0].decoded_events, 0u);
}

TEST_F(PipelineTest, RecordsThatDoNotAddUpToEventsCountAreReported) {
  FooterDescription footer = Footer(u"App", {4, 5});
  footer.properties = {{u"EventsCount", u"10"}};
  RecordingCounter counter;
  const std::string path = Write("a.rep", Image({footer}));
  EXPECT_EQ(Process(path, counter), 0);
  EXPECT_EQ(counter.calls.size(), 2u);
  EXPECT_EQ(counter.m_prop_total, 10u);
  EXPECT_TRUE(run_.incomplete);
  EXPECT_EQ(capture_.err(), "prop_info.ulEventNum != tmp_ulCount");
  EXPECT_EQ(capture_.out(), path +
                                "\nprop_info.ulEventNum != tmp_ulCount\nprop_info.ulEventNum = 10 (0x0000000A)\n"
                                "tmp_ulCount = 9 (0x00000009)\n\n");
}

TEST_F(PipelineTest, FooterWithAnUnreadablePropertyIsSkipped) {
  RecordingCounter counter;
  EXPECT_EQ(Process(Write("a.rep", Image({Footer(u"App", {1})})), counter), 0);
  ImageDescription damaged = Image({Footer(u"App", {1}), Footer(u"Sys", {2})});
  damaged.damage.push_back({.what = Damage::NonNumericComputerType, .footer = 0});
  EXPECT_EQ(Process(Write("b.rep", damaged), counter), 0);
  ASSERT_EQ(counter.calls.size(), 2u);
  EXPECT_EQ(counter.calls[1].log, u"Sys");
  EXPECT_EQ(counter.m_prop_total, 3u);
  EXPECT_TRUE(run_.incomplete);
  EXPECT_EQ(capture_.err(), "ComputerType not found in footer property.\n");
}

TEST_F(PipelineTest, FailedFileMarksTheCounterAndLaterFilesAreNotCounted) {
  EventCount counter;
  EXPECT_EQ(Process(Write("a.rep", Image({Footer(u"App", {5})})), counter), 0);
  ImageDescription bad = Image({Footer(u"App", {2})});
  bad.damage.push_back({.what = Damage::StrayBytesAfterLastRecord, .part = 1});
  RecordingCounter full;  // mode -1 builds no parts; a full counter sees the damage
  const std::string bad_path = Write("b.rep", bad);
  EXPECT_EQ(Process(bad_path, full), -1);  // kind Data, then refused
  EXPECT_EQ(capture_.out(), "some problem in file:\n" + bad_path + "\n");
  EXPECT_TRUE(full.failed());
  EXPECT_TRUE(full.calls.empty());
  EXPECT_EQ(Process(Write("c.rep", Image({Footer(u"App", {1})})), full), -1);
  EXPECT_TRUE(full.calls.empty());
  EXPECT_EQ(full.m_prop_total, 0u);

  capture_.Clear();
  const std::string header_path = WriteBytes("d.rep", std::vector<uint8_t>(30, 0));
  EXPECT_EQ(Process(header_path, counter), 0);  // never became Data
  EXPECT_EQ(capture_.out(), "last_footer_offset + last_footer_len != buffer_len :0 != 30\nsome problem in file:\n" +
                                header_path + "\n");
  EXPECT_EQ(Process(Write("e.rep", Image({Footer(u"App", {7})})), counter), -1);
  EXPECT_EQ(counter.m_prop_total, 5u);
  EXPECT_EQ(counter.m_total, 5u);
}

TEST_F(PipelineTest, ContainerCountsItsNestedImagesInTableOrder) {
  FooterDescription container;
  container.nested = {Image({Footer(u"One", {1})}), Image({Footer(u"Two", {2})}), Image({Footer(u"Three", {3})})};
  RecordingCounter counter;
  EXPECT_EQ(Process(Write("a.rep", Image({container})), counter), 0);
  ASSERT_EQ(counter.calls.size(), 3u);
  EXPECT_EQ(counter.calls[0].log, u"One");
  EXPECT_EQ(counter.calls[1].log, u"Two");
  EXPECT_EQ(counter.calls[2].log, u"Three");
  EXPECT_EQ(counter.m_prop_total, 6u);
  EXPECT_FALSE(run_.incomplete);

  EventCount total;
  EXPECT_EQ(Process(Write("a.rep", Image({container})), total), 0);
  EXPECT_EQ(total.m_prop_total, 6u);
}

TEST_F(PipelineTest, NestedImagesThatAreNotDataAreSkippedSilently) {
  FooterDescription previous = Footer(u"Prev", {2});
  previous.role = FooterRole::PrevPosition;
  FooterDescription container;
  container.nested = {Image({previous}), Image({Footer(u"Two", {2})})};
  RecordingCounter counter;
  EXPECT_EQ(Process(Write("a.rep", Image({container})), counter), 0);
  ASSERT_EQ(counter.calls.size(), 1u);
  EXPECT_EQ(counter.calls[0].log, u"Two");
  EXPECT_FALSE(run_.incomplete);
  EXPECT_EQ(capture_.out(), "");
}

TEST_F(PipelineTest, NestedBufferWithoutMagicStopsTheContainer) {
  FooterDescription container;
  container.nested = {Image({Footer(u"One", {1})}), Image({Footer(u"Two", {2})})};
  repwriter::ImagePlan plan = repwriter::Lower(Image({container}));
  // The first nested buffer now unpacks to bytes that are no image.
  plan.footers[0].buffers[0].content = {'n', 'o', 'p', 'e', 0, 0};
  RecordingCounter counter;
  EXPECT_EQ(Process(WriteBytes("a.rep", repwriter::BuildImage(plan)), counter), 0);
  EXPECT_TRUE(counter.calls.empty());
  EXPECT_TRUE(run_.incomplete);
  EXPECT_EQ(counter.type_code, 6u);
}

TEST_F(PipelineTest, DamagedDataBufferIsReportedAndItsContentStillCounted) {
  ImageDescription image = Image({Footer(u"App", {3})});
  image.damage.push_back({.what = Damage::BadCrc, .buffer = "1_events.dat"});
  RecordingCounter counter;
  EXPECT_EQ(Process(Write("a.rep", image), counter), 0);
  ASSERT_EQ(counter.calls.size(), 1u);
  EXPECT_EQ(counter.calls[0].records, 3u);
  EXPECT_TRUE(run_.incomplete);
  EXPECT_EQ(capture_.out().rfind("BAD CRC: ", 0), 0u);
}

TEST_F(PipelineTest, ImagesThatAreNotDataAreSkippedSilently) {
  FooterDescription no_events = Footer(u"App", {1});
  no_events.role = FooterRole::NoEvents;
  FooterDescription previous = Footer(u"App", {1});
  previous.role = FooterRole::PrevPosition;
  const FooterDescription active{.role = FooterRole::ActiveSegment};
  for (const FooterDescription& footer : {no_events, previous, active}) {
    RecordingCounter counter;
    EventCount total;
    const std::string path = Write("a.rep", Image({footer}));
    EXPECT_EQ(Process(path, counter), 0);
    EXPECT_EQ(Process(path, total), 0);
    EXPECT_TRUE(counter.calls.empty());
    EXPECT_EQ(counter.m_prop_total + total.m_prop_total, 0u);
    EXPECT_FALSE(run_.incomplete);
  }
  EXPECT_EQ(capture_.out(), "");
  EXPECT_EQ(capture_.err(), "");
}

TEST_F(PipelineTest, NestedReferencesAreHandedOutOnceThenNull) {
  RepFileBuffer image;
  image.footers.resize(2);
  const std::vector<uint8_t> bytes(8);
  const MemorySource source{Bytes(bytes)};
  image.footers[0].nested_refs.push_back({&source, 1, 2, -3});
  image.footers[1].nested_refs.push_back({&source, 3, 4, -3});
  image.footers[1].nested_refs.push_back({&source, 5, 6, -3});
  EXPECT_EQ(NextNestedRef(image).offset, 1u);
  EXPECT_EQ(NextNestedRef(image).offset, 3u);
  EXPECT_EQ(NextNestedRef(image).offset, 5u);
  EXPECT_TRUE(NextNestedRef(image).IsNull());
  EXPECT_TRUE(NextNestedRef(image).IsNull());
}

// However many parts a file has, only a few jobs are handed out ahead of the
// oldest one not taken in: what is held does not grow with the file.
TEST_F(PipelineTest, JobsAheadStayWithinTheWindowWhateverTheFileSize) {
  std::vector<size_t> parts(300, 20);
  const std::string path = Write("large.rep", Image({Footer(u"App", parts), Footer(u"Sys", parts)}));
  for (unsigned workers : {0u, 1u, 3u}) {
    std::unique_ptr<RepCounters> counter = CreateCounter(20);
    counter->worker_threads = workers;
    RunState run;
    ScanPipeline pipeline(*counter, run);
    RepFileInput input(path, counter->part_flags);
    EXPECT_EQ(pipeline.Process(input), 0);
    EXPECT_EQ(counter->m_prop_total, 2u * 300 * 20);
    EXPECT_LE(pipeline.most_in_flight(), pipeline.window()) << workers;
    EXPECT_LE(pipeline.window(), 4 * (workers + 1u)) << workers;
    EXPECT_GE(pipeline.most_in_flight(), std::min<size_t>(pipeline.window(), 2)) << workers;  // it does read ahead
  }
}

// Counts the counter refuses stop the run in their turn: the files after
// them are neither applied nor reported, on any number of threads, and only
// the driver ends the process.
TEST_F(PipelineTest, RefusedCountsStopTheRunInTheirTurn) {
  struct RefusingCounter : RecordingCounter {
    RunStop Accept(PartCounts& counts) override {
      RecordingCounter::Accept(counts);
      return calls.size() == 3 ? RunStop::kCountingFailed : RunStop::kNone;
    }
  };
  const std::string first = Write("a.rep", Image({Footer(u"App", {4, 5})}));
  const std::string second = Write("b.rep", Image({Footer(u"Sys", {6})}));
  const std::string damaged = WriteBytes("c.rep", {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
  for (unsigned workers : {0u, 1u, 3u}) {
    RefusingCounter counter;
    counter.worker_threads = workers;
    RunState run;
    {
      ScanPipeline pipeline(counter, run);
      for (const std::string& path : {first, second, damaged}) {
        pipeline.File(path);
        if (path == first) {
          EXPECT_FALSE(pipeline.Stopped());
        }
      }
      pipeline.Drain();
      EXPECT_TRUE(pipeline.Stopped());
    }
    EXPECT_EQ(run.stop, RunStop::kCountingFailed) << workers;
    EXPECT_EQ(counter.calls.size(), 3u) << workers;
    EXPECT_EQ(counter.m_prop_total, 9u) << workers;  // the first file's; not the stopping file's
    EXPECT_EQ(run.files, 2u) << workers;
  }
  EXPECT_EQ(capture_.out(), "");  // the damaged file after the stop is never reported
}

// Mode -1 through the program: the property total, and a footer without
// "EventsCount" reported and marking the run incomplete.
TEST(PropertyTotalProgram, SumsEventsCountAndReportsMissingOnes) {
  TempFolder folder;
  const auto repo = folder.path() / "repo";
  std::vector<repwriter::RepositoryFile> files = {{.image = Image({Footer(u"App", {5})})},
                                                  {.image = Image({Footer(u"App", {7})})}};
  repwriter::WriteRepository(repo, files);
  const ProgramResult clean = RunProgram({"-v", "-m", "-1", repo.string()});
  EXPECT_EQ(clean.status, 0) << clean.err;
  EXPECT_NE(clean.out.find("\ntotal (property): 12\n"), std::string::npos) << clean.out;

  FooterDescription missing = Footer(u"App", {3});
  missing.properties = {{u"Note", u"no count"}};
  repwriter::ImagePlan plan = repwriter::Lower(Image({missing}));
  std::erase_if(plan.footers[0].properties, [](const auto& p) { return p.name == u"EventsCount"; });
  repwriter::WriteFileBytes(repwriter::RootFolder(repo, repwriter::Root::Environment) / "Application" /
                                repwriter::RepositoryFileName(3, 1520380800, 1520380800),
                            repwriter::BuildImage(plan));
  const ProgramResult damaged = RunProgram({"-v", "-m", "-1", repo.string()});
  EXPECT_EQ(damaged.status, 2);
  EXPECT_NE(damaged.err.find("EventsCount not found in footer property.\n"), std::string::npos) << damaged.err;
  EXPECT_NE(damaged.out.find("Note = no count\n"), std::string::npos);
  EXPECT_NE(damaged.out.find("\ntotal (property): 12\n"), std::string::npos) << damaged.out;
}

}  // namespace
}  // namespace tallymere::test
