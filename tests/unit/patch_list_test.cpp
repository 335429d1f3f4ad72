#include "patchlist/patch_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "app/patcher.h"
#include "support/temp_tree.h"

namespace {

using zdtest::ScopedTimeZone;
using zdtest::TempTree;

class PatchListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    installDir_ = tree_.Path("Play");
    tree_.MakeDirs("Play");
  }
  void TearDown() override { ReleaseQueue(list_); }

  // Writes the list text and parses it; returns the entries queued by this call.
  std::vector<PatchEntry*> Parse(const std::string& text, const char* base = "/patch/") {
    const std::string listPath = tree_.Write("list.txt", text);
    EXPECT_TRUE(ParsePatchListFile(listPath.c_str(), installDir_.c_str(), base, list_, &totalBytes_,
                                   &fileCount_));
    std::vector<PatchEntry*> entries;
    for (EntryNode* n = list_.head; n != nullptr; n = n->next)
      entries.push_back(static_cast<PatchEntry*>(n->value));
    return entries;
  }

  // A file of `size` bytes in the installation, stamped so that it reads back with
  // the given local date and time.
  std::string Install(const std::string& relative, size_t size, int year, int month, int day,
                      int hour, int minute, int second = 0) {
    const std::string path = tree_.Write("Play/" + relative, std::string(size, 'x'));
    tree_.SetLocalMtime("Play/" + relative, year, month, day, hour, minute, second);
    return path;
  }

  std::string P(const std::string& relative) const { return installDir_ + "/" + relative; }

  // Every kind of entry once with each name, all to be dropped: nothing is queued or
  // counted.
  void ExpectAllDropped(const std::vector<const char*>& names) {
    std::string text;
    for (const char* kind : {"A", "C", "D", "Z", "P"}) {
      for (const char* name : names) {
        text += std::string(kind) + " 2002-06-01 14:30 " + (std::string(kind) == "Z" ? "1:1" : "1") + " " + name +
                " remote/x\n";
      }
    }
    EXPECT_TRUE(Parse(text).empty());
    EXPECT_EQ(fileCount_, 0);
  }

  TempTree tree_;
  std::string installDir_;
  EntryList list_;
  int32_t totalBytes_ = 0;
  int32_t fileCount_ = 0;
};

TEST_F(PatchListTest, PlainLineFieldsAndPaths) {
  auto e = Parse("C 2002-06-01 14:30 524288 Data\\Map01.dat data/Map01.dat\n");
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0]->kind, 'C');
  EXPECT_STREQ(e[0]->date, "2002-06-01");
  EXPECT_STREQ(e[0]->time, "14:30");
  EXPECT_STREQ(e[0]->sizeText, "524288");
  EXPECT_EQ(e[0]->size, 524288);
  EXPECT_EQ(e[0]->localPath, P("Data/Map01.dat"));
  EXPECT_EQ(e[0]->stagingPath, P("Update/Data/Map01.dat"));
  EXPECT_STREQ(e[0]->remotePath, "/patch/data/Map01.dat");
  EXPECT_STREQ(e[0]->listedName, "data/Map01.dat");
  EXPECT_EQ(fileCount_, 1);
  EXPECT_EQ(totalBytes_, 524288);
}

TEST_F(PatchListTest, CompressedLineLowerCaseKind) {
  auto e = Parse("z 2002-06-01 14:30 1048576:262144 Data\\Big.pak data/Big.pak.gz\n");
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0]->kind, 'Z');
  EXPECT_EQ(e[0]->unpackedSize, 1048576);
  EXPECT_EQ(e[0]->size, 262144);
  EXPECT_STREQ(e[0]->sizeText, "1048576");
  EXPECT_EQ(e[0]->localPath, P("Data/Big.pak"));
  EXPECT_EQ(e[0]->stagingPath, P("Update/Data/Big.pak.gz"));
  EXPECT_STREQ(e[0]->remotePath, "/patch/data/Big.pak.gz");
  EXPECT_EQ(totalBytes_, 262144);  // the compressed size is what is downloaded
  EXPECT_EQ(fileCount_, 1);

  // ".gz" is added to the staging path whatever the remote name says.
  ReleaseQueue(list_);
  e = Parse("Z 2002-06-01 14:30 10:5 Data\\Raw.bin data/raw\n");
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0]->stagingPath, P("Update/Data/Raw.bin.gz"));
}

TEST_F(PatchListTest, CompressedFreshnessUsesUnpackedSize) {
  ScopedTimeZone tz("Europe/Berlin");
  Install("Data/Big.pak", 1000, 2002, 6, 1, 14, 30);
  EXPECT_TRUE(Parse("Z 2002-06-01 14:30 1000:300 Data\\Big.pak data/Big.pak.gz\n").empty());
  Install("Data/Big.pak", 300, 2002, 6, 1, 14, 30);
  EXPECT_EQ(Parse("Z 2002-06-01 14:30 1000:300 Data\\Big.pak data/Big.pak.gz\n").size(), 1u);
  EXPECT_EQ(totalBytes_, 300);
}

TEST_F(PatchListTest, AlwaysAndDeleteKinds) {
  ScopedTimeZone tz("UTC");
  Install("Notice.txt", 1234, 2002, 6, 2, 9, 0);  // current, but 'A' is fetched anyway
  auto e = Parse(
      "A 2002-06-02 09:00 1234 Notice.txt /notice/Notice.txt\n"
      "D 2002-06-02 09:00 0 Data\\Old.dat Old.dat\n"
      "d 2002-06-02 09:00 77 Data\\Older.dat Older.dat\n");
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0]->kind, 'A');
  EXPECT_STREQ(e[0]->remotePath, "/patch/notice/Notice.txt");
  EXPECT_EQ(e[1]->kind, 'D');
  EXPECT_EQ(e[1]->localPath, P("Data/Old.dat"));
  EXPECT_EQ(e[2]->kind, 'D');
  EXPECT_EQ(fileCount_, 1);
  EXPECT_EQ(totalBytes_, 1234);
}

TEST_F(PatchListTest, PatcherLineIsTestedAndCounted) {
  ScopedTimeZone tz("UTC");
  Install("Updater.exe", 65536, 2002, 6, 2, 9, 0);
  EXPECT_TRUE(Parse("P 2002-06-02 09:00 65536 Updater.exe Updater.exe\n").empty());
  EXPECT_EQ(fileCount_, 0);
  auto e = Parse("p 2002-06-02 09:01 65536 Updater.exe Updater.exe\n");
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0]->kind, 'P');
  EXPECT_EQ(fileCount_, 1);
  EXPECT_EQ(totalBytes_, 65536);
}

TEST_F(PatchListTest, ACurrentPatchersLeftoverStagingCopyIsRemovedAndAnOutdatedOnesKept) {
  ScopedTimeZone tz("UTC");
  Install("Updater.exe", 65536, 2002, 6, 2, 9, 0);
  tree_.Write("Play/Update/Updater.exe", "copy of an interrupted hand-off");
  tree_.Write("Play/Update/Other.exe", "not the patcher's");
  EXPECT_TRUE(Parse("P 2002-06-02 09:00 65536 Updater.exe Updater.exe\n").empty());
  EXPECT_FALSE(tree_.Exists("Play/Update/Updater.exe"));
  EXPECT_TRUE(tree_.Exists("Play/Update/Other.exe"));
  EXPECT_TRUE(tree_.Exists("Play/Updater.exe"));
  // While the patcher is out of date, its staging copy is the download's business.
  tree_.Write("Play/Update/Updater.exe", "earlier download");
  EXPECT_EQ(Parse("P 2002-06-02 09:01 65536 Updater.exe Updater.exe\n").size(), 1u);
  EXPECT_TRUE(tree_.Exists("Play/Update/Updater.exe"));
}

TEST_F(PatchListTest, SkippedLinesLeaveNothing) {
  auto e = Parse(
      "# C 2002-06-01 14:30 1 a.dat a.dat\n"
      "' C 2002-06-01 14:30 1 a.dat a.dat\n"
      "/ C 2002-06-01 14:30 1 a.dat a.dat\n"
      "#C 2002-06-01 14:30 1 a.dat a.dat\n"
      "C 2002-06-01 14:30 1 a.dat\n"  // five fields
      "D 2002-06-01 14:30 0 a.dat\n"  // a deletion needs six too
      "\n"
      "\r\n"
      "X 2002-06-01 14:30 1 a.dat a.dat\n"
      "1 2002-06-01 14:30 1 a.dat a.dat\n"
      " C 2002-06-01 14:30 1 a.dat a.dat\n"  // a blank is the kind
      "\tA 2002-06-01 14:30 1 a.dat a.dat\n");
  EXPECT_TRUE(e.empty());
  EXPECT_EQ(list_.count, 0);
  EXPECT_EQ(fileCount_, 0);
  EXPECT_EQ(totalBytes_, 0);
}

TEST_F(PatchListTest, KindIsTheFirstCharacterAndColumnsShift) {
  // Letters after the kind letter are the date column; the rest moves one place right.
  auto e = Parse(
      "A2002-06-02 09:00 1234 Notice.txt notice/Notice.txt\n"
      "AB 09:00 12 x.txt notice/x.txt ignored tail\n"
      "AB 2002-06-02 09:00 12 x.txt notice/x.txt\n");  // time column "2002-06-02" too long
  ASSERT_EQ(e.size(), 2u);
  EXPECT_STREQ(e[0]->date, "2002-06-02");
  EXPECT_STREQ(e[0]->time, "09:00");
  EXPECT_STREQ(e[1]->date, "B");
  EXPECT_STREQ(e[1]->time, "09:00");
  EXPECT_EQ(e[1]->size, 12);
  EXPECT_EQ(e[1]->localPath, P("x.txt"));
  EXPECT_STREQ(e[1]->listedName, "notice/x.txt");
}

TEST_F(PatchListTest, CrLfAndMissingFinalNewline) {
  auto e = Parse(
      "A 2002-06-02 09:00 10 a.txt dir/a.txt\r\n"
      "A\t2002-06-02  09:00\t20 b.txt dir/b.txt   \r\n"
      "D 2002-06-02 09:00 0 c.txt c.txt");
  ASSERT_EQ(e.size(), 3u);
  EXPECT_STREQ(e[0]->listedName, "dir/a.txt");
  EXPECT_STREQ(e[0]->remotePath, "/patch/dir/a.txt");
  EXPECT_STREQ(e[1]->listedName, "dir/b.txt");
  EXPECT_EQ(e[1]->size, 20);
  EXPECT_EQ(e[2]->localPath, P("c.txt"));
  EXPECT_EQ(totalBytes_, 30);
}

TEST_F(PatchListTest, BaseDirectoryForms) {
  struct Case {
    const char* base;
    const char* remote;
    const char* expected;
  } cases[] = {
      {"/patch/", "data/Map01.dat", "/patch/data/Map01.dat"},
      {"/patch", "data/Map01.dat", "/patch/data/Map01.dat"},
      {"/", "data/Map01.dat", "/data/Map01.dat"},
      {"/patch//", "data/Map01.dat", "/patch//data/Map01.dat"},
      {"", "data/Map01.dat", "/data/Map01.dat"},
      {"/patch/", "/notice/N.txt", "/patch/notice/N.txt"},
      {"/patch", "/notice/N.txt", "/patch/notice/N.txt"},
  };
  for (const Case& c : cases) {
    ReleaseQueue(list_);
    auto e = Parse(std::string("A 2002-06-01 14:30 1 Data\\Map01.dat ") + c.remote + "\n", c.base);
    ASSERT_EQ(e.size(), 1u) << c.base;
    EXPECT_STREQ(e[0]->remotePath, c.expected) << "base " << c.base << " remote " << c.remote;
    EXPECT_STREQ(e[0]->listedName, c.remote);
  }
}

TEST_F(PatchListTest, DeletionOnlyListAndUpToDateList) {
  auto e = Parse("D 2002-06-02 09:00 0 a.dat a.dat\nD 2002-06-02 09:00 0 b.dat b.dat\n");
  EXPECT_EQ(list_.count, 2);
  EXPECT_EQ(fileCount_, 0);
  EXPECT_EQ(totalBytes_, 0);

  ReleaseQueue(list_);
  ScopedTimeZone tz("Asia/Seoul");
  Install("a.dat", 3, 2002, 6, 2, 9, 0);
  Install("Sub/b.dat", 4, 2002, 6, 2, 9, 0);
  EXPECT_TRUE(Parse("C 2002-06-02 09:00 3 a.dat a.dat\nC 2002-06-02 09:00 4 Sub\\b.dat b.dat\n").empty());
  EXPECT_EQ(list_.count, 0);
  EXPECT_EQ(fileCount_, 0);
}

TEST_F(PatchListTest, UnopenableListChangesNothing) {
  list_.Append(new PatchEntry);  // an entry already queued stays as it is
  totalBytes_ = 5;
  fileCount_ = 1;
  EXPECT_FALSE(ParsePatchListFile(tree_.Path("no-such-list.txt").c_str(), installDir_.c_str(), "/patch/",
                                  list_, &totalBytes_, &fileCount_));
  EXPECT_EQ(list_.count, 1);
  EXPECT_EQ(totalBytes_, 5);
  EXPECT_EQ(fileCount_, 1);
}

TEST_F(PatchListTest, NamesThatLeaveTheInstallationAreDropped) {
  ExpectAllDropped({
      "..\\Evil.dll",    "Data\\..\\..\\Evil.dll", "Data/../../x", "Data\\..",  "\\Windows\\x.dll",
      "/etc/passwd",     "\\\\server\\share\\x",   "C:\\x.dll",    "c:x.dll",   "...\\x",
      "Data\\...\\x",    "..",                     "Data/..\\x",
  });

  // Dots inside names and a leading "." component are harmless.
  auto e = Parse(
      "A 2002-06-01 14:30 1 Data\\..x\\y.dat r\n"
      "A 2002-06-01 14:30 1 a..b r\n"
      "A 2002-06-01 14:30 1 .\\Data\\.hidden r\n");
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0]->localPath, P("Data/..x/y.dat"));
  EXPECT_EQ(e[2]->localPath, P("./Data/.hidden"));
}

TEST_F(PatchListTest, NamesWindowsCannotHoldAsPlainFilesAreDropped) {
  ExpectAllDropped({
      "x.dat:s",   "Data\\a:b",   "CON",         "nul.txt",   "Data\\Com1.dat", "lpt9",     "aux\\x.dat",
      "Data\\prn.log", "conout$", "Data.\\x",  "x.dat.",    "a?b",      "a*b",
      "a<b",       "a|b",           "a\"b",        "a\x01b",
  });

  // Names that only resemble a device, and dots that end nothing, are kept; one bad
  // line costs only itself.
  auto e = Parse(
      "C 2002-06-01 14:30 1 CONFIG.SYS r\n"
      "C 2002-06-01 14:30 1 com10 r\n"
      "C 2002-06-01 14:30 1 lpt r\n"
      "C 2002-06-01 14:30 1 Data\\nul r\n"
      "C 2002-06-01 14:30 1 .\\x.dat r\n");
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0]->localPath, P("CONFIG.SYS"));
  EXPECT_EQ(e[1]->localPath, P("com10"));
  EXPECT_EQ(e[2]->localPath, P("lpt"));
  EXPECT_EQ(e[3]->localPath, P("./x.dat"));
}

TEST_F(PatchListTest, OverlongColumnsAreDroppedNotCut) {
  auto e = Parse(
      "A 2002-06-01-12345 14:30 1 a r\n"          // date of 16
      "A 2002-06-01-1234 14:30 1 b r\n"           // date of 15: fits
      "A 2002-06-01 14:30:00 1 c r\n"             // time of 8
      "A 2002-06-01 14:30:0 1 d r\n"              // time of 7: fits
      "A 2002-06-01 14:30 00000000000000000000000000000001 e r\n"  // size of 32
      "A 2002-06-01 14:30 0000000000000000000000000000001 f r\n");  // size of 31: fits
  ASSERT_EQ(e.size(), 3u);
  EXPECT_STREQ(e[0]->date, "2002-06-01-1234");
  EXPECT_STREQ(e[1]->time, "14:30:0");
  EXPECT_EQ(e[2]->size, 1);
}

TEST_F(PatchListTest, OverlongPathsAreDroppedNotCut) {
  // The staging path is the longest local composition: installDir "/Update/" name.
  const size_t stagingRoom = 1023 - installDir_.size() - 8;
  const std::string fits(stagingRoom, 'n');
  const std::string tooLong(stagingRoom + 1, 'n');
  const std::string fitsZ(stagingRoom - 3, 'n');  // 'Z' adds ".gz"
  // Remote: "/patch" + "/" + name <= 1023; with a leading slash and an empty base the
  // remote name itself (and listedName) is the limit.
  const std::string remoteFits(1016, 'r');
  const std::string remoteTooLong(1017, 'r');
  const std::string rootedFits = "/" + std::string(1022, 'r');
  const std::string rootedTooLong = "/" + std::string(1023, 'r');

  auto e = Parse("D 2002-06-01 14:30 0 " + fits + " r\n" +
                 "D 2002-06-01 14:30 0 " + tooLong + " r\n" +
                 "Z 2002-06-01 14:30 1:1 " + fits + " r\n" +
                 "Z 2002-06-01 14:30 1:1 " + fitsZ + " r\n" +
                 "A 2002-06-01 14:30 1 x " + remoteFits + "\n" +
                 "A 2002-06-01 14:30 1 y " + remoteTooLong + "\n");
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0]->kind, 'D');
  EXPECT_EQ(std::string(e[0]->stagingPath).size(), 1023u);
  EXPECT_EQ(e[0]->localPath, P(fits));
  EXPECT_EQ(e[1]->kind, 'Z');
  EXPECT_EQ(std::string(e[1]->stagingPath).size(), 1023u);
  EXPECT_EQ(std::string(e[2]->remotePath).size(), 1023u);

  ReleaseQueue(list_);
  e = Parse("A 2002-06-01 14:30 1 x " + rootedFits + "\nA 2002-06-01 14:30 1 y " + rootedTooLong + "\n", "");
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0]->remotePath, rootedFits);
  EXPECT_EQ(e[0]->listedName, rootedFits);
}

TEST_F(PatchListTest, SizesOutOfRangeDropTheLineButNeverADeletionAndSumsSaturate) {
  auto e = Parse(
      "A 2002-06-01 14:30 2147483648 a r\n"
      "A 2002-06-01 14:30 99999999999999999999 b r\n"
      "A 2002-06-01 14:30 -1 c r\n"
      "Z 2002-06-01 14:30 1:2147483648 d r\n"
      "Z 2002-06-01 14:30 4294967296:1 e r\n"
      "Z 2002-06-01 14:30 1000 f r\n"            // 'Z' without its colon
      "A 2002-06-01 14:30 12abc h r\n"           // digits up to the first other character
      "A 2002-06-01 14:30 abc i r\n"             // no digits: 0
      "A 2002-06-01 14:30 +7 j r\n"
      "Z 2002-06-01 14:30 :9 k r\n");            // empty unpacked part: 0
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0]->size, 12);
  EXPECT_EQ(e[1]->size, 0);
  EXPECT_EQ(e[2]->size, 7);
  EXPECT_EQ(e[3]->size, 9);
  EXPECT_EQ(e[3]->unpackedSize, 0);
  EXPECT_EQ(totalBytes_, 12 + 7 + 9);

  // A deletion's size is never used: no value in that column drops the line.
  ReleaseQueue(list_);
  totalBytes_ = 0;
  fileCount_ = 0;
  const std::string longSize(40, '7');
  e = Parse("D 2002-06-01 14:30 -5 g r\nD 2002-06-01 14:30 4294967296 h r\nD 2002-06-01 14:30 " + longSize +
            " i r\nD 2002-06-01 14:30 1:2 j r\n");
  ASSERT_EQ(e.size(), 4u);
  for (PatchEntry* d : e) EXPECT_EQ(d->kind, 'D');
  EXPECT_EQ(std::string(e[0]->localPath), installDir_ + "/g");
  EXPECT_EQ(std::string(e[2]->sizeText), longSize.substr(0, 31));
  EXPECT_EQ(totalBytes_, 0);
  EXPECT_EQ(fileCount_, 0);

  ReleaseQueue(list_);
  totalBytes_ = 0;
  fileCount_ = INT32_MAX - 1;
  Parse("A 2002-06-01 14:30 2147483647 a r\nA 2002-06-01 14:30 2147483647 b r\nA 2002-06-01 14:30 5 c r\n");
  EXPECT_EQ(list_.count, 3);
  EXPECT_EQ(totalBytes_, INT32_MAX);
  EXPECT_EQ(fileCount_, INT32_MAX);
}

TEST_F(PatchListTest, LineLongerThanTheBufferIsSkippedWhole) {
  // 4095 bytes before the line end fit the 4096-byte line buffer, also before a CR LF.
  std::string fits = "A 2002-06-01 14:30 5 a.txt a.txt";
  fits += std::string(4095 - fits.size(), ' ');
  // One byte more does not: the whole line goes, also what lies past the buffer and
  // reads as a line of its own.
  std::string longer = "A 2002-06-01 14:30 5 b.txt b.txt";
  longer += std::string(4096 - longer.size(), ' ') + "D 2002-06-01 14:30 0 c.dat c.dat";
  // Lines read in pieces of 4095 bytes would take entries from the middle of this one.
  const std::string inner = "C 2002-06-01 12:00 5 d.dat d.dat";
  const std::string middle = std::string(4095, '.') + inner + std::string(4095 - inner.size(), ' ') + inner;
  // The last line needs no line end, but it must fit too.
  const std::string last = "A 2002-06-01 14:30 7 f.txt f.txt" + std::string(4096, ' ');
  auto e = Parse(fits + "\r\n" + longer + "\n" + middle + "\r\nA 2002-06-01 14:30 6 e.txt e.txt\n" + last);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_STREQ(e[0]->listedName, "a.txt");
  EXPECT_STREQ(e[1]->listedName, "e.txt");
  EXPECT_EQ(totalBytes_, 11);
}

TEST_F(PatchListTest, ReleaseQueueEmptiesTheList) {
  Parse("A 2002-06-01 14:30 5 a r\nD 2002-06-01 14:30 0 b r\nA 2002-06-01 14:30 5 c r\n");
  ASSERT_EQ(list_.count, 3);
  ReleaseQueue(list_);  // the leak checker reports any entry or node left behind
  EXPECT_EQ(list_.head, nullptr);
  EXPECT_EQ(list_.tail, nullptr);
  EXPECT_EQ(list_.count, 0);
  ReleaseQueue(list_);  // an empty list is fine too
  EXPECT_EQ(list_.count, 0);
}

TEST_F(PatchListTest, PatcherBindingUsesItsFields) {
  Patcher patcher;
  snprintf(patcher.installDir, sizeof patcher.installDir, "%s", installDir_.c_str());
  snprintf(patcher.baseDirectory, sizeof patcher.baseDirectory, "%s", "/srv");
  const std::string listPath = tree_.Write("list.txt", "A 2002-06-01 14:30 5 a\\b.txt b.txt\n");
  EXPECT_TRUE(patcher.ParsePatchList(listPath.c_str(), patcher.entries));
  ASSERT_EQ(patcher.entries.count, 1);
  auto* entry = static_cast<PatchEntry*>(patcher.entries.head->value);
  EXPECT_EQ(entry->localPath, P("a/b.txt"));
  EXPECT_STREQ(entry->remotePath, "/srv/b.txt");
  EXPECT_EQ(patcher.fileCount, 1);
  EXPECT_EQ(patcher.totalBytes, 5);
  ReleaseQueue(patcher.entries);
}

// The freshness test, under a zone with daylight saving time and one without.
class FreshnessTest : public PatchListTest, public ::testing::WithParamInterface<const char*> {
 protected:
  FreshnessTest() : tz_(GetParam()) {}

  PatchEntry Entry(const char* date, const char* time, int32_t size, const std::string& relative = "f.dat") {
    PatchEntry e;
    e.kind = 'C';
    snprintf(e.date, sizeof e.date, "%s", date);
    snprintf(e.time, sizeof e.time, "%s", time);
    e.size = size;
    EXPECT_TRUE(e.SetPaths(P(relative).c_str(), "", "", ""));
    return e;
  }

  ScopedTimeZone tz_;
};

TEST_P(FreshnessTest, DecisionTable) {
  EXPECT_TRUE(NeedsUpdate(Entry("2002-06-01", "12:00", 10, "missing.dat")));

  Install("f.dat", 10, 2002, 5, 31, 23, 59);
  EXPECT_TRUE(NeedsUpdate(Entry("2002-06-01", "12:00", 10)));  // later date

  Install("f.dat", 10, 2002, 6, 1, 10, 0);
  EXPECT_TRUE(NeedsUpdate(Entry("2002-05-01", "12:00", 10)));   // earlier date, later time of day
  EXPECT_FALSE(NeedsUpdate(Entry("2002-05-01", "09:00", 10)));  // earlier date and time, same size
  EXPECT_FALSE(NeedsUpdate(Entry("2002-06-01", "10:00", 10)));  // all equal
  EXPECT_TRUE(NeedsUpdate(Entry("2002-06-01", "10:00", 11)));   // one byte more
  EXPECT_TRUE(NeedsUpdate(Entry("2002-06-01", "10:00", 9)));    // one byte less
  EXPECT_TRUE(NeedsUpdate(Entry("2002-06-01", "10:01", 10)));   // one minute later
  EXPECT_TRUE(NeedsUpdate(Entry("2002-6-1", "10:00", 10)));     // no leading zeros sorts greater
  EXPECT_TRUE(NeedsUpdate(Entry("2002-06-01", "9:00", 10)));    // "9" sorts after "1"

  // Seconds take no part.
  Install("f.dat", 10, 2002, 6, 1, 10, 0, 59);
  EXPECT_FALSE(NeedsUpdate(Entry("2002-06-01", "10:00", 10)));

  // 'Z' compares the unpacked size, not the download size.
  PatchEntry z = Entry("2002-06-01", "10:00", 3);
  z.kind = 'Z';
  z.unpackedSize = 10;
  EXPECT_FALSE(NeedsUpdate(z));
  z.unpackedSize = 3;
  EXPECT_TRUE(NeedsUpdate(z));
}

// A file stamped in either season reads back with the offset of its own time, the rule
// the installation stamps by, so its listed time compares equal whatever the season of
// the run; the parse reads every file the same way.
TEST_P(FreshnessTest, ReadsEachFileWithTheOffsetOfItsOwnTime) {
  for (int month : {1, 7}) {
    Install("f.dat", 10, 2002, month, 15, 12, 0);
    char date[16];
    snprintf(date, sizeof date, "2002-%02d-15", month);
    EXPECT_FALSE(NeedsUpdate(Entry(date, "12:00", 10))) << GetParam() << " month " << month;
    EXPECT_TRUE(NeedsUpdate(Entry(date, "12:01", 10))) << GetParam() << " month " << month;
    ReleaseQueue(list_);
    auto e = Parse(std::string("C ") + date + " 12:00 10 f.dat f.dat\nC " + date + " 12:01 10 f.dat f.dat\n");
    ASSERT_EQ(e.size(), 1u) << GetParam() << " month " << month;
    EXPECT_STREQ(e[0]->time, "12:01");
  }
}

TEST_P(FreshnessTest, ParsedListAgainstInstalledFiles) {
  Install("Data/Map01.dat", 100, 2002, 6, 1, 14, 30);
  Install("Data/Old.dat", 100, 2002, 6, 1, 14, 29);
  Install("Data/Short.dat", 99, 2002, 6, 1, 14, 30);
  auto e = Parse(
      "C 2002-06-01 14:30 100 Data\\Map01.dat data/Map01.dat\n"
      "C 2002-06-01 14:30 100 Data\\Old.dat data/Old.dat\n"
      "C 2002-06-01 14:30 100 Data\\Short.dat data/Short.dat\n"
      "C 2002-06-01 14:30 100 Data\\Missing.dat data/Missing.dat\n");
  ASSERT_EQ(e.size(), 3u);
  EXPECT_STREQ(e[0]->listedName, "data/Old.dat");
  EXPECT_STREQ(e[1]->listedName, "data/Short.dat");
  EXPECT_STREQ(e[2]->listedName, "data/Missing.dat");
  EXPECT_EQ(fileCount_, 3);
  EXPECT_EQ(totalBytes_, 300);
}

INSTANTIATE_TEST_SUITE_P(Zones, FreshnessTest, ::testing::Values("Europe/Berlin", "Asia/Seoul"));

// Under a zone with daylight saving time the two seasons have different offsets, so
// reading with the offset of today would read one of them an hour off.
TEST(FreshnessZones, BerlinSeasonsDiffer) {
  ScopedTimeZone tz("Europe/Berlin");
  struct tm january {}, july {};
  january.tm_year = july.tm_year = 102;
  january.tm_mday = july.tm_mday = 15;
  july.tm_mon = 6;
  january.tm_isdst = july.tm_isdst = -1;
  mktime(&january);
  mktime(&july);
  EXPECT_NE(january.tm_gmtoff, july.tm_gmtoff);
}

}  // namespace
