#include "app/tovrin_main.h"

#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "app/console.h"
#include "app/error_report.h"
#include "autopatch/auto_patch.h"
#include "common/fatal_error.h"
#include "common/global_file_system.h"
#include "common/output.h"
#include "diff/database_diff.h"
#include "script/script_processor.h"

namespace {

constexpr const char* kPackExtension = ".zq";

constexpr const char* kUsage =
    "Usage: tovrin SCRIPT DATADIR\n"
    "         carry out the patch script SCRIPT, which writes record databases\n"
    "       tovrin -diff FILE1 FILE2\n"
    "         compare two databases key by key and print what differs\n"
    "       tovrin -autopatch DATADIR OLDFILE NEWFILE\n"
    "         bring OLDFILE up to date from NEWFILE: add new keys, overwrite changed\n"
    "       tovrin --help | -h | --version\n"
    "         print this help, or the version\n"
    "\n"
    "Database names are looked up in the current folder and its .zq packs, then in\n"
    "DATADIR and its packs; -diff looks only in the current folder and its packs.\n"
    "A script writes databases only in the current folder, copying one found\n"
    "elsewhere here first; -autopatch writes OLDFILE where it lies, or copies it\n"
    "here from DATADIR.\n"
    "\n"
    "A failed run writes its message to standard error (in a box that waits for\n"
    "Enter when run at a terminal) and to the file tovrin.error in the current\n"
    "folder, and ends with exit status 1.\n"
    "\n"
    "See man tovrin for the script format and every message.\n";

void runJob(int argc, char** argv) {
  if (argc < 2) fatalError("You must specify a command or input file");
  gFileSystem->initPath(".", kPackExtension);

  const std::string command = argv[1];
  if (command == "-diff") {
    if (argc != 4) fatalError("You must specify two files to -diff");
    CDatabaseDiff diff(argv[2], argv[3]);
    diff.run();
    diff.printReport();
    return;
  }
  if (command == "-autopatch") {
    if (argc != 5) {
      fatalError(
          "You must specify a source data directory and two files to -autopatch "
          "(dir oldFile newFile)");
    }
    gFileSystem->initPath(argv[2], kPackExtension);
    // The user named this target: it is written where it lies, as sqlite3
    // would write it. Names in scripts never lead out of the current folder.
    gFileSystem->primaryFolder().allowWriting(argv[3]);
    CAutoPatch autoPatch(argv[3], argv[4]);
    autoPatch.run();
    return;
  }
  if (argc < 3) fatalError("You must specify a source data directory");
  gFileSystem->initPath(argv[2], kPackExtension);
  CScriptProcessor processor;
  processor.run(command);
}

// Runs `action`; the message of the fatal error that ended it, if one did.
// Fatal errors are texts; anything else that escapes (a failed allocation, a
// stream that throws) ends the run the same way, with the error file and exit
// status 1, rather than abort without a word.
template <class TAction>
std::optional<std::string> failureOf(TAction action) {
  try {
    action();
    return std::nullopt;
  } catch (const std::string& text) {
    return text;
  } catch (const std::exception& error) {
    return std::string("Unexpected error: ") + error.what();
  } catch (...) {
    return std::string("Unexpected error");
  }
}

// Answers `--help`, `-h` and `--version` when one is the only argument: in
// any other place they are script names, as every word there is. Returns the
// exit status, or nothing when `argv` asks for a job.
std::optional<int> answerOption(int argc, char** argv) {
  if (argc != 2) return std::nullopt;
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    printOutput("%s", kUsage);
  } else if (std::strcmp(argv[1], "--version") == 0) {
    printOutput("tovrin %s\n", TOVRIN_VERSION);
  } else {
    return std::nullopt;
  }
  // The error file is a failed job's; a lost answer shows in the status alone.
  return failureOf(checkOutput) ? 1 : 0;
}

}  // namespace

int tovrinMain(int argc, char** argv) {
  prepareProcess();
  if (const std::optional<int> status = answerOption(argc, argv)) return *status;
  removeErrorReport();
  std::optional<std::string> message = failureOf([&] { runJob(argc, argv); });
  // Output is checked only now that the job's objects are gone: its databases
  // are closed and hold what it left in them, whatever became of its report.
  // A job that failed keeps its own message.
  const std::optional<std::string> outputFailure = failureOf(checkOutput);
  if (!message) message = outputFailure;
  if (!message) return 0;
  reportFatalError(message->substr(0, kMaxMessageLength));
  return 1;
}
