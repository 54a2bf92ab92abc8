// SPDX-License-Identifier: Apache-2.0
#include "labels/cvat_masks.hpp"
#include "labels/cvat_xml.hpp"
#include "support/temp_dir.hpp"

#include <zip.h>

#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace rovelin {
namespace {

using ::testing::HasSubstr;

std::vector<ClassEntry> classes() {
  return readClassList(std::string("sky\ngrass\ncar\n"), "list");
}

TEST(CvatXml, MasksPerPieceReadBackAndBadFilesAreRefused) {
  // Region 0 in two pieces (top-left corner and bottom-right corner), region
  // 1 the rest, region 2 unlabelled.
  RegionLabels f{6, cv::Mat(5, 7, CV_32SC1, cv::Scalar(1)), {2, 0, -1}};
  f.regionIndex(cv::Rect(0, 0, 2, 1)).setTo(0);
  f.regionIndex(cv::Rect(5, 3, 2, 2)).setTo(0);
  f.regionIndex.at<int>(2, 3) = 2;
  const std::string xml =
      writeCvatXml({f}, {"sky", "grass", "car"}, {{1, 2, 3}, {4, 5, 6}, {200, 30, 30}});
  EXPECT_THAT(xml, HasSubstr("<version>1.1</version>"));
  EXPECT_THAT(xml, HasSubstr("<color>#c81e1e</color>"));
  EXPECT_THAT(xml, HasSubstr("<image id=\"6\" name=\"frame_000006\" width=\"7\" height=\"5\">"));
  EXPECT_THAT(xml, HasSubstr("label=\"car\" source=\"auto\" occluded=\"0\" rle=\"0, 2\" left=\"0\" "
                             "top=\"0\" width=\"2\" height=\"1\""));
  EXPECT_THAT(xml, HasSubstr("rle=\"0, 4\" left=\"5\" top=\"3\" width=\"2\" height=\"2\""));
  const auto back = readCvatXml(xml, "t.xml", classes(), {{7, 5}}, false);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].frame, 6);
  cv::Mat expected(5, 7, CV_32SC1, cv::Scalar(1));
  expected.setTo(3, f.regionIndex == 0);
  expected.at<int>(2, 3) = 0;
  EXPECT_EQ(cv::countNonZero(back[0].classNumbers != expected), 0);

  const std::string head =
      R"(<annotations><version>1.1</version><image id="0" name="x" width="7" height="5">)";
  const auto bad = [&](const std::string& body, const std::string& problem) {
    try {
      readCvatXml(head + body + "</image></annotations>", "'t.xml'", classes(), {{7, 5}}, false);
      ADD_FAILURE() << "accepted " << body;
    } catch (const LabelMapError& e) {
      EXPECT_THAT(e.what(), HasSubstr("t.xml"));
      EXPECT_THAT(e.what(), HasSubstr(problem));
    }
  };
  bad(R"(<box label="sky" xtl="0" ytl="0" xbr="2" ybr="2"/>)", "boxes are not region labels");
  bad(R"(<mask label="sky" rle="1, 2" left="0" top="0" width="2" height="2"/>)", "add up to 3");
  bad(R"(<mask label="sky" rle="4" left="6" top="0" width="2" height="2"/>)", "outside the frame");
  bad(R"(<polygon label="sky" points="0,0;9,0;0,3"/>)", "outside the frame");
  bad(R"(<polygon label="tree" points="0,0;2,0;0,3"/>)", "\"tree\", which is not in the class");
  bad(R"(<mask label="sky")", "malformed XML");
  // A polygon in corner coordinates covers the pixels whose centres it holds.
  const auto poly = readCvatXml(
      head + R"(<polygon label="grass" points="1,1;4,1;4,3;1,3"/>)" + "</image></annotations>",
      "t.xml", classes(), {{7, 5}}, false);
  EXPECT_EQ(cv::countNonZero(poly[0].classNumbers == 2), 6);
  EXPECT_EQ(cv::countNonZero(poly[0].classNumbers(cv::Rect(1, 1, 3, 2)) == 2), 6);
}

// The mask archive reads back as written, and a member that would land
// outside the folder it is unpacked into is refused before anything is read.
TEST(CvatMasks, ArchiveReadsBackAndZipSlipIsRefused) {
  RegionLabels f{3, cv::Mat(5, 7, CV_32SC1, cv::Scalar(1)), {2, 0, -1}};
  f.regionIndex(cv::Rect(0, 0, 2, 1)).setTo(0);
  f.regionIndex.at<int>(2, 3) = 2;
  test_support::TempDir tmp;
  const auto zipPath = tmp.path() / "masks.zip";
  std::ofstream(zipPath, std::ios::binary)
      << writeCvatMasksZip({f}, {"sky", "grass", "car"}, {{1, 2, 3}, {4, 5, 6}, {200, 30, 30}});
  const auto back = readCvatMasks(zipPath, classes(), {{7, 5}}, false);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].frame, 3);
  cv::Mat expected(5, 7, CV_32SC1, cv::Scalar(1));
  expected(cv::Rect(0, 0, 2, 1)).setTo(3);
  expected.at<int>(2, 3) = 0;
  EXPECT_EQ(cv::countNonZero(back[0].classNumbers != expected), 0);
  EXPECT_THROW(readCvatMasks(zipPath, classes(), {{8, 5}}, false), LabelMapError);

  const auto hostile = tmp.path() / "hostile.zip";
  int error = 0;
  zip_t* archive = zip_open(hostile.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(archive, nullptr);
  static const char text[] = "background:0,0,0::\n";
  zip_file_add(archive, "labelmap.txt", zip_source_buffer(archive, text, sizeof text - 1, 0), 0);
  zip_file_add(archive, "../SegmentationClass/frame_000001.png",
               zip_source_buffer(archive, text, sizeof text - 1, 0), 0);
  ASSERT_EQ(zip_close(archive), 0);
  try {
    readCvatMasks(hostile, classes(), {{7, 5}}, false);
    ADD_FAILURE() << "zip-slip accepted";
  } catch (const LabelMapError& e) {
    EXPECT_THAT(e.what(), HasSubstr("hostile.zip"));
    EXPECT_THAT(e.what(), HasSubstr("points outside the archive"));
  }
  std::ofstream(tmp.path() / "junk.zip") << "PK not really";
  EXPECT_THROW(readCvatMasks(tmp.path() / "junk.zip", classes(), {{7, 5}}, false), LabelMapError);
}

}  // namespace
}  // namespace rovelin
