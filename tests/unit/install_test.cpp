// Installation of staged files: directories on the way, the replacement of the old
// copy, the listed-time stamp and the removal of the emptied staging directory, all on
// real files in a temporary tree.
#include "install/install.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "patchlist/patch_entry.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "support/temp_tree.h"

namespace {

using zdtest::ScopedTimeZone;
using zdtest::TempTree;

constexpr uint64_t kTicksPerSecond = 10000000ULL;
constexpr int64_t kUnixEpochIn1601Seconds = 11644473600LL;

// What a tree holds: every entry below the root with its kind, mode, size and times,
// so that "nothing else changed" is one comparison.
struct NodeInfo {
  bool directory;
  mode_t mode;
  off_t size;
  int64_t mtimeNs;
  bool operator==(const NodeInfo& o) const {
    return directory == o.directory && mode == o.mode && size == o.size && mtimeNs == o.mtimeNs;
  }
};
using Listing = std::map<std::string, NodeInfo>;

Listing* g_listing = nullptr;
size_t g_rootLength = 0;

int Collect(const char* path, const struct stat* st, int, struct FTW*) {
  std::string relative(path + g_rootLength);
  if (relative.empty()) return 0;
  (*g_listing)[relative] = NodeInfo{S_ISDIR(st->st_mode), st->st_mode & 07777, st->st_size,
                                    static_cast<int64_t>(st->st_mtim.tv_sec) * 1000000000LL +
                                        st->st_mtim.tv_nsec};
  return 0;
}

Listing ListTree(const TempTree& tree) {
  Listing listing;
  g_listing = &listing;
  g_rootLength = tree.root().size();
  ::nftw(tree.root().c_str(), Collect, 16, FTW_PHYS);
  g_listing = nullptr;
  return listing;
}

std::string Names(const Listing& listing) {
  std::string names;
  for (const auto& item : listing) names += item.first + (item.second.directory ? "/ " : " ");
  return names;
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
  return st;
}

plat::FileTime ToFileTime(const timespec& ts) {
  return static_cast<plat::FileTime>(ts.tv_sec + kUnixEpochIn1601Seconds) * kTicksPerSecond +
         static_cast<plat::FileTime>(ts.tv_nsec / 100);
}

timespec ToTimespec(plat::FileTime t) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(static_cast<int64_t>(t / kTicksPerSecond) - kUnixEpochIn1601Seconds);
  ts.tv_nsec = static_cast<long>((t % kTicksPerSecond) * 100);
  return ts;
}

plat::FileTime UtcFileTime(int year, int month, int day, int hour, int minute, int second,
                           int millisecond) {
  plat::CalendarTime f;
  f.year = static_cast<uint16_t>(year);
  f.month = static_cast<uint16_t>(month);
  f.day = static_cast<uint16_t>(day);
  f.hour = static_cast<uint16_t>(hour);
  f.minute = static_cast<uint16_t>(minute);
  f.second = static_cast<uint16_t>(second);
  f.millisecond = static_cast<uint16_t>(millisecond);
  plat::FileTime out = 0;
  EXPECT_TRUE(plat::JoinFileTime(f, &out));
  return out;
}

void SetTimes(const std::string& path, plat::FileTime access, plat::FileTime write) {
  const timespec ts[2] = {ToTimespec(access), ToTimespec(write)};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), ts, 0)) << path;
}

plat::FileTime MtimeOf(const std::string& path) { return ToFileTime(StatOf(path).st_mtim); }
plat::FileTime AtimeOf(const std::string& path) { return ToFileTime(StatOf(path).st_atim); }

// The last-write time as the freshness test reads it: local calendar fields with the
// offset in force at that time.
plat::CalendarTime LocalFieldsOf(const std::string& path) {
  plat::FileTime local = 0;
  plat::CalendarTime fields;
  EXPECT_TRUE(plat::UtcToLocalFileTime(MtimeOf(path), &local));
  EXPECT_TRUE(plat::SplitFileTime(local, &fields));
  return fields;
}

PatchEntry MakeEntry(const std::string& staging, const std::string& local, const char* date,
                     const char* time) {
  PatchEntry entry;
  entry.kind = 'C';
  EXPECT_TRUE(entry.SetPaths(local.c_str(), "", "", staging.c_str()));
  std::snprintf(entry.date, sizeof entry.date, "%s", date);
  std::snprintf(entry.time, sizeof entry.time, "%s", time);
  return entry;
}

bool ZoneDataPresent() {
  struct stat st;
  return ::stat("/usr/share/zoneinfo/Europe/Berlin", &st) == 0 &&
         ::stat("/usr/share/zoneinfo/America/New_York", &st) == 0 &&
         ::stat("/usr/share/zoneinfo/Asia/Seoul", &st) == 0;
}

// Relative paths resolve against the current directory; the guard puts it back.
class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(const std::string& dir) {
    char buffer[4096];
    if (::getcwd(buffer, sizeof buffer) != nullptr) old_ = buffer;
    EXPECT_EQ(0, ::chdir(dir.c_str()));
  }
  ~ScopedWorkingDirectory() {
    if (!old_.empty() && ::chdir(old_.c_str()) != 0) std::perror("chdir");
  }

 private:
  std::string old_;
};

// ---------------------------------------------------------------------------
// CreateParentDirectories

TEST(CreateParentDirectories, CreatesEveryLevelBelowTheFirstSeparatorAndNothingElse) {
  TempTree tree;
  tree.MakeDirs("D");
  ScopedWorkingDirectory cwd(tree.root());

  // "D" stands where a drive would: the part before the first separator is never made.
  CreateParentDirectories("D/Play/Data/Map/a.dat");
  // Each level can only be made once its parent exists, so the full chain proves the
  // outermost-first order; the file name itself is not created.
  EXPECT_EQ("/D/ /D/Play/ /D/Play/Data/ /D/Play/Data/Map/ ", Names(ListTree(tree)));

  // Existing levels are kept and only the missing one is added.
  CreateParentDirectories("D/Play/Data/Sound/b.wav");
  EXPECT_EQ("/D/ /D/Play/ /D/Play/Data/ /D/Play/Data/Map/ /D/Play/Data/Sound/ ",
            Names(ListTree(tree)));
}

TEST(CreateParentDirectories, OneOrNoSeparatorCreatesNothing) {
  TempTree tree;
  ScopedWorkingDirectory cwd(tree.root());
  CreateParentDirectories("Play/a.dat");
  CreateParentDirectories("a.dat");
  CreateParentDirectories("");
  CreateParentDirectories(nullptr);
  EXPECT_TRUE(ListTree(tree).empty()) << Names(ListTree(tree));
}

TEST(CreateParentDirectories, AbsolutePathFromTheRoot) {
  TempTree tree;
  CreateParentDirectories((tree.root() + "/a/b/c/f").c_str());
  EXPECT_EQ("/a/ /a/b/ /a/b/c/ ", Names(ListTree(tree)));
}

TEST(CreateParentDirectories, PrefixesBeyond259CharactersAreCreatedWhole) {
  TempTree tree;
  const std::string component(100, 'd');
  std::string path = tree.root();
  std::string deepest;
  while (path.size() + 1 + component.size() + 6 < 1023) {
    path += "/" + component;
    deepest = path;
  }
  path += "/f.dat";
  ASSERT_LT(path.size(), 1024u);
  ASSERT_GT(deepest.size(), 259u);
  CreateParentDirectories(path.c_str());
  EXPECT_TRUE(zdtest::FileExists(deepest)) << deepest.size() << " characters";
}

TEST(CreateParentDirectories, APrefixThatDoesNotFitIsNotCreatedCutShort) {
  TempTree tree;
  // Levels of 200 characters: those whose prefix fits 1023 characters are created, the
  // first that does not is skipped rather than created under a shortened name.
  const std::string component(200, 'e');
  std::string path = tree.root();
  std::string lastFitting;
  while (path.size() < 1300) {
    path += "/" + component;
    if (path.size() <= 1023) lastFitting = path;
  }
  path += "/f.dat";
  CreateParentDirectories(path.c_str());
  EXPECT_TRUE(zdtest::FileExists(lastFitting));
  for (const auto& item : ListTree(tree)) {
    const std::string& name = item.first;
    const std::string leaf = name.substr(name.rfind('/') + 1);
    EXPECT_EQ(component, leaf) << "a level was created under a cut name";
  }
}

// ---------------------------------------------------------------------------
// InstallStagedEntry and the listed-time stamp

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ZoneDataPresent()) GTEST_SKIP() << "time-zone data missing in /usr/share/zoneinfo";
  }

  // A staged file under Update/ with the given contents, last written at `write` and
  // last read at `access`.
  std::string Stage(const std::string& relative, const std::string& contents,
                    plat::FileTime write, plat::FileTime access) {
    const std::string path = tree.Write("Update/" + relative, contents);
    SetTimes(path, access, write);
    return path;
  }

  TempTree tree;
};

TEST_F(InstallTest, ReadOnlyTargetIsReplacedByTheStagedFile) {
  ScopedTimeZone zone("UTC");
  const std::string target = tree.Write("Data/a.dat", "old copy");
  ASSERT_EQ(0, ::chmod(target.c_str(), 0444));
  const std::string staged =
      Stage("Data/a.dat", "new contents", UtcFileTime(2026, 1, 2, 3, 4, 5, 0), 0);
  const PatchEntry entry = MakeEntry(staged, target, "2002-07-15", "09:05");

  EXPECT_TRUE(InstallStagedEntry(entry));
  EXPECT_EQ("new contents", tree.Read("Data/a.dat"));
  EXPECT_FALSE(zdtest::FileExists(staged));
}

TEST_F(InstallTest, MissingTargetDirectoryIsCreatedBeforeTheMove) {
  ScopedTimeZone zone("UTC");
  const std::string staged = Stage("New/Deep/b.dat", "fresh", UtcFileTime(2026, 1, 2, 3, 4, 5, 0), 0);
  const PatchEntry entry = MakeEntry(staged, tree.Path("New/Deep/b.dat"), "2002-07-15", "09:05");
  EXPECT_TRUE(InstallStagedEntry(entry));
  EXPECT_EQ("fresh", tree.Read("New/Deep/b.dat"));
}

// The listed date and hour:minute become the local last-write time, stored as UTC with
// the offset of the listed date (`offsetHours`), whatever the season today; second,
// millisecond and the 100-ns remainder stay from the staged file, and so does the
// access time.
void ExpectStampRoundTrip(TempTree& tree, const char* zoneName, int month, int day, int offsetHours) {
  ScopedTimeZone zone(zoneName);
  char date[16];
  std::snprintf(date, sizeof date, "2002-%02d-%02d", month, day);
  // Staged at 13:41:27.3501234 UTC (a remainder below the millisecond as well).
  const plat::FileTime stagedWrite = UtcFileTime(2026, 3, 4, 13, 41, 27, 350) + 1234;
  const plat::FileTime stagedAccess = UtcFileTime(2025, 11, 30, 8, 7, 6, 543) + 2100;
  const std::string staged = tree.Write("Update/Data/s.dat", "payload");
  SetTimes(staged, stagedAccess, stagedWrite);
  const std::string target = tree.Path("Data/s.dat");

  ASSERT_TRUE(InstallStagedEntry(MakeEntry(staged, target, date, "09:05")));

  const plat::CalendarTime read = LocalFieldsOf(target);
  EXPECT_EQ(std::vector<int>({2002, month, day, 9, 5, 27, 350}),
            std::vector<int>({read.year, read.month, read.day, read.hour, read.minute, read.second, read.millisecond}))
      << zoneName;
  const plat::FileTime listedAsUtcFields = UtcFileTime(2002, month, day, 9, 5, 27, 350) + 1234;
  EXPECT_EQ(listedAsUtcFields - static_cast<plat::FileTime>(offsetHours) * 3600 * kTicksPerSecond, MtimeOf(target))
      << zoneName;
  EXPECT_EQ(stagedAccess, AtimeOf(target)) << zoneName;
}

TEST_F(InstallTest, StampTakesTheOffsetOfTheListedDateInEverySeason) {
  ExpectStampRoundTrip(tree, "Europe/Berlin", 1, 15, 1);
  ExpectStampRoundTrip(tree, "Europe/Berlin", 7, 15, 2);
  ExpectStampRoundTrip(tree, "America/New_York", 1, 15, -5);
  ExpectStampRoundTrip(tree, "America/New_York", 7, 15, -4);
  ExpectStampRoundTrip(tree, "Asia/Seoul", 7, 15, 9);
  ExpectStampRoundTrip(tree, "UTC", 12, 31, 0);
}

TEST_F(InstallTest, OtherSeparatorsAtTheFixedPositionsStampTheSame) {
  ScopedTimeZone zone("Europe/Berlin");
  const plat::FileTime write = UtcFileTime(2026, 3, 4, 13, 41, 27, 350);
  const std::string a = tree.Write("a.dat", "a");
  const std::string b = tree.Write("b.dat", "b");
  SetTimes(a, 0, write);
  SetTimes(b, 0, write);
  StampListedTime(a.c_str(), "2002-07-15", "09:05");
  StampListedTime(b.c_str(), "2002/07/15", "09.05");
  EXPECT_NE(write, MtimeOf(a));
  EXPECT_EQ(MtimeOf(a), MtimeOf(b));
}

TEST_F(InstallTest, InvalidListedTimesStampNothing) {
  ScopedTimeZone zone("Europe/Berlin");
  const plat::FileTime write = UtcFileTime(2026, 3, 4, 13, 41, 27, 350) + 77;
  const std::string path = tree.Write("a.dat", "a");
  const struct {
    const char* date;
    const char* time;
  } cases[] = {
      {"2002-13-15", "09:05"},  // month 13
      {"2002-00-15", "09:05"},  // month 0
      {"2002-04-31", "09:05"},  // 31 April
      {"2002-07-15", "25:05"},  // hour 25
      {"2002-07-15", "09:60"},  // minute 60
      {"2002-07-1", "09:05"},   // date too short for the day's positions
      {"2002-7-15", "09:05"},   // no leading zero: too short as well
      {"2002-07-15", "9:05"},   // time too short
      {"", ""},
      {"1600-07-15", "09:05"},  // before file times begin
      {"2002--1-15", "09:05"},  // a sign makes the month negative
  };
  for (const auto& c : cases) {
    SetTimes(path, 0, write);
    StampListedTime(path.c_str(), c.date, c.time);
    EXPECT_EQ(write, MtimeOf(path)) << c.date << " " << c.time;
  }
  // Nor is a missing file created for an invalid stamp.
  StampListedTime(tree.Path("missing.dat").c_str(), "2002-13-15", "09:05");
  EXPECT_FALSE(tree.Exists("missing.dat"));
}

TEST_F(InstallTest, StampCreatesAMissingFileWithTheListedTime) {
  // The self-update step relies on the open-always behaviour of the stamp.
  ScopedTimeZone zone("UTC");
  const std::string path = tree.Path("created.exe");
  StampListedTime(path.c_str(), "2002-07-15", "09:05");
  ASSERT_TRUE(zdtest::FileExists(path));
  const plat::CalendarTime read = LocalFieldsOf(path);
  EXPECT_EQ(2002, read.year);
  EXPECT_EQ(7, read.month);
  EXPECT_EQ(15, read.day);
  EXPECT_EQ(9, read.hour);
  EXPECT_EQ(5, read.minute);
}

TEST_F(InstallTest, EmptiedStagingDirectoryIsRemovedButNotItsParent) {
  ScopedTimeZone zone("UTC");
  const std::string staged = Stage("Data/a.dat", "a", UtcFileTime(2026, 1, 2, 3, 4, 5, 0), 0);
  ASSERT_TRUE(InstallStagedEntry(MakeEntry(staged, tree.Path("Data/a.dat"), "2002-07-15", "09:05")));
  EXPECT_FALSE(tree.Exists("Update/Data"));
  EXPECT_TRUE(tree.Exists("Update"));
}

TEST_F(InstallTest, StagingDirectoryWithOtherFilesStays) {
  ScopedTimeZone zone("UTC");
  const std::string staged = Stage("Data/a.dat", "a", UtcFileTime(2026, 1, 2, 3, 4, 5, 0), 0);
  tree.Write("Update/Data/other.dat", "still waiting");
  ASSERT_TRUE(InstallStagedEntry(MakeEntry(staged, tree.Path("Data/a.dat"), "2002-07-15", "09:05")));
  EXPECT_EQ("still waiting", tree.Read("Update/Data/other.dat"));
}

TEST_F(InstallTest, StagedFileAtTheTopRemovesTheEmptiedStagingRoot) {
  ScopedTimeZone zone("UTC");
  const std::string staged = Stage("a.dat", "a", UtcFileTime(2026, 1, 2, 3, 4, 5, 0), 0);
  ASSERT_TRUE(InstallStagedEntry(MakeEntry(staged, tree.Path("a.dat"), "2002-07-15", "09:05")));
  EXPECT_FALSE(tree.Exists("Update"));
  EXPECT_EQ("a", tree.Read("a.dat"));
}

TEST_F(InstallTest, FailedMoveOntoADirectoryKeepsEverythingAsItWas) {
  ScopedTimeZone zone("UTC");
  // The target path is taken by a directory: the rename fails even for root.
  tree.Write("Data/a.dat/inside.txt", "kept");
  const std::string staged = Stage("Data/a.dat", "new", UtcFileTime(2026, 1, 2, 3, 4, 5, 0), 0);
  const Listing before = ListTree(tree);

  EXPECT_FALSE(InstallStagedEntry(MakeEntry(staged, tree.Path("Data/a.dat"), "2002-07-15", "09:05")));
  // The reason of the refused move, not that of the staging directory left non-empty.
  EXPECT_EQ(plat::LastErrorCode(), static_cast<uint32_t>(EISDIR));
  EXPECT_EQ(before, ListTree(tree)) << Names(ListTree(tree));
}

TEST_F(InstallTest, MissingStagedFileLeavesTheOldFileUntouchedAndCreatesNothing) {
  ScopedTimeZone zone("UTC");
  const std::string target = tree.Write("Data/a.dat", "old copy");
  ASSERT_EQ(0, ::chmod(target.c_str(), 0444));
  SetTimes(target, 0, UtcFileTime(2001, 2, 3, 4, 5, 6, 7));
  const Listing before = ListTree(tree);

  EXPECT_FALSE(InstallStagedEntry(
      MakeEntry(tree.Path("Update/Data/a.dat"), target, "2002-07-15", "09:05")));
  // A target in a directory that does not exist yet: no directory, no empty file.
  EXPECT_FALSE(InstallStagedEntry(MakeEntry(tree.Path("Update/Gone/b.dat"),
                                            tree.Path("Gone/Deeper/b.dat"), "2002-07-15", "09:05")));

  EXPECT_EQ(before, ListTree(tree)) << Names(ListTree(tree));
  EXPECT_EQ("old copy", tree.Read("Data/a.dat"));
}

}  // namespace
