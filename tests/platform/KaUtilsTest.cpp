// String, path, file and settings services of the platform layer.

#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <KaUtils/CKaFile.h>
#include <KaUtils/CKaPath.h>
#include <KaUtils/FXString.h>
#include <ZuLib/ZUPlatformInfo.h>
#include <ZuLib/ZuPwEnt.h>

#include "harness/Harness.h"
#include "harness/TimeBound.h"

namespace {

TEST(FXStringFormat, FormatsTextOfAnyLength) {
  EXPECT_EQ(FXString::Format("%s=%lu [%d]", "n", 42ul, -1), "n=42 [-1]");
  std::string big(100000, 'q');
  std::string formatted = FXString::Format("<%s>", big.c_str());
  EXPECT_EQ(formatted.size(), big.size() + 2);
  EXPECT_EQ(formatted, "<" + big + ">");
  EXPECT_EQ(FXString::Format("%s", ""), "");
}

TEST(FXStringSplit, KeepsPiecesInOrderIncludingEmptyOnes) {
  std::vector<std::string> parts;
  EXPECT_EQ(FXString::Split("a\t\tb\t", "\t", parts, 0), 4u);
  EXPECT_EQ(parts, (std::vector<std::string>{"a", "", "b", ""}));

  parts.clear();
  FXString::Split("mysql-bin.000001", ".", parts, 0);
  EXPECT_EQ(parts, (std::vector<std::string>{"mysql-bin", "000001"}));

  parts.clear();
  EXPECT_EQ(FXString::Split("", "\t", parts, 0), 0u);
  EXPECT_TRUE(parts.empty());

  parts.assign(1, "kept");  // pieces are appended
  FXString::Split("x::y", "::", parts, 0);
  EXPECT_EQ(parts, (std::vector<std::string>{"kept", "x", "y"}));
}

TEST(CKaPathAppend, JoinsWithExactlyOneSeparator) {
  EXPECT_STREQ(CKaPath::Append("/stage", "db").c_str(), "/stage/db");
  EXPECT_STREQ(CKaPath::Append("/stage/", "db").c_str(), "/stage/db");
  EXPECT_STREQ(CKaPath::Append("/stage//", "/db").c_str(), "/stage/db");
  EXPECT_STREQ(CKaPath::Append("/", "db").c_str(), "/db");
  EXPECT_STREQ(CKaPath::Append("", "db").c_str(), "db");
  EXPECT_STREQ(CKaPath::Append("/stage", "").c_str(), "/stage");
  CKaString empty;
  EXPECT_STREQ(empty.c_str(), "");
  EXPECT_EQ(std::string(CKaPath::Append("a b", "c")), "a b/c");
}

TEST(CKaFileRead, ReadsFromTheStartAndReportsTheCount) {
  xbtest::TempDir dir;
  std::string content(5000, 'z');
  xbtest::WriteFile(dir / "f", content);

  CKaFile file;
  ASSERT_FALSE(file.Open((dir / "f").c_str(), 0, 256).IsError());
  ASSERT_TRUE(file.IsOpen());
  std::vector<char> buffer(4096);
  unsigned int count = 0;
  ASSERT_FALSE(file.Read(buffer.data(), 2046, &count).IsError());
  EXPECT_EQ(count, 2046u);

  CKaFile small;
  xbtest::WriteFile(dir / "small", "abc");
  ASSERT_FALSE(small.Open((dir / "small").c_str(), 0, 256).IsError());
  ASSERT_FALSE(small.Read(buffer.data(), 2046, &count).IsError());
  EXPECT_EQ(count, 3u);
}

TEST(CKaFileOpen, FailsWithTheSystemReasonForAMissingFile) {
  CKaFile file;
  CKaError result = file.Open("/nonexistent/xtrabackup_binlog_info", 0, 256);
  ASSERT_TRUE(result.IsError());
  EXPECT_EQ(result.GetCode(), 2u);  // ENOENT
  EXPECT_NE(result.AsString().find("/nonexistent/xtrabackup_binlog_info"), std::string::npos);
  EXPECT_FALSE(file.IsOpen());
  unsigned int count = 7;
  char byte;
  EXPECT_TRUE(file.Read(&byte, 1, &count).IsError());
}

// Paths that are not regular files, made in `dir`: a FIFO (whose blocking
// open would wait for a writer forever), a device and a directory.
std::vector<std::string> NotRegularFiles(const xbtest::TempDir& dir) {
  const std::string fifo = dir / "fifo";
  EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(::mkdir((dir / "directory").c_str(), 0700), 0);
  return {fifo, "/dev/zero", dir / "directory"};
}

TEST(CKaFileOpen, RefusesWhatIsNotARegularFileWithoutWaiting) {
  xbtest::TempDir dir;
  for (const std::string& path : NotRegularFiles(dir)) {
    CKaFile file;
    CKaError result;
    EXPECT_TRUE(xbtest::ReturnsWithin(std::chrono::seconds(5), dir / "fifo",
                                      [&] { result = file.Open(path.c_str(), 0, 256); }))
        << path;
    ASSERT_TRUE(result.IsError()) << path;
    EXPECT_EQ(result.GetCode(), static_cast<unsigned int>(EINVAL)) << path;
    EXPECT_NE(result.AsString().find(path + "]: not a regular file"), std::string::npos)
        << result.AsString();
    EXPECT_FALSE(file.IsOpen());
  }
}

TEST(CKaFileOpen, DescriptorIsCloseOnExecAndClosedWithTheObject) {
  xbtest::TempDir dir;
  xbtest::WriteFile(dir / "f", "x");
  int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(probe, 0);
  ::close(probe);  // the lowest free descriptor, which the file will take
  {
    CKaFile file;
    ASSERT_FALSE(file.Open((dir / "f").c_str(), 0, 256).IsError());
    int flags = ::fcntl(probe, F_GETFD);
    ASSERT_GE(flags, 0);
    EXPECT_TRUE(flags & FD_CLOEXEC);
  }
  EXPECT_EQ(::fcntl(probe, F_GETFD), -1);
}

class Settings : public ::testing::Test {
 protected:
  xbtest::ScopedSettings settings_;
  ZUPlatformInfo info_;
};

TEST_F(Settings, MissingFileOrKeyReadsAsNotSet) {
  std::string value = "unchanged";
  unsigned long number = 9;
  EXPECT_EQ(info_.getString("MySQL", "sAdvancedXtraBackupOptions", &value), 0);
  EXPECT_EQ(info_.getNumber("MySQL", "ndebugXtraBackup", &number), 0);
  EXPECT_EQ(value, "unchanged");
  EXPECT_EQ(number, 9u);

  ::setenv("XTRABACKUP_UTIL_SETTINGS", "/nonexistent/settings.ini", 1);
  EXPECT_EQ(info_.getString("MySQL", "sAdvancedXtraBackupOptions", &value), 0);
}

TEST_F(Settings, ValuesAreReadAnewOnEveryLookup) {
  settings_.SetMySql("sAdvancedXtraBackupOptions", "--compress --compress-threads=2");
  std::string value;
  ASSERT_EQ(info_.getString("MySQL", "sAdvancedXtraBackupOptions", &value), 1);
  EXPECT_EQ(value, "--compress --compress-threads=2");

  settings_.SetMySql("sAdvancedXtraBackupOptions", "--no-lock");
  ASSERT_EQ(info_.getString("MySQL", "sAdvancedXtraBackupOptions", &value), 1);
  EXPECT_EQ(value, "--no-lock");

  settings_.Write("[Other]\nsAdvancedXtraBackupOptions = x\n");
  EXPECT_EQ(info_.getString("MySQL", "sAdvancedXtraBackupOptions", &value), 0);
}

TEST_F(Settings, NumbersAreUnsignedDecimalOnly) {
  unsigned long number = 0;
  settings_.SetMySql("ndebugXtraBackup", "18446744073709551615");
  ASSERT_EQ(info_.getNumber("MySQL", "ndebugXtraBackup", &number), 1);
  EXPECT_EQ(number, 18446744073709551615ul);

  for (const char* bad : {"-1", "0x10", "1.5", "12abc", "", "18446744073709551616", "1 2"}) {
    settings_.SetMySql("ndebugXtraBackup", bad);
    number = 5;
    EXPECT_EQ(info_.getNumber("MySQL", "ndebugXtraBackup", &number), 0) << bad;
    EXPECT_EQ(number, 5u) << bad;
  }
}

TEST_F(Settings, MalformedFileReadsAsNotSet) {
  settings_.Write("[MySQL]\nndebugXtraBackup = 1\nndebugXtraBackup = 2\n");  // duplicate key
  unsigned long number = 0;
  EXPECT_EQ(info_.getNumber("MySQL", "ndebugXtraBackup", &number), 0);
}

TEST_F(Settings, WhatIsNotARegularFileReadsAsNotSetWithoutWaiting) {
  xbtest::TempDir dir;
  xbtest::ScopedLogWriter log;
  for (const std::string& path : NotRegularFiles(dir)) {
    log->Clear();
    ::setenv("XTRABACKUP_UTIL_SETTINGS", path.c_str(), 1);
    std::string value = "unchanged";
    int found = -1;
    EXPECT_TRUE(xbtest::ReturnsWithin(std::chrono::seconds(5), dir / "fifo", [&] {
      found = info_.getString("MySQL", "sAdvancedXtraBackupOptions", &value);
    })) << path;
    EXPECT_EQ(found, 0) << path;
    EXPECT_EQ(value, "unchanged");
    EXPECT_EQ(log->Find("Settings file [" + path +
                        "] is not a regular file; every setting reads as not set")
                  .size(),
              1u)
        << path;
  }
}

TEST(AccountLookup, FindsNamesAndReportsUnknownIdsEmpty) {
  EXPECT_EQ(ZuPwEnt(0).GetName(), "root");
  EXPECT_FALSE(ZuPwEnt(0).m_sHomeDir.empty());
  EXPECT_EQ(ZuPwEnt(3999999999u).GetName(), "");
}

}  // namespace
