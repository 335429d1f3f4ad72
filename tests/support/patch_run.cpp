#include "support/patch_run.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/patcher.h"
#include "platform/ftp.h"
#include "ui/resource.h"

namespace zdtest {

const char kListQuestion[] =
    "Network error, ZidoDiruv cannot continue.\n\nDo you want to run the game without ZidoDiruv?";
const char kFileQuestion[] =
    "Network error, ZidoDiruv cannot continue.\n\nDo you want to try again with previous ZidoDiruv?\n"
    "It will use the default directory.";

PatchRunTest::PatchRunTest(int deadlineMs, const std::string& treeBase) : tree_(treeBase), deadlineMs_(deadlineMs) {}

void PatchRunTest::SetUp() {
  ASSERT_TRUE(server_.ok());
  ::chmod(tree_.root().c_str(), 0700);
  tree_.Write("xdg/SOFTWARE/Brisco Entertainment/Tessary/SETUP PATH", tree_.Path("game") + "/\n");
  Settings();
  ResetWindow();
}

void PatchRunTest::ResetWindow() const {
  ScriptedWindow::Get().Reset();
  ScriptedWindow::Get().SetDeadlineMs(deadlineMs_);
}

void PatchRunTest::Settings(const std::string& base, uint16_t port, const std::string& password,
                            const std::string& host, const std::string& more) {
  tree_.WriteSettings("game", "[PATCH_FTP]\nSERVERIP=" + host + "\nPORT=" + std::to_string(port ? port : server_.port()) +
                                  "\nUSERID=" + server_.user() +
                                  "\nPASSWD=" + (password.empty() ? server_.password() : password) +
                                  "\nBASEDIRECTORY=" + base + "\nLISTFILE=patch.lst\n" + more);
}

void PatchRunTest::List(const std::string& body, const std::string& at) { server_.WriteFile(at, body); }

void PatchRunTest::FaultsAfterList(const FtpFaults& faults) {
  ScriptedWindow::Get().OnText([this, faults](int, const std::string& text) {
    if (text == "Confirming patch file list...") server_.SetFaults(faults);
  });
}

std::string PatchRunTest::GameScript() const { return "#!/bin/sh\necho \"$@\" >> '" + GameLog() + "'\n"; }

void PatchRunTest::InstallGame() { ::chmod(tree_.Write("game/Vorn.exe", GameScript()).c_str(), 0755); }

bool PatchRunTest::WaitForLine(const std::string& path) {
  return WaitUntil(
      [&] {
        const std::string text = ReadFile(path);
        return !text.empty() && text.back() == '\n';
      },
      10000);
}

double PatchRunTest::Run() {
  const auto start = std::chrono::steady_clock::now();
  {
    Patcher patcher;
    EXPECT_TRUE(patcher.RunPatchWindow(nullptr));
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (std::getenv("ZD_TRACE_RUN") != nullptr) {
    for (const TextRecord& t : ScriptedWindow::Get().Texts())
      std::fprintf(stderr, "%8.1f text %d %s\n", t.ms, t.controlId, t.text.c_str());
    for (const BoxRecord& b : ScriptedWindow::Get().Boxes()) std::fprintf(stderr, "%8.1f box %s\n", b.ms, b.text.c_str());
    for (const FtpLogEntry& e : server_.Log())
      std::fprintf(stderr, "server %s %d %s %s\n", e.kind.c_str(), e.connection, e.verb.c_str(), e.argument.c_str());
  }
  EXPECT_FALSE(ScriptedWindow::Get().TimedOut()) << "the run did not end by itself";
  plat::FtpShutdown();
  return seconds;
}

std::vector<std::string> PatchRunTest::StatusTexts() {
  std::vector<std::string> out;
  for (const TextRecord& t : ScriptedWindow::Get().Texts(IDC_STATUS)) out.push_back(t.text);
  return out;
}

bool PatchRunTest::Shown(const std::string& text) {
  const std::vector<std::string> texts = StatusTexts();
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

void PatchRunTest::ExpectNothingStaged(bool directoriesMayStay) const {
  for (const std::string& entry : TreeListing(Local("Update")))
    if (!directoriesMayStay || entry.back() != '/') ADD_FAILURE() << "left in the staging area: " << entry;
  for (const std::string& name : SortedNames(Local(""))) EXPECT_EQ(name.find(".part"), std::string::npos) << name;
}

}  // namespace zdtest
