// Timestamp text and banners.

#include "logtext/log_text.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>

#include "write/destination.h"
#include "platform/port.h"
#include "test_util.h"

namespace {

using razezir_test::kTimePattern;
using razezir_test::MatchesInOrder;
using razezir_test::ReadFile;
using razezir_test::StartedPattern;
using razezir_test::ClosedPattern;
using razezir_test::StdoutCapture;
using razezir_test::TempPath;

std::string TimeText(int flags, size_t maxBytes = razezir::kBannerTimeBytes) {
  char text[razezir::kBannerTimeBytes + 1];
  size_t n = razezir::FormatTraceTime(flags, text, maxBytes);
  return std::string(text, n);
}

TEST(TimeText, DefaultLocaleLayout) {
  std::string plain = TimeText(0);
  EXPECT_EQ(plain.size(), 24u);
  EXPECT_TRUE(std::regex_match(plain, std::regex(kTimePattern))) << plain;
  // Only the milliseconds bit counts.
  std::string withMsec = TimeText(0x10 | 0x01 | 0x20);
  EXPECT_EQ(withMsec.size(), 28u);
  EXPECT_TRUE(std::regex_match(withMsec, std::regex(std::string(kTimePattern) + "\\.[0-9]{3}")))
      << withMsec;
}

TEST(TimeText, MatchesTheClocksDayAndSecond) {
  time_t before = time(nullptr);
  std::string text = TimeText(0);
  time_t after = time(nullptr);
  char expected[2][64];
  for (int i = 0; i < 2; ++i) {
    time_t t = i == 0 ? before : after;
    struct tm local;
    ASSERT_TRUE(razezir::platform::ToLocalTime(t, &local));
    std::strftime(expected[i], sizeof expected[i], "%a %b %d %Y %H:%M:%S", &local);
  }
  EXPECT_TRUE(text == expected[0] || text == expected[1]) << text;
}

TEST(TimeText, IsCutToTheGivenSize) {
  EXPECT_EQ(TimeText(0x10, 26).size(), 26u);
  EXPECT_EQ(TimeText(0x10, 26).substr(0, 24), TimeText(0).substr(0, 24));
  EXPECT_EQ(TimeText(0x10, 10).size(), 10u);
  EXPECT_EQ(TimeText(0x10, 0), "");
}

// Mon Dec 07 2026 01:02:03.005 UTC: a day, hour, minute, second and
// millisecond that all need their leading zeros.
razezir::platform::WallClock FixedClock() { return {1796605323, 5}; }

// Formats in UTC with the fixed clock for the life of the object.
class FixedTime {
 public:
  FixedTime() {
    razezir_test::SetTimeZone("UTC0");
    razezir::LogTextTestHelper::SetClock(FixedClock);
  }
  ~FixedTime() { razezir::LogTextTestHelper::SetClock(nullptr); }
  FixedTime(const FixedTime&) = delete;
  FixedTime& operator=(const FixedTime&) = delete;
};

// A host locale with long multibyte names makes the text longer than a
// line prefix holds; it is cut between characters, never inside one.
TEST(TimeText, CutKeepsMultibyteCharactersWhole) {
  if (std::setlocale(LC_ALL, "ru_RU.UTF-8") == nullptr) {
    GTEST_SKIP() << "locale ru_RU.UTF-8 not installed";
  }
  // One clock for both texts, so that a second boundary between them cannot
  // make them differ.
  FixedTime fixed;
  std::string full = TimeText(0x10);
  std::string cut = TimeText(0x10, razezir::kPrefixTimeBytes);
  ASSERT_LE(cut.size(), razezir::kPrefixTimeBytes);
  EXPECT_EQ(full.compare(0, cut.size(), cut), 0);
  // The cut text ends after a whole UTF-8 sequence.
  size_t i = cut.size();
  if (full.size() > cut.size()) {
    EXPECT_NE(static_cast<unsigned char>(full[i]) & 0xC0, 0x80u) << full;
  }
  std::setlocale(LC_ALL, "C");
}


TEST(TimeTextFixedClock, PadsDayAndTimeWithZeros) {
  FixedTime fixed;
  EXPECT_EQ(TimeText(0), "Mon Dec 07 2026 01:02:03");
}

TEST(TimeTextFixedClock, MillisecondsHaveThreeDigits) {
  FixedTime fixed;
  EXPECT_EQ(TimeText(0x10), "Mon Dec 07 2026 01:02:03.005");
}

// Every size from none to more than enough gives the full text cut there,
// milliseconds included or not, on each side of where they just fit.
TEST(TimeTextFixedClock, EverySizeCutsTheFullText) {
  FixedTime fixed;
  const std::string withMsec = "Mon Dec 07 2026 01:02:03.005";
  const std::string plain = withMsec.substr(0, 24);
  for (size_t maxBytes = 0; maxBytes <= razezir::kPrefixTimeBytes; ++maxBytes) {
    EXPECT_EQ(withMsec.substr(0, maxBytes), TimeText(0x10, maxBytes)) << maxBytes;
    EXPECT_EQ(plain.substr(0, maxBytes), TimeText(0, maxBytes)) << maxBytes;
  }
}

// ISO 8601 with the zone's offset, never "Z" for a local zone at UTC; in UTC
// with "Z"; TRACE_UTC alone gives the usual text of the UTC time. Each form
// is cut as the others are.
TEST(TimeTextFixedClock, IsoAndUtcForms) {
  FixedTime fixed;
  EXPECT_EQ(TimeText(0x200), "2026-12-07T01:02:03+00:00");
  EXPECT_EQ(TimeText(0x610), "2026-12-07T01:02:03.005Z");
  razezir_test::SetTimeZone("XST+3:30");
  EXPECT_EQ(TimeText(0x210), "2026-12-06T21:32:03.005-03:30");
  EXPECT_EQ(TimeText(0x410), "Mon Dec 07 2026 01:02:03.005");
  EXPECT_EQ(TimeText(0x10), "Sun Dec 06 2026 21:32:03.005");
  const std::string iso = "2026-12-06T21:32:03.005-03:30";
  for (size_t maxBytes = 0; maxBytes <= razezir::kPrefixTimeBytes; ++maxBytes) {
    EXPECT_EQ(iso.substr(0, maxBytes), TimeText(0x210, maxBytes)) << maxBytes;
  }
}

// Opens the log at `path` as the library does, writes the Started and the
// Closed banner to it and closes it; false if it cannot be opened.
bool WriteBothBanners(const std::string& path) {
  razezir::DestinationTable table;
  razezir::LogStream log;
  if (!table.Open(path.c_str(), &log)) return false;
  {
    razezir::ExclusiveTurn turn(*log.destination);
    razezir::WriteStartedBanner(*log.destination);
    razezir::WriteClosedBanner(*log.destination);
  }
  table.Close(log, false);
  return true;
}

TEST(BannersFixedClock, ExactBytes) {
  FixedTime fixed;
  std::string path = TempPath("log");
  ASSERT_TRUE(WriteBothBanners(path));
  const std::string rule(76, '=');
  EXPECT_EQ(ReadFile(path),
            rule + "\n"
            "========== Trace Log File. Started - Mon Dec 07 2026 01:02:03.005 ===========\n" +
            rule + "\n" + rule + "\n"
            "========== Trace Log File. Closed - Mon Dec 07 2026 01:02:03.005 ============\n" +
            rule + "\n");
}

TEST(Banners, StartedAndClosedLayout) {
  std::string path = TempPath("log");
  razezir_test::WriteFile(path, "before\n");
  ASSERT_TRUE(WriteBothBanners(path));
  std::string text = ReadFile(path);
  EXPECT_TRUE(MatchesInOrder(text, {"before\n", StartedPattern(), ClosedPattern()})) << text;
  // The middle lines are 52 characters of format plus the 28 of the time.
  std::vector<std::string> lines = razezir_test::Lines(text);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[2].size(), 52u + 28u - 3u);
  EXPECT_EQ(lines[5].size(), 52u + 28u - 3u);
}

TEST(Banners, OnStandardOutputAsInAFile) {
  StdoutCapture capture;
  razezir::DestinationTable table;
  razezir::Destination& standardOutput = *table.StandardOutput();
  {
    razezir::ExclusiveTurn turn(standardOutput);
    razezir::WriteStartedBanner(standardOutput);
  }
  EXPECT_TRUE(MatchesInOrder(capture.Stop(), {StartedPattern()}));
}

TEST(Banners, OpeningAMissingDirectoryFails) {
  razezir::DestinationTable table;
  razezir::LogStream log;
  EXPECT_FALSE(table.Open((TempPath("none") + "/x.log").c_str(), &log));
}

}  // namespace
