// The operating-system layer: how a command ended, and private new files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/helpers.h"
#include "support/server_process.h"

namespace fs = std::filesystem;

namespace {

int exitCodeOf(const std::string& command) {
  FILE* pipe = platform::openCommandPipe(command);
  if (pipe == nullptr) return -2;
  char buffer[256];
  while (std::fread(buffer, 1, sizeof buffer, pipe) > 0) {
  }
  return platform::closeCommandPipe(pipe);
}

TEST(PlatformCommandPipe, ClosingGivesTheExitCode) {
  EXPECT_EQ(exitCodeOf("true"), 0);
  EXPECT_EQ(exitCodeOf("exit 18"), 18);
  EXPECT_EQ(exitCodeOf("echo some output; exit 28"), 28);
  EXPECT_EQ(exitCodeOf("kill -9 $$"), 128 + 9);  // a signal, reported as shells do
}

// Mode bits of `path` itself (a symbolic link is not followed).
fs::perms permsOf(const fs::path& path) { return fs::symlink_status(path).permissions() & fs::perms::all; }

TEST(PlatformPrivateFile, NewFileOnlyItsOwnerCanRead) {
  testsupport::TempFolder folder;
  const fs::path path = folder.path() / "brimloft-1f.cfg";
  // Whatever the umask allows, the file is the owner's alone.
  mode_t old = ::umask(0);
  platform::PrivateFile made = platform::createPrivateFile(path, "url = \"https://secret/\"\n");
  ::umask(old);
  ASSERT_EQ(made, platform::PrivateFile::created);
  EXPECT_EQ(permsOf(path), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(testsupport::readFile(path), "url = \"https://secret/\"\n");
}

TEST(PlatformPrivateFile, NeverWritesThroughWhatIsAlreadyThere) {
  testsupport::TempFolder folder;
  const fs::path target = folder.path() / "someone-elses-file";
  testsupport::writeFile(target, "precious");
  const fs::path file = folder.path() / "file.cfg";
  testsupport::writeFile(file, "old");
  const fs::path link = folder.path() / "link.cfg";
  fs::create_symlink(target, link);
  const fs::path dangling = folder.path() / "dangling.cfg";
  const fs::path nowhere = folder.path() / "would-be-created";
  fs::create_symlink(nowhere, dangling);
  const fs::path subfolder = folder.path() / "folder.cfg";
  fs::create_directory(subfolder);

  for (const fs::path& path : {file, link, dangling, subfolder}) {
    SCOPED_TRACE(path.string());
    EXPECT_EQ(platform::createPrivateFile(path, "secret"), platform::PrivateFile::clash);
  }
  EXPECT_EQ(testsupport::readFile(file), "old");
  EXPECT_EQ(testsupport::readFile(target), "precious");
  EXPECT_FALSE(fs::exists(fs::symlink_status(nowhere)));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(fs::is_empty(subfolder));

  EXPECT_EQ(platform::createPrivateFile(folder.path() / "no-such-folder" / "x.cfg", "secret"),
            platform::PrivateFile::failed);
}

// Wall seconds of a civil date and time, as if it were UTC.
std::int64_t wallOf(int year, int month, int day, int hour, int minute) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  return static_cast<std::int64_t>(timegm(&tm));
}

TEST(PlatformLocalTime, WallTimesThatAChangeRepeatsOrSkips) {
  struct Case {
    const char* zone;
    int year, month, day, hour, minute;
    std::int64_t utc;       // the answer, as UTC wall seconds
    const char* shown;      // how the clock shows it
  } cases[] = {
      // New York: 01:00-01:59 twice on 2026-11-01 (the first is EDT), 02:00-02:59 skipped on 2027-03-14.
      {"America/New_York", 2026, 11, 1, 1, 30, wallOf(2026, 11, 1, 5, 30), "2026-11-01 01:30 EDT"},
      {"America/New_York", 2026, 11, 1, 0, 59, wallOf(2026, 11, 1, 4, 59), "2026-11-01 00:59 EDT"},
      {"America/New_York", 2026, 11, 1, 2, 0, wallOf(2026, 11, 1, 7, 0), "2026-11-01 02:00 EST"},
      {"America/New_York", 2027, 3, 14, 2, 30, wallOf(2027, 3, 14, 7, 30), "2027-03-14 03:30 EDT"},
      {"America/New_York", 2027, 3, 14, 1, 59, wallOf(2027, 3, 14, 6, 59), "2027-03-14 01:59 EST"},
      {"America/New_York", 2027, 3, 14, 3, 0, wallOf(2027, 3, 14, 7, 0), "2027-03-14 03:00 EDT"},
      // Lord Howe moves by half an hour: 02:00-02:29 skipped on 2026-10-04.
      {"Australia/Lord_Howe", 2026, 10, 4, 2, 15, wallOf(2026, 10, 3, 15, 45), "2026-10-04 02:45 +11"},
      // Apia skipped the whole of 2011-12-30.
      {"Pacific/Apia", 2011, 12, 30, 0, 0, wallOf(2011, 12, 30, 10, 0), "2011-12-31 00:00 +14"},
      {"Pacific/Apia", 2011, 12, 30, 23, 0, wallOf(2011, 12, 31, 9, 0), "2011-12-31 23:00 +14"},
      // Kathmandu skipped 00:00-00:14 on 1986-01-01.
      {"Asia/Kathmandu", 1986, 1, 1, 0, 7, wallOf(1985, 12, 31, 18, 37), "1986-01-01 00:22 +0545"},
      {"UTC", 2026, 12, 9, 12, 0, wallOf(2026, 12, 9, 12, 0), "2026-12-09 12:00 UTC"},
  };
  testsupport::ScopedEnv env;
  for (const Case& c : cases) {
    env.set("TZ", c.zone);
    tzset();
    // The answer is the same whatever was converted before.
    for (std::int64_t before : {wallOf(c.year, c.month, c.day, c.hour, c.minute) - 3600, std::int64_t{0},
                                wallOf(2026, 11, 1, 1, 30), wallOf(2027, 3, 14, 3, 30)}) {
      std::int64_t seconds = 0;
      std::tm local{};
      ASSERT_TRUE(platform::wallTimeToSeconds(before, seconds, local));
      ASSERT_TRUE(platform::wallTimeToSeconds(wallOf(c.year, c.month, c.day, c.hour, c.minute), seconds, local));
      EXPECT_EQ(seconds, c.utc) << c.zone << " " << c.shown;
      char shown[64];
      std::strftime(shown, sizeof shown, "%Y-%m-%d %H:%M %Z", &local);
      EXPECT_STREQ(shown, c.shown) << c.zone;
    }
  }
  env.set("TZ", "UTC");
  tzset();
  std::int64_t seconds = 0;
  std::tm local{};
  EXPECT_FALSE(platform::wallTimeToSeconds(INT64_MAX / 2 + 1, seconds, local));  // far beyond any year
}

}  // namespace
