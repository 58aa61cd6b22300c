#include "app/tovrin_main.h"

#include <exception>
#include <string>

#include "app/error_report.h"
#include "app/fatal_error.h"
#include "app/file_system.h"
#include "app/platform.h"
#include "autopatch/auto_patch.h"
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

}  // namespace

int tovrinMain(int argc, char** argv) {
  prepareProcess();
  removeErrorReport();
  // Fatal errors are texts; anything else that escapes a job (a failed
  // allocation, a stream that throws) ends the run the same way, with the
  // error file and exit status 1, rather than abort without a word.
  std::string message;
  try {
    runJob(argc, argv);
    return 0;
  } catch (const std::string& text) {
    message = text;
  } catch (const std::exception& error) {
    message = std::string("Unexpected error: ") + error.what();
  } catch (...) {
    message = "Unexpected error";
  }
  reportFatalError(message.substr(0, 1023));
  return 1;
}
