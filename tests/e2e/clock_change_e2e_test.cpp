// The built program across the clock changes of real zones: a list of 20 files, listed in
// winter, in summer, in the hour spring skips and in the hour autumn repeats, installed
// by a run in summer; the runs after the autumn change and after the spring change fetch
// nothing but the list. The program's clock is moved by libfaketime (which leaves file
// times and the monotonic clock alone); the test itself runs at the real time.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ftp_server.h"
#include "support/temp_tree.h"
#include "support/x11_session.h"

namespace {

using namespace zdtest;

const char kFaketime[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

// Seoul keeps one offset all year: its dates stand for nothing skipped or repeated.
struct Zone {
  const char* name;
  const char* skipped;   // the date whose 02:30 spring skips
  const char* repeated;  // the date whose `repeatedTime` autumn repeats
  const char* repeatedTime;
};

TEST(ClockChange, TwentyInstalledFilesAreNotFetchedAgainAfterEitherChange) {
  struct stat st;
  ASSERT_EQ(::stat(kFaketime, &st), 0) << kFaketime << " is missing: scripts/setup.sh installs faketime";
  XvfbSession xvfb;
  ASSERT_TRUE(xvfb.Start()) << "Xvfb could not be started";
  FtpServerFixture server;
  ASSERT_TRUE(server.ok());

  const Zone zones[] = {{"America/New_York", "2024-03-10", "2024-11-03", "01:30"},
                        {"Europe/Berlin", "2024-03-31", "2024-10-27", "02:30"},
                        {"Asia/Seoul", "2024-03-10", "2024-11-03", "01:30"}};
  for (const Zone& zone : zones) {
    SCOPED_TRACE(zone.name);
    ScopedTimeZone tz(zone.name);
    TempTree tree;
    for (const char* dir : {"app", "run", "xdg", "home"}) tree.MakeDirs(dir);
    ::chmod(tree.Path("run").c_str(), 0700);
    const std::string program = tree.Write("app/zidodiruv", ReadFile(ZD_PROGRAM));
    ::chmod(program.c_str(), 0755);
    const std::string game = tree.Write("app/Vorn.exe", "#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/started\"\n");
    ::chmod(game.c_str(), 0755);
    tree.WriteSettings("app", "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" + std::to_string(server.port()) +
                                  "\nUSERID=" + server.user() + "\nPASSWD=" + server.password() +
                                  "\nBASEDIRECTORY=/patch\nLISTFILE=list.txt\n");
    // Nine files listed in winter and nine in summer, at times of day from early to
    // late, then the skipped and the repeated time.
    std::string list;
    for (int i = 0; i < 20; ++i) {
      char date[16], time[8];
      std::snprintf(date, sizeof date, "2024-%02d-%02d", i % 2 == 0 ? 1 : 7, 1 + i);
      std::snprintf(time, sizeof time, "%02d:%02d", (i * 5) % 24, (i * 7) % 60);
      std::string listed = std::string(date) + " " + time;
      if (i == 18) listed = std::string(zone.skipped) + " 02:30";
      if (i == 19) listed = std::string(zone.repeated) + " " + zone.repeatedTime;
      const std::string name = "f" + std::to_string(i) + ".dat";
      server.WriteFile("patch/" + name, std::string(100 + i, 'a' + i % 26));
      list += "C " + listed + " " + std::to_string(100 + i) + " " + name + " " + name + "\r\n";
    }
    server.WriteFile("patch/list.txt", list);

    // In summer, after the autumn change, after the spring change.
    const char* nows[] = {"@2024-07-01 12:00:00", "@2024-12-01 12:00:00", "@2025-04-01 12:00:00"};
    const int fetched[] = {20, 0, 0};
    std::string starts;
    for (int run = 0; run < 3; ++run) {
      SCOPED_TRACE(nows[run]);
      const int before = server.Retrs();
      ChildProcess child;
      const std::string output = tree.Path("output-" + std::to_string(run) + ".txt");
      ASSERT_TRUE(child.Start({program},
                              ProgramEnv(xvfb, tree.root(),
                                         {std::string("LD_PRELOAD=") + kFaketime, std::string("FAKETIME=") + nows[run],
                                          "NO_FAKE_STAT=1", "DONT_FAKE_MONOTONIC=1", "FAKETIME_DONT_FAKE_MONOTONIC=1"}),
                              tree.Path("app"), output));
      int code = -1;
      ASSERT_TRUE(child.WaitExit(60000, &code)) << "the run did not end";
      EXPECT_EQ(code, 0);
      starts += "-U\n";
      ASSERT_TRUE(WaitUntil([&] { return ReadFile(tree.Path("app/started")) == starts; }, 10000))
          << "the game's starts: " << ReadFile(tree.Path("app/started")) << "; the program said: " << ReadFile(output);
      // The list, and the files fetched.
      EXPECT_EQ(server.Retrs() - before, 1 + fetched[run]);
    }
    EXPECT_EQ(LocalStamp(tree.Path("app/f0.dat")), "2024-01-01 00:00");
    EXPECT_EQ(LocalStamp(tree.Path("app/f1.dat")), "2024-07-02 05:07");
  }
}

}  // namespace
