#include "app/tovrin_main.h"

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

}  // namespace

int tovrinMain(int argc, char** argv) {
  prepareProcess();
  removeErrorReport();
  std::optional<std::string> message = failureOf([&] { runJob(argc, argv); });
  // Output is checked only now that the job's objects are gone: its databases
  // are closed and hold what it left in them, whatever became of its report.
  // A job that failed keeps its own message.
  const std::optional<std::string> outputFailure = failureOf(checkOutput);
  if (!message) message = outputFailure;
  if (!message) return 0;
  reportFatalError(message->substr(0, 1023));
  return 1;
}
