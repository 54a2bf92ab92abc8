// SPDX-License-Identifier: Apache-2.0
#include "driver/options.hpp"
#include "driver/frame_schedule.hpp"

#include <gtest/gtest.h>

#include <tuple>

#include <climits>

namespace rovelin {
namespace {

Command parse(std::vector<const char*> args) {
  args.insert(args.begin(), "rovelin");
  return parseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(Options, ClassicPositionalForm) {
  const Command c = parse({"v.avi", "12", "0.5", "t.txt", "ignored"});
  ASSERT_EQ(c.kind, CommandKind::Run);
  EXPECT_EQ(c.options.videoName, "v.avi");
  EXPECT_EQ(c.options.frameNumber, 12);
  EXPECT_EQ(c.options.resizeFactor, 0.5);
  EXPECT_EQ(c.options.trainingFile, "t.txt");
  EXPECT_TRUE(c.options.gui);

  // atoi/atof conversions: leading number taken, text gives 0, overflow clamps.
  const Command loose = parse({"v.avi", "7frames", "abc", "t.txt"});
  EXPECT_EQ(loose.options.frameNumber, 7);
  EXPECT_EQ(loose.options.resizeFactor, 0.0);
  EXPECT_EQ(parse({"v.avi", "99999999999", "1", "t"}).options.frameNumber, INT_MAX);
  EXPECT_EQ(parse({"v.avi", "-3", "1", "t"}).options.frameNumber, -3);
}

TEST(Options, OptionsComeAnywhere) {
  const Command c = parse({"--no-gui", "--threads", "1", "v.avi", "--json=out.json", "1", "2",
                           "--overlay", "o.png", "t.txt", "--timings"});
  ASSERT_EQ(c.kind, CommandKind::Run);
  EXPECT_FALSE(c.options.gui);
  EXPECT_EQ(c.options.threads, 1);
  EXPECT_EQ(c.options.jsonPath, "out.json");
  EXPECT_EQ(c.options.overlayPath, "o.png");
  EXPECT_TRUE(c.options.timings);

  const Command dashed = parse({"--", "-odd.avi", "1", "2", "t.txt"});
  ASSERT_EQ(dashed.kind, CommandKind::Run);
  EXPECT_EQ(dashed.options.videoName, "-odd.avi");
  const Command late = parse({"v.avi", "1", "-v", "--", "-1.5", "--no-gui"});
  ASSERT_EQ(late.kind, CommandKind::Run);
  EXPECT_EQ(late.options.verbosity, Verbosity::Verbose);
  EXPECT_EQ(late.options.resizeFactor, -1.5);
  EXPECT_EQ(late.options.trainingFile, "--no-gui");
  EXPECT_TRUE(late.options.gui);

  EXPECT_EQ(parse({"--help", "v.avi"}).kind, CommandKind::Help);
  EXPECT_EQ(parse({"--version"}).kind, CommandKind::Version);
  EXPECT_EQ(parse({"--no-gui", "v.avi", "1", "2"}).kind, CommandKind::Usage);
  EXPECT_EQ(parse({"--bogus", "v.avi", "1", "2", "t"}).kind, CommandKind::Error);
  EXPECT_EQ(parse({"--json"}).kind, CommandKind::Error);
  EXPECT_EQ(parse({"--no-gui=1", "v", "1", "2", "t"}).kind, CommandKind::Error);
  EXPECT_EQ(parse({"--threads", "x", "v", "1", "2", "t"}).kind, CommandKind::Error);
}

TEST(Options, PolygonOptionsAreCheckedAndWarnWhenTheyDoNothing) {
  const Command c = parse({"--cvat", "r.xml", "--cvat-shapes", "polygon", "--polygon-tolerance=0.5",
                           "--labelme", "l/{frame}.json", "v", "1", "2", "t"});
  ASSERT_EQ(c.kind, CommandKind::Run);
  EXPECT_TRUE(c.options.cvatPolygons);
  EXPECT_EQ(c.options.polygonTolerance, 0.5);
  EXPECT_EQ(c.options.labelmePath, "l/{frame}.json");
  EXPECT_TRUE(c.warnings.empty());
  for (const char* bad : {"-0.5", "nan", "inf", "1e9", "px"}) {
    EXPECT_EQ(parse({"--polygon-tolerance", bad, "v", "1", "2", "t"}).error,
              "--polygon-tolerance takes a number of pixels from 0 to 1000, such as 0.5")
        << bad;
  }
  EXPECT_EQ(parse({"--cvat-shapes", "box", "v", "1", "2", "t"}).error,
            "--cvat-shapes takes mask or polygon, not 'box'");
  EXPECT_EQ(parse({"--labelme", "-", "v", "1", "2", "t"}).kind, CommandKind::Error);
  const Command idle =
      parse({"--polygon-tolerance", "2", "--cvat-shapes", "polygon", "v", "1", "2", "t"});
  EXPECT_EQ(idle.warnings,
            (std::vector<std::string>{
                "--polygon-tolerance has no effect without --labelme or --cvat-shapes polygon",
                "--cvat-shapes has no effect without --cvat"}));
}

TEST(Options, FrameLists) {
  EXPECT_EQ(parseFrameList("0,10,20"), (std::vector<int>{0, 10, 20}));
  EXPECT_EQ(parseFrameList("0:100:30"), (std::vector<int>{0, 30, 60, 90}));
  EXPECT_EQ(parseFrameList("2:5"), (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(parseFrameList("1,4:8:2,20"), (std::vector<int>{1, 4, 6, 20}));
  for (const char* bad :
       {"", ",", "a", "1,,2", "-1", "5:2", "0:10:0", "0:10:-1", "1:2:3:4", "3:3"}) {
    EXPECT_FALSE(parseFrameList(bad).has_value()) << bad;
  }
  EXPECT_FALSE(parseFrameList("0:2000000000").has_value());  // absurdly many frames

  // To the end of the stream: all, START:, START::STEP.
  const auto toEnd = [](std::vector<const char*> args) {
    args.insert(args.begin(), "rovelin");
    for (const char* positional : {"v.avi", "3", "1", "m.txt"}) args.push_back(positional);
    return parseCommandLine(static_cast<int>(args.size()), args.data());
  };
  for (const auto& [text, start, step] : {std::tuple{"all", 0, 1}, std::tuple{"12:", 12, 1},
                                          std::tuple{"12::5", 12, 5}, std::tuple{"0::1", 0, 1}}) {
    const Command c = toEnd({"--frames", text});
    ASSERT_EQ(c.kind, CommandKind::Run) << text;
    EXPECT_TRUE(c.options.frames.toEnd) << text;
    EXPECT_TRUE(c.options.frames.list.empty()) << text;
    EXPECT_EQ(c.options.frames.start, start) << text;
    EXPECT_EQ(c.options.frames.step, step) << text;
  }
  for (const char* bad : {"-1:", "5::0", "5::", ":", "::3", "5::-2", "all,3", "5:x"}) {
    EXPECT_EQ(toEnd({"--frames", bad}).kind, CommandKind::Error) << bad;
  }
  // The last --frames wins, whichever form it has.
  const Command last = toEnd({"--frames", "all", "--frames", "1,2"});
  EXPECT_FALSE(last.options.frames.toEnd);
  EXPECT_EQ(last.options.frames.list, (std::vector<int>{1, 2}));
  EXPECT_EQ(toEnd({"--overlay-video", "a.avi"}).options.overlayVideoPath, "a.avi");
}

// A run to the end cut into parts is cut by arithmetic: the bounds are those
// of the listed frames, and a container claiming a billion frames costs
// nothing until a part's own frames are checked.
TEST(FrameScheduleParts, AreCutArithmeticallyWithTheBoundsOfTheList) {
  for (const Shard part : {Shard{0, 3}, Shard{1, 3}, Shard{2, 3}, Shard{4, 5}}) {
    FrameSchedule schedule(FrameSelection{{}, true, 2, 3}, 0);
    schedule.listToCount(31);
    schedule.keepPart(part);
    std::vector<int> listed;
    for (int f = 2; f < 31; f += 3) listed.push_back(f);
    const std::vector<int> expected = shardFrames(listed, part);
    std::vector<int> got;
    for (std::size_t i = 0; schedule.frame(i); ++i) got.push_back(*schedule.frame(i));
    EXPECT_EQ(got, expected) << part.index << "/" << part.count;
    EXPECT_EQ(schedule.total(std::nullopt), static_cast<long>(expected.size()));
    std::vector<int> checked;
    schedule.dropFinished([&checked](int frame) {
      checked.push_back(frame);
      return frame % 2 == 0;
    });
    EXPECT_EQ(checked, expected);  // only the part's own frames are looked at
  }
  FrameSchedule huge(FrameSelection{{}, true, 0, 1}, 0);
  huge.listToCount(999'999'999);
  huge.keepPart(Shard{3, 4});
  EXPECT_EQ(huge.total(std::nullopt), 250'000'000);
  EXPECT_EQ(huge.frame(0), 749'999'999);
  EXPECT_FALSE(huge.frame(250'000'000).has_value());
  EXPECT_FALSE(huge.empty());
}

}  // namespace
}  // namespace rovelin
