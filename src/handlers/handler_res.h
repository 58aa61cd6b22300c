#pragma once

#include <cstddef>
#include <string>

#include "handlers/handler.h"

// A resource definition: the 296-byte record that patch scripts store as a
// database value, byte for byte. Texts are stored as given, zero-padded, with
// no terminating zero when they fill their field. The floats are IEEE 754
// single precision in little-endian byte order on every host, which is why
// they are kept as bytes.
struct sResDef {
  char templateName[30];
  char fileName[255];
  unsigned char reserved[3];  // always zero
  unsigned char fArg1[4];
  unsigned char fArg2[4];
};

static_assert(sizeof(sResDef) == 296, "sResDef is a stored format");
static_assert(offsetof(sResDef, templateName) == 0, "sResDef is a stored format");
static_assert(offsetof(sResDef, fileName) == 30, "sResDef is a stored format");
static_assert(offsetof(sResDef, reserved) == 285, "sResDef is a stored format");
static_assert(offsetof(sResDef, fArg1) == 288, "sResDef is a stored format");
static_assert(offsetof(sResDef, fArg2) == 292, "sResDef is a stored format");

// The handler of "sResDef" records, with the fields "templateName",
// "fileName", "fArg1" and "fArg2".
class CHandlerRes : public CHandler {
 public:
  CHandlerRes();

  const char* getName() const override;
  // Zeroes all 296 bytes.
  void reset() override;
  // The record as it stands. Both text fields must have been given a
  // non-empty value: an empty one is a fatal error (templateName is checked
  // first). The floats are not checked.
  void getData(int& length, const void*& data) const override;

 private:
  void parseTemplateName(const std::string& value);
  void parseFileName(const std::string& value);
  void parseFArg1(const std::string& value);
  void parseFArg2(const std::string& value);

  sResDef record_{};
};
