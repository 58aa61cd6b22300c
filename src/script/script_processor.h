#pragma once

#include <map>
#include <memory>
#include <string>

#include "handlers/handler.h"
#include "script/line_reader.h"
#include "vozidiri/database.h"

// Carries out a patch script: a text file of operation lines, each a token, a
// colon and a value.
//
//   db: <name>       opens the database for writing, first copying it from
//                    the source data folder into the current one if needed
//   struct: <name>   selects the handler registered under the name
//   key: <key>       sets the key of the following data and delete lines
//   data             builds a record from the tab-indented lines after it
//                    ("<tab>field : value") and stores it under the key
//   delete           removes the key, if the database holds it
//
// Lines beginning with '#' are comments. Progress goes to standard output;
// every failure is a fatal error, mostly "Line %d: ..." naming the line.
class CScriptProcessor {
 public:
  // Registers a CHandlerRes under "sResDef".
  CScriptProcessor();
  CScriptProcessor(const CScriptProcessor&) = delete;
  CScriptProcessor& operator=(const CScriptProcessor&) = delete;

  // Runs the script named `fileName`, relative to the current folder, from
  // its first line to its last. Records stored before a fatal error stay
  // stored.
  void run(const std::string& fileName);

  // Reads the next line of `script` and counts it in the line number. A comment
  // line answers true and leaves `token` and `value` as they were; any other
  // line is split as splitScriptLine() does, with its result.
  bool readLine(CLineReader& script, std::string& token, std::string& value);

  // Enters `handler` under the struct name `name`, destroying a handler
  // registered under it before.
  void registerHandler(const std::string& name, std::unique_ptr<CHandler> handler);
  // The handler registered under exactly `name`, or null. It belongs to the
  // processor.
  CHandler* findHandler(const std::string& name) const;

 private:
  // The db operation; `previous` names the database the run had open.
  void openDatabase(rk::CDatabase& db, const std::string& name, const std::string& previous);
  // The tests that data and delete operations share, in this order.
  void requireKeyAndDatabase(const std::string& token, const std::string& key,
                             const rk::CDatabase& db) const;
  // The data operation, with its data block. `token` and `value` are the
  // run's own, which the block's lines overwrite.
  void writeRecord(CLineReader& script, std::string& token, std::string& value,
                   const std::string& key, rk::CDatabase& db, CHandler* handler);
  void deleteRecord(const std::string& token, const std::string& key, rk::CDatabase& db);

  std::map<std::string, std::unique_ptr<CHandler>> handlers_;
  // The lines read since the current run began; a line longer than
  // kMaxScriptLineLength counts once per piece.
  int lineNumber_ = 0;
};
