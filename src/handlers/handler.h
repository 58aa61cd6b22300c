#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "vozidiri/database.h"

class CHandler;

// One field of a handler's record: the parser that converts a script value
// and writes it into the field. An entry that lacks either member is ignored.
struct CFieldSetter {
  using ParseFunction = void (CHandler::*)(const std::string& value);

  // Binds a parser of a concrete handler. `target` is not owned and must
  // outlive the setter; for every field it is the handler that owns the table.
  template <class THandler>
  static CFieldSetter bind(THandler* target, void (THandler::*parse)(const std::string&)) {
    return CFieldSetter{target, static_cast<ParseFunction>(parse)};
  }

  CHandler* target = nullptr;
  ParseFunction parse = nullptr;
};

// Base of the record handlers. A handler turns the data lines of one data
// block (token and value texts) into one fixed-layout record and stores it
// in a database under a key. The script interpreter drives it through each
// block in a fixed order: reset(), processToken() per data line, then
// storeRecord(). Concrete handlers own the record, enter their fields with
// addField() in their constructor and hand the record out through getData().
//
// Every failure is a fatal error; the messages name the handler by getName().
class CHandler {
 public:
  CHandler() = default;
  // The field table points back at the handler, so a copy would write into
  // the original's record.
  CHandler(const CHandler&) = delete;
  CHandler& operator=(const CHandler&) = delete;
  virtual ~CHandler() = default;

  // The handler's class name.
  virtual const char* getName() const;
  // Brings the record to its empty state before a data block.
  virtual void reset();
  // Hands out the record to store: `length` bytes at `data`, valid until the
  // next call on the handler. This base has no record: length 0, data null.
  virtual void getData(int& length, const void*& data) const;

  // Enters `setter` under `token`, replacing a setter entered before under
  // the same name. Names match byte for byte, case-sensitively.
  void addField(const std::string& token, const CFieldSetter& setter);
  // Hands `value` to the parser of the field named `token`; a token that is
  // not in the table is a fatal error.
  void processToken(const std::string& token, const std::string& value);
  // Stores the record that getData() hands out under `key` in `db`, which
  // must be open for writing. An empty record or a refused store is a fatal
  // error, and nothing is stored then.
  void storeRecord(rk::CDatabase& db, const std::string& key);

 protected:
  // The two kinds of field parser.
  //
  // Copies at most `width` bytes of `value` into `field` and fills the rest
  // with zero bytes; a value of `width` bytes or more is cut and leaves no
  // terminating zero.
  static void parseText(const std::string& value, char* field, size_t width);
  // The number at the start of `value` after any white space, as the "%f"
  // scan reads it; the rest is ignored. Text that does not begin with a
  // number gives 0.
  static float parseFloat(const std::string& value);

 private:
  std::vector<std::pair<std::string, CFieldSetter>> fields_;  // in the order entered
};
