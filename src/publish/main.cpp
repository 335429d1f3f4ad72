// zidodiruv-publish: builds, checks, compares and uploads a patch for the ZidoDiruv
// clients. The subcommands and their options; the work is in the other files here.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "publish/commands.h"

namespace {

const char kExitCodes[] =
    "Exit codes: 0 done; 1 build refused its input, diff found a file that clients would never receive, "
    "verify found a fault (a missing list too, or a mirror that lags or lacks files), or upload was given a "
    "folder build did not make; 2 wrong command line (an unknown subcommand or option, an address that is not "
    "ftp:// or given to upload twice, a folder that is a file or missing, SERVER_DIR and RELEASE_DIR inside one "
    "another, a key file that exists for keygen or holds no key); 3 a file could not be read or written, or a "
    "server could not be reached or refused the log-on or a command.";

}  // namespace

int main(int argc, char** argv) {
  using namespace publish;
  CLI::App app("Builds, checks, compares and uploads a patch for the ZidoDiruv clients.", "zidodiruv-publish");
  app.footer(kExitCodes);
  app.require_subcommand(1);

  BuildOptions build;
  build.storedTypes = DefaultStoredTypes();
  CLI::App* buildCommand = app.add_subcommand(
      "build",
      "Writes the server folder for a release folder: every file under its remote name (gzip-packed where "
      "that pays), the list and the tool's manifest beside it.");
  buildCommand->add_option("RELEASE_DIR", build.releaseDir, "The release: the game's files as players get them")
      ->required()
      ->check(CLI::ExistingDirectory);
  buildCommand->add_option("SERVER_DIR", build.serverDir, "The server folder to write (new or empty)")->required();
  buildCommand->add_option("--list", build.listName, "The list's file name (LISTFILE in VornPatch.ini)")
      ->capture_default_str();
  buildCommand->add_option("--zone", build.zone,
                           "Time zone of the listed times, as the players' machines keep it (default: the "
                           "previous version's, else this machine's), e.g. Asia/Seoul or UTC0");
  buildCommand->add_option("--previous", build.previous,
                           "The last published list (its manifest beside it): deletions, unchanged files keep "
                           "their times, changed ones are moved forward until clients of every earlier version "
                           "fetch them");
  buildCommand->add_option("--patcher", build.patchers,
                           "The patcher's own file, listed as 'P': a name relative to the release, or a file name "
                           "found in any folder (default: the previous version's 'P' file)")
      ->allow_extra_args(false);
  buildCommand->add_option("--compress-min", build.compressMin, "Smallest file size that is packed, in bytes")
      ->capture_default_str();
  buildCommand->add_option("--max-share", build.maxShare, "A packed file is kept when at most this percentage of the original")
      ->capture_default_str()
      ->check(CLI::Range(1, 100));
  buildCommand->add_option("--level", build.level, "gzip level")->capture_default_str()->check(CLI::Range(1, 9));
  buildCommand->add_option("--jobs", build.jobs, "Threads that read and pack (default: one per core)")
      ->check(CLI::Range(1, 1024));
  buildCommand->add_option("--stored", build.storedTypes, "File types never packed (already compressed)")
      ->delimiter(',')
      ->allow_extra_args(false)
      ->capture_default_str();
  buildCommand->add_flag("--force-deletions", build.forceDeletions,
                         "Publish even when the list deletes the game's Vorn.exe, the patcher, or more than half "
                         "of the previous version's files (refused without it)");
  buildCommand->add_option("--install-dir-max", build.limits.installDirMax,
                           "The longest installation folder the clients may have, in characters (the Windows "
                           "patcher's paths stay under 260 with it); names too long for it are refused")
      ->capture_default_str()
      ->check(CLI::Range(3, 230));
  CLI::Option* sign = buildCommand->add_option(
      "--sign", build.signingKey,
      "Sign the list with this private key (from keygen; default: the file ZIDODIRUV_SIGNING_KEY names), with a "
      "sequence number above the previous version's");
  buildCommand->add_option("--expires", build.expiresDays,
                           "The signed list expires after this many days (UTC); patchers with the key refuse it then")
      ->check(CLI::Range(1, 36500));
  buildCommand
      ->add_flag("--unsigned", build.unsignedList,
                 "Publish an unsigned list although ZIDODIRUV_SIGNING_KEY is set or the previous version is signed "
                 "(patchers with the key refuse it)")
      ->excludes(sign);

  DiffOptions diff;
  CLI::App* diffCommand = app.add_subcommand(
      "diff",
      "What a client holding the old version does with the new list: each file it fetches, deletes, or never "
      "receives although its content changed (exit code 1 then), and a summary with the bytes it fetches.");
  diffCommand->add_option("OLD_LIST", diff.oldPath, "The old list, or its manifest")->required();
  diffCommand->add_option("NEW_LIST", diff.newPath, "The new list, or its manifest")->required();
  diffCommand->add_flag("--unchanged", diff.unchanged, "Also name every file a client keeps as it is");

  VerifyOptions verify;
  CLI::App* verifyCommand = app.add_subcommand(
      "verify",
      "Checks a server: every file the list in place names is there with its listed size, every packed file "
      "unpacks to its size. With several servers (the mirrors of one name), each of them, and that they hold "
      "the same list and every file of every list in place: a mirror that lags or misses files is named.");
  verifyCommand->add_option("SERVER", verify.servers, "A server folder, or ftp://user@host:port/base/; or several")
      ->required();
  verifyCommand->add_option("--list", verify.listName, "The list's file name")->capture_default_str();
  verifyCommand->add_flag(
      "--deep", verify.deep,
      "Also compare every content with its hash, the manifest's or its remote name's (reads it all)");
  verifyCommand->add_option("--key", verify.key,
                            "The list must be signed with one of these public keys: PUBLICKEY=... as keygen "
                            "printed it, or a file holding that line (VornPatch.ini) or the private key");

  UploadOptions upload;
  CLI::App* uploadCommand = app.add_subcommand(
      "upload",
      "Puts a server folder made by build on an FTP server, or on every mirror of one name: data files first "
      "(to the mirrors at once), each renamed into place whole, and only when every mirror holds every file, "
      "the list, on one mirror after another; files already there are skipped, so a broken upload is finished "
      "by running it again. The password comes from the address, ZIDODIRUV_FTP_PASSWORD or ~/.netrc (machine or "
      "default entry).");
  uploadCommand->add_option("SERVER_DIR", upload.serverDir, "The folder build wrote")->required()->check(CLI::ExistingDirectory);
  uploadCommand->add_option("URL", upload.urls, "ftp://user@host:port/base/; one for each mirror")->required();
  uploadCommand->add_option("--list", upload.listName, "The list's file name")->capture_default_str();
  uploadCommand->add_flag("--prune", upload.prune,
                          "After the list is in place (on every mirror), remove the files of this list's older "
                          "versions (never a file another list in the folder names)");

  std::string keyFile;
  CLI::App* keygenCommand = app.add_subcommand(
      "keygen",
      "Makes the publisher's signing key: the private key into a new file readable by its owner only (never over "
      "an existing file), and prints the line PUBLICKEY=... for [PATCH_FTP] of VornPatch.ini.");
  keygenCommand->add_option("KEYFILE", keyFile, "The new private key file (keep it off the server)")->required();

  // CLI11 answers a misspelt subcommand with "A subcommand is required".
  bool known = argc < 2 || argv[1][0] == '-';
  for (const CLI::App* command : {buildCommand, diffCommand, verifyCommand, uploadCommand, keygenCommand})
    known = known || command->get_name() == argv[1];
  if (!known) {
    Complain(std::string("unknown subcommand \"") + argv[1] +
             "\": it is build, diff, verify, upload or keygen (see --help)");
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  if (*buildCommand) return RunBuild(build);
  if (*diffCommand) return RunDiff(diff);
  if (*verifyCommand) return RunVerify(verify);
  if (*keygenCommand) return RunKeygen(keyFile);
  return RunUpload(upload);
}
