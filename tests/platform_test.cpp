// The operating-system layer: how a command ended, and private new files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
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

}  // namespace
