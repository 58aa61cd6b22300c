#include "app/tovrin_main.h"

#include <string>

#include "app/error_report.h"
#include "app/fatal_error.h"
#include "app/file_system.h"
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
  removeErrorReport();
  try {
    runJob(argc, argv);
  } catch (const std::string& message) {
    reportFatalError(message);
    return 1;
  }
  return 0;
}
