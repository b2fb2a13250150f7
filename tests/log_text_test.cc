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
using razezir_test::FixedTime;
using razezir_test::StdoutCapture;
using razezir_test::TempPath;

std::string TimeText(int flags, size_t maxBytes = razezir::kBannerTimeBytes) {
  char text[razezir::kBannerTimeBytes + 1];
  size_t n = razezir::FormatTraceTime(flags, text, maxBytes);
  return std::string(text, n);
}

// The clock's local day and second, in the default locale's layout; of the
// flags, only the milliseconds bit counts.
TEST(TimeText, MatchesTheClocksDayAndSecond) {
  time_t before = time(nullptr);
  std::string text = TimeText(0);
  std::string withMsec = TimeText(0x10 | 0x01 | 0x20);
  time_t after = time(nullptr);
  char expected[2][64];
  for (int i = 0; i < 2; ++i) {
    time_t t = i == 0 ? before : after;
    struct tm local;
    ASSERT_TRUE(razezir::platform::ToLocalTime(t, &local));
    std::strftime(expected[i], sizeof expected[i], "%a %b %d %Y %H:%M:%S", &local);
  }
  EXPECT_TRUE(text == expected[0] || text == expected[1]) << text;
  EXPECT_TRUE(std::regex_match(withMsec, std::regex(std::string(kTimePattern) + "\\.[0-9]{3}")))
      << withMsec;
}

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
    EXPECT_NE(static_cast<unsigned char>(full[i]) & 0xC0, 0x80) << full;
  }
  std::setlocale(LC_ALL, "C");
}


// Every form, cut at every size from none to more than enough, is its full
// text cut there, with or without milliseconds, on each side of where they
// just fit. ISO 8601 carries the zone's offset, never "Z" for a local zone
// at UTC; in UTC it ends in "Z"; TRACE_UTC alone gives the usual text of
// the UTC time.
TEST(TimeTextFixedClock, EveryFormIsItsFullTextCutAtEverySize) {
  FixedTime fixed;
  const struct {
    const char* tz;
    int flags;
    std::string text;
  } kForms[] = {
      {"UTC0", 0, "Mon Dec 07 2026 01:02:03"},
      {"UTC0", 0x10, "Mon Dec 07 2026 01:02:03.005"},
      {"UTC0", 0x200, "2026-12-07T01:02:03+00:00"},
      {"UTC0", 0x610, "2026-12-07T01:02:03.005Z"},
      {"XST+3:30", 0x210, "2026-12-06T21:32:03.005-03:30"},
      {"XST+3:30", 0x410, "Mon Dec 07 2026 01:02:03.005"},
      {"XST+3:30", 0x10, "Sun Dec 06 2026 21:32:03.005"},
  };
  for (const auto& form : kForms) {
    razezir_test::SetTimeZone(form.tz);
    EXPECT_EQ(TimeText(form.flags), form.text);
    for (size_t maxBytes = 0; maxBytes <= razezir::kPrefixTimeBytes; ++maxBytes) {
      EXPECT_EQ(form.text.substr(0, maxBytes), TimeText(form.flags, maxBytes))
          << form.tz << " " << form.flags << " " << maxBytes;
    }
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

// Both banners, appended to what the file held, byte for byte, and as the
// patterns that the other tests match them with.
TEST(BannersFixedClock, ExactBytesAfterWhatTheFileHeld) {
  FixedTime fixed;
  std::string path = TempPath("log");
  razezir_test::WriteFile(path, "before\n");
  ASSERT_TRUE(WriteBothBanners(path));
  const std::string rule(76, '=');
  const std::string text = ReadFile(path);
  EXPECT_TRUE(MatchesInOrder(text, {"before\n", StartedPattern(), ClosedPattern()})) << text;
  EXPECT_EQ(text,
            "before\n" + rule + "\n"
            "========== Trace Log File. Started - Mon Dec 07 2026 01:02:03.005 ===========\n" +
            rule + "\n" + rule + "\n"
            "========== Trace Log File. Closed - Mon Dec 07 2026 01:02:03.005 ============\n" +
            rule + "\n");
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
