// The platform services as their headers promise them, run against whichever
// implementation this build has: only the platform headers, the standard library,
// GoogleTest and a time zone as far as the build can set one (support/test_zone.h) are
// used here, so the same file tests the Linux and the Windows services.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/resolver.h"
#include "platform/settings.h"
#include "platform/sync.h"
#include "support/scratch.h"
#include "support/test_zone.h"

namespace {

namespace fs = std::filesystem;

using zdtest::Scratch;

TEST(Events, AutoResetAndTheFirstEventWins) {
  plat::EventHandle stop = plat::CreateAutoResetEvent();
  plat::EventHandle work = plat::CreateAutoResetEvent();
  ASSERT_NE(stop, nullptr);
  ASSERT_NE(work, nullptr);
  EXPECT_EQ(plat::WaitForEither(stop, work, 0), plat::kWaitTimedOut);
  plat::SignalEvent(work);
  plat::SignalEvent(stop);
  EXPECT_EQ(plat::WaitForEither(stop, work, 0), 0);
  EXPECT_EQ(plat::WaitForEither(stop, work, 0), 1);
  EXPECT_EQ(plat::PollEvent(work), plat::kWaitTimedOut);
  plat::SignalEvent(work);
  EXPECT_EQ(plat::PollEvent(work), 0);
  EXPECT_EQ(plat::PollEvent(work), plat::kWaitTimedOut) << "one signal releases one wait";
  EXPECT_EQ(plat::WaitForEither(nullptr, work, plat::kWaitForever), plat::kWaitFailed);
  EXPECT_EQ(plat::PollEvent(nullptr), plat::kWaitFailed);
  // A signal from another thread wakes a waiter.
  std::thread t([&] { plat::SignalEvent(work); });
  EXPECT_EQ(plat::WaitForEither(stop, work, 10000), 1);
  t.join();
  plat::CloseEventHandle(stop);
  plat::CloseEventHandle(work);
}

TEST(Threads, RunAtOnceAndAreJoined) {
  plat::EventHandle release = plat::CreateAutoResetEvent();
  struct Shared {
    plat::EventHandle release;
    std::atomic<int> ran{0};
  } shared{release};
  plat::ThreadHandle thread = plat::StartThread(
      [](void* argument) -> unsigned {
        auto* s = static_cast<Shared*>(argument);
        s->ran.store(1);
        plat::WaitForEither(s->release, s->release, plat::kWaitForever);
        return 0;
      },
      &shared);
  ASSERT_NE(thread, nullptr);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (shared.ran.load() == 0 && std::chrono::steady_clock::now() < deadline) plat::SleepMs(1);
  EXPECT_EQ(shared.ran.load(), 1);
  EXPECT_FALSE(plat::ThreadFinished(thread));
  plat::SignalEvent(release);
  while (!plat::ThreadFinished(thread) && std::chrono::steady_clock::now() < deadline) plat::SleepMs(1);
  EXPECT_TRUE(plat::ThreadFinished(thread));
  plat::JoinAndCloseThread(thread);
  plat::CloseEventHandle(release);
}

TEST(Clock, TicksMoveForwardAndCalendarFieldsRoundTrip) {
  const uint32_t before = plat::TickCount();
  plat::SleepMs(100);
  const uint32_t elapsed = plat::TickCount() - before;
  // Windows' tick moves in steps of up to 16 ms, so a reading may lag by one step.
  EXPECT_GE(elapsed, 84u);
  EXPECT_LT(elapsed, 60000u);

  plat::CalendarTime fields;
  fields.year = 2002;
  fields.month = 7;
  fields.day = 15;
  fields.hour = 9;
  fields.minute = 5;
  plat::FileTime joined = 0;
  ASSERT_TRUE(plat::JoinFileTime(fields, &joined));
  plat::CalendarTime back;
  ASSERT_TRUE(plat::SplitFileTime(joined, &back));
  EXPECT_EQ(back.year, 2002);
  EXPECT_EQ(back.month, 7);
  EXPECT_EQ(back.day, 15);
  EXPECT_EQ(back.hour, 9);
  EXPECT_EQ(back.minute, 5);
  EXPECT_EQ(back.dayOfWeek, 1) << "15 July 2002 was a Monday";

  fields.month = 13;
  EXPECT_FALSE(plat::JoinFileTime(fields, &joined));
  fields.month = 4;
  fields.day = 31;
  EXPECT_FALSE(plat::JoinFileTime(fields, &joined));
}

// The calendar time now is UTC whatever the zone: the standard library's clock, counted
// from 1970, agrees with it to the second (both read the same system clock).
TEST(Clock, TheTimeNowIsUtc) {
  const auto before = std::chrono::system_clock::now();
  const plat::FileTime now = plat::CurrentUtcFileTime();
  const auto after = std::chrono::system_clock::now();
  const auto since1601 = [](std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count() + 11644473600LL;
  };
  const long long seconds = static_cast<long long>(now / 10000000ULL);
  EXPECT_GE(seconds, since1601(before) - 1);
  EXPECT_LE(seconds, since1601(after) + 1);
}

// 2024 in two zones with daylight saving time: a winter and a summer time, a time in
// the hour that spring skips and one in the hour that autumn repeats. Each local time
// converts to UTC with the offset of its own date (the skipped one with the winter
// offset, the repeated one as its first occurrence), whatever the season today, and
// reads back as listed (the skipped one an hour later). Fractions of a second stay.
TEST(Clock, LocalTimesTakeTheOffsetOfTheirOwnDateAcrossTheClockChanges) {
  struct Case {
    uint16_t month, day, hour, minute;  // local
    uint16_t utcDay, utcHour;           // expected UTC, same month and minute
    uint16_t backHour;                  // the local hour it reads back as
  };
  struct Zone {
    const char* name;
    Case cases[5];
  };
  const Zone zones[] = {
      {"America/New_York",
       {{1, 15, 12, 0, 15, 17, 12}, {7, 15, 12, 0, 15, 16, 12}, {3, 10, 2, 30, 10, 7, 3}, {11, 3, 1, 30, 3, 5, 1},
        {11, 3, 2, 0, 3, 7, 2}}},
      {"Europe/Berlin",
       {{1, 15, 12, 0, 15, 11, 12}, {7, 15, 12, 0, 15, 10, 12}, {3, 31, 2, 30, 31, 1, 3}, {10, 27, 2, 30, 27, 0, 2},
        {10, 27, 3, 0, 27, 2, 3}}},
  };
  const plat::FileTime fraction = 350 * 10000 + 1234;  // 0.3501234 s
  int checked = 0;
  for (const Zone& zone : zones) {
    zdtest::TestZone scope(zone.name);
    if (!scope.active()) continue;
    ++checked;
    for (const Case& c : zone.cases) {
      SCOPED_TRACE(std::string(zone.name) + " " + std::to_string(c.month) + "-" + std::to_string(c.day) + " " +
                   std::to_string(c.hour) + ":" + std::to_string(c.minute));
      plat::CalendarTime f;
      f.year = 2024;
      f.month = c.month;
      f.day = c.day;
      f.hour = c.hour;
      f.minute = c.minute;
      f.second = 27;
      plat::FileTime local = 0, utc = 0, back = 0;
      ASSERT_TRUE(plat::JoinFileTime(f, &local));
      local += fraction;
      ASSERT_TRUE(plat::LocalToUtcFileTime(local, &utc));
      plat::CalendarTime u;
      ASSERT_TRUE(plat::SplitFileTime(utc, &u));
      EXPECT_EQ(std::vector<int>({u.month, u.day, u.hour, u.minute, u.second}),
                std::vector<int>({c.month, c.utcDay, c.utcHour, c.minute, 27}));
      EXPECT_EQ(utc % 10000000, fraction);
      ASSERT_TRUE(plat::UtcToLocalFileTime(utc, &back));
      EXPECT_EQ(static_cast<int64_t>(back) - static_cast<int64_t>(local), (c.backHour - c.hour) * 36000000000LL);
    }
  }
  if (checked == 0) GTEST_SKIP() << "the process's zone is neither New York's nor Berlin's (a Windows program takes its zone from TZ when it starts)";
}

TEST(Settings, TextIsCutToTheBufferAndAbsentKeysGiveTheFallback) {
  Scratch dir;
  const std::string ini = dir.Write("VornPatch.ini",
                                    "[PATCH_FTP]\r\nSERVERIP = 127.0.0.1\r\nPORT=2121\r\nUSERID=\r\n"
                                    "LISTFILE=a-rather-long-list-name.lst\r\nBAD=x12\r\n[OTHER]\r\nPORT=9\r\n");
  char out[16];
  EXPECT_EQ(plat::ReadIniText(ini.c_str(), "PATCH_FTP", "SERVERIP", "", out, sizeof out), 9u);
  EXPECT_STREQ(out, "127.0.0.1");
  EXPECT_EQ(plat::ReadIniText(ini.c_str(), "patch_ftp", "serverip", "", out, sizeof out), 9u) << "case";
  EXPECT_EQ(plat::ReadIniText(ini.c_str(), "PATCH_FTP", "LISTFILE", "", out, sizeof out), 15u);
  EXPECT_STREQ(out, "a-rather-long-l");
  EXPECT_EQ(plat::ReadIniText(ini.c_str(), "PATCH_FTP", "USERID", "", out, sizeof out), 0u);
  EXPECT_EQ(plat::ReadIniText(ini.c_str(), "PATCH_FTP", "PASSWD", "", out, sizeof out), 0u);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(plat::ReadIniText(dir.Path("missing.ini").c_str(), "PATCH_FTP", "SERVERIP", "", out, sizeof out), 0u);

  EXPECT_EQ(plat::ReadIniUnsigned(ini.c_str(), "PATCH_FTP", "PORT", 0), 2121u);
  EXPECT_EQ(plat::ReadIniUnsigned(ini.c_str(), "OTHER", "PORT", 0), 9u);
  EXPECT_EQ(plat::ReadIniUnsigned(ini.c_str(), "PATCH_FTP", "BAD", 0), 0u);
  EXPECT_EQ(plat::ReadIniUnsigned(ini.c_str(), "PATCH_FTP", "NONE", 7), 7u);
}

TEST(Errors, CodesTheCoreRaisesHaveTexts) {
  char text[256];
  EXPECT_TRUE(plat::ErrorText(plat::NameTooLongCode(), text, sizeof text));
  EXPECT_GT(std::strlen(text), 0u);
  EXPECT_TRUE(plat::ErrorText(plat::InvalidNameCode(), text, sizeof text));
  // A failed fopen is read through the run-time library's code.
  Scratch dir;
  EXPECT_EQ(std::fopen(dir.Path("missing").c_str(), "rb"), nullptr);
  const uint32_t code = plat::RuntimeErrorCode();
  EXPECT_NE(code, 0u);
  EXPECT_TRUE(plat::ErrorText(code, text, sizeof text));
  // A text is cut to the buffer, never overrun.
  char tiny[4] = {'x', 'x', 'x', 'x'};
  EXPECT_TRUE(plat::ErrorText(code, tiny, 3));
  EXPECT_EQ(std::strlen(tiny), 2u);
  EXPECT_EQ(tiny[3], 'x');
}

TEST(Resolver, AnAddressIsItselfAndANameGivesEachOfItsAddressesOnce) {
  std::vector<std::string> found{"stale"};
  ASSERT_TRUE(plat::ResolveHost("127.0.0.1", &found));
  EXPECT_EQ(found, std::vector<std::string>{"127.0.0.1"});
  ASSERT_TRUE(plat::ResolveHost("::1", &found));
  EXPECT_EQ(found, std::vector<std::string>{"::1"});
  // localhost is loopback over IPv4, IPv6 or both, each address once.
  ASSERT_TRUE(plat::ResolveHost("localhost", &found));
  for (const std::string& a : found) {
    EXPECT_TRUE(a == "127.0.0.1" || a == "::1") << a;
    EXPECT_EQ(std::count(found.begin(), found.end(), a), 1) << a;
  }
  EXPECT_FALSE(plat::ResolveHost("no-such-host.invalid", &found));
  EXPECT_TRUE(found.empty());
  EXPECT_FALSE(plat::ResolveHost("", &found));
}

TEST(Files, StatusTimesAndReplacement) {
  Scratch dir;
  const std::string a = dir.Write("a.txt", "first");
  const std::string b = dir.Write("b.txt", "second!");
  plat::FileStatus st;
  ASSERT_TRUE(plat::QueryFile(a.c_str(), &st));
  EXPECT_TRUE(st.exists);
  EXPECT_FALSE(st.isDirectory);
  EXPECT_EQ(st.size, 5u);
  EXPECT_FALSE(plat::QueryFile(dir.Path("none").c_str(), &st));
  EXPECT_FALSE(st.exists);

  // Times written through a handle read back exactly, and as the file's status.
  plat::TimesHandle h = plat::OpenForTimes(a.c_str());
  ASSERT_NE(h, nullptr);
  plat::FileTimes times;
  ASSERT_TRUE(plat::GetTimes(h, &times));
  plat::CalendarTime fields;
  fields.year = 2001;
  fields.month = 12;
  fields.day = 24;
  fields.hour = 23;
  fields.minute = 59;
  ASSERT_TRUE(plat::JoinFileTime(fields, &times.lastWrite));
  times.lastAccess = times.lastWrite;
  ASSERT_TRUE(plat::SetTimes(h, times));
  plat::FileTimes back;
  ASSERT_TRUE(plat::GetTimes(h, &back));
  plat::CloseTimes(h);
  EXPECT_EQ(back.lastWrite, times.lastWrite);
  ASSERT_TRUE(plat::QueryFile(a.c_str(), &st));
  EXPECT_EQ(st.lastWrite, times.lastWrite);

  // A rename replaces an existing target in one step.
  ASSERT_TRUE(plat::RenameOver(b.c_str(), a.c_str()));
  EXPECT_EQ(dir.Read("a.txt"), "second!");
  EXPECT_FALSE(plat::QueryFile(b.c_str(), &st));

  ASSERT_TRUE(plat::MakeWritable(a.c_str()));
  ASSERT_TRUE(plat::RemoveFile(a.c_str()));
  EXPECT_FALSE(plat::RemoveFile(a.c_str()));
  EXPECT_NE(plat::LastErrorCode(), 0u);
}

TEST(Files, DirectoriesAndTheProgramsOwnPlaces) {
  Scratch dir;
  const std::string sub = dir.Path("sub");
  ASSERT_TRUE(plat::MakeDirectory(sub.c_str()));
  EXPECT_FALSE(plat::MakeDirectory(sub.c_str())) << "an existing directory fails harmlessly";
  plat::FileStatus st;
  ASSERT_TRUE(plat::QueryFile(sub.c_str(), &st));
  EXPECT_TRUE(st.isDirectory);
  dir.Write(std::string("sub") + plat::PathSeparator() + "x", "x");
  EXPECT_FALSE(plat::RemoveEmptyDirectory(sub.c_str()));
  ASSERT_TRUE(plat::RemoveFile((sub + plat::PathSeparator() + "x").c_str()));
  EXPECT_TRUE(plat::RemoveEmptyDirectory(sub.c_str()));

  char temp[1024];
  ASSERT_TRUE(plat::TempDirectory(temp, sizeof temp));
  ASSERT_GT(std::strlen(temp), 1u);
  EXPECT_EQ(temp[std::strlen(temp) - 1], plat::PathSeparator());
  ASSERT_TRUE(plat::QueryFile(temp, &st) || plat::QueryFile(std::string(temp, std::strlen(temp) - 1).c_str(), &st));
  EXPECT_TRUE(st.isDirectory);
  char small[2];
  EXPECT_FALSE(plat::TempDirectory(small, sizeof small));

  char exe[1024];
  ASSERT_TRUE(plat::ExecutablePath(exe, sizeof exe));
  ASSERT_TRUE(plat::QueryFile(exe, &st));
  EXPECT_FALSE(st.isDirectory);
  EXPECT_FALSE(plat::ExecutablePath(small, sizeof small));
}

TEST(Files, CopyOverIsWholeAndRefusesADirectoryOrAMissingSource) {
  Scratch dir;
  const std::string big(3 << 20, 'n');  // several buffers' worth
  const std::string source = dir.Write("new", big);
  const std::string target = dir.Write("old", "old");
  ASSERT_TRUE(plat::CopyOver(source.c_str(), target.c_str()));
  EXPECT_EQ(dir.Read("old"), big);
  const std::string fresh = dir.Path("fresh");
  ASSERT_TRUE(plat::CopyOver(source.c_str(), fresh.c_str()));
  EXPECT_EQ(dir.Read("fresh"), big);
  fs::create_directories(dir.Path("dir"));
  EXPECT_FALSE(plat::CopyOver(source.c_str(), dir.Path("dir").c_str()));
  EXPECT_FALSE(plat::CopyOver(dir.Path("missing").c_str(), fresh.c_str()));
  EXPECT_EQ(dir.Read("fresh"), big);
  // Nothing of a copy is left beside its target.
  size_t names = 0;
  for (auto it = fs::directory_iterator(dir.Path("")); it != fs::directory_iterator(); ++it) ++names;
  EXPECT_EQ(names, 4u);  // new, old, fresh, dir
  EXPECT_TRUE(plat::RemoveProgramFile(fresh.c_str()));
  EXPECT_FALSE(plat::RemoveProgramFile(fresh.c_str()));

  // A copy given a last-write time carries it when it appears.
  const plat::FileTime listed = 0x01C22BF3D8A1E200ULL + 1230;  // mid-2002, with a fraction
  ASSERT_TRUE(plat::CopyOver(source.c_str(), target.c_str(), &listed));
  plat::FileStatus status;
  ASSERT_TRUE(plat::QueryFile(target.c_str(), &status));
  EXPECT_EQ(status.lastWrite / 10, listed / 10) << "to the microsecond, as both systems keep it";
  EXPECT_EQ(dir.Read("old"), big);
}

TEST(InstanceLock, ASecondHolderIsRefusedUntilTheFirstLetsGo) {
  const std::string name = "ZdContract_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  plat::InstanceLockHandle first = nullptr, second = nullptr;
  ASSERT_EQ(plat::AcquireInstanceLock(name.c_str(), &first), plat::InstanceResult::Acquired);
  EXPECT_EQ(plat::AcquireInstanceLock(name.c_str(), &second), plat::InstanceResult::AlreadyRunning);
  EXPECT_EQ(second, nullptr);
  plat::ReleaseInstanceLock(first);
  ASSERT_EQ(plat::AcquireInstanceLock(name.c_str(), &second), plat::InstanceResult::Acquired);
  plat::ReleaseInstanceLock(second);
}

}  // namespace
