#include "script/script_processor.h"

#include <fstream>
#include <ios>
#include <string_view>

#include "common/fatal_error.h"
#include "common/output.h"
#include "handlers/handler_res.h"
#include "script/line_reader.h"
#include "support/primary_copy.h"

CScriptProcessor::CScriptProcessor() {
  registerHandler("sResDef", std::make_unique<CHandlerRes>());
}

void CScriptProcessor::registerHandler(const std::string& name, std::unique_ptr<CHandler> handler) {
  handlers_[name] = std::move(handler);
}

CHandler* CScriptProcessor::findHandler(const std::string& name) const {
  const auto entry = handlers_.find(name);
  return entry == handlers_.end() ? nullptr : entry->second.get();
}

bool CScriptProcessor::readLine(CLineReader& script, std::string& token, std::string& value) {
  ++lineNumber_;
  const std::string_view line = script.readLine();
  if (!line.empty() && line[0] == '#') return true;
  return splitScriptLine(line, token, value);
}

void CScriptProcessor::run(const std::string& fileName) {
  // Binary, so that lines are cut the same way on every platform; the
  // reader takes CR LF as a line end itself.
  std::ifstream file(fileName, std::ios::binary);
  if (!file.is_open()) fatalError("Could not open file %s", fileName.c_str());
  // A read error (the name of a folder, a failing disk) throws, so that it
  // cannot pass for the end of the script.
  file.exceptions(std::ios::badbit);
  CLineReader script(file);

  using namespace std::string_view_literals;  // compared by length first
  lineNumber_ = 0;
  std::string token;
  std::string value;
  std::string key;
  std::string dbName;
  rk::CDatabase db;
  CHandler* handler = nullptr;
  // A script that turns out unreadable (a folder, an I/O error) is reported
  // as one that cannot be opened; the reader's streams say so by throwing.
  try {
    while (!script.eof()) {
      // A comment line leaves the token alone; clearing it first makes a
      // comment skip like a blank line wherever it stands, instead of
      // repeating the operation before it.
      token.clear();
      (void)readLine(script, token, value);
      if (token.empty()) continue;

      if (token == "db"sv) {
        openDatabase(db, value, dbName);
        dbName = value;
      } else if (token == "struct"sv) {
        handler = findHandler(value);
        if (!handler) {
          fatalError("Line %d: Could not find a handler for struct '%s'", lineNumber_,
                     value.c_str());
        }
      } else if (token == "key"sv) {
        key = value;
      } else if (token == "data"sv) {
        writeRecord(script, token, value, key, db, handler);
      } else if (token == "delete"sv) {
        deleteRecord(token, key, db);
      } else {
        fatalError("Line %d: Invalid operation '%s'", lineNumber_, token.c_str());
      }
    }
  } catch (const std::ios_base::failure&) {
    fatalError("Could not open file %s", fileName.c_str());
  }
  // The destructor would close the database too, but could not say whether
  // what the script stored was kept.
  if (!db.close()) fatalError("The database '%s' could not be saved", dbName.c_str());
}

void CScriptProcessor::openDatabase(rk::CDatabase& db, const std::string& name,
                                    const std::string& previous) {
  printOutput("Open   : %s\n", name.c_str());
  // Opening would commit the previous database too, but could not say which
  // of the two failed.
  if (!db.close()) fatalError("The database '%s' could not be saved", previous.c_str());
  if (!ensurePrimaryCopy(name) || !db.open(name, rk::CDatabase::eOpenWrite)) {
    fatalError("Line %d: the database '%s' could not be opened", lineNumber_, name.c_str());
  }
}

void CScriptProcessor::requireKeyAndDatabase(const std::string& token, const std::string& key,
                                             const rk::CDatabase& db) const {
  if (key.empty()) {
    fatalError("Line %d: '%s' op requested, but no key has been defined", lineNumber_,
               token.c_str());
  }
  if (!db.isOpen()) {
    fatalError("Line %d: '%s' op requested, but no database has been opened", lineNumber_,
               token.c_str());
  }
}

void CScriptProcessor::writeRecord(CLineReader& script, std::string& token, std::string& value,
                                   const std::string& key, rk::CDatabase& db, CHandler* handler) {
  requireKeyAndDatabase(token, key, db);
  if (!handler) {
    fatalError("Line %d: '%s' op requested, but no struct has been selected", lineNumber_,
               token.c_str());
  }
  printOutput("Write  : %s\n", key.c_str());
  handler->reset();
  // The data block: the lines that begin with a tab.
  while (script.peek() == '\t') {
    // A tab line without a value ends the block and is used up.
    if (!readLine(script, token, value)) break;
    handler->processToken(token, value);
  }
  try {
    handler->storeRecord(db, key);
  } catch (const std::string& message) {
    fatalError("Line %d: %s", lineNumber_, message.c_str());
  }
}

void CScriptProcessor::deleteRecord(const std::string& token, const std::string& key,
                                    rk::CDatabase& db) {
  printOutput("Delete : %s\n", key.c_str());
  requireKeyAndDatabase(token, key, db);
  if (db.exists(key.c_str()) && !db.remove(key.c_str())) {
    fatalError("Line %d: '%s' op could not delete the key '%s'", lineNumber_, token.c_str(),
               key.c_str());
  }
}
