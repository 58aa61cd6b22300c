#include "handlers/handler_res.h"

#include <cstdint>
#include <cstring>
#include <limits>

#include "common/fatal_error.h"

namespace {

static_assert(std::numeric_limits<float>::is_iec559 && sizeof(float) == 4,
              "sResDef stores IEEE 754 single-precision floats");

void storeLittleEndian(float number, unsigned char (&field)[4]) {
  uint32_t bits = 0;
  std::memcpy(&bits, &number, sizeof bits);
  for (unsigned char& byte : field) {
    byte = static_cast<unsigned char>(bits & 0xFF);
    bits >>= 8;
  }
}

}  // namespace

CHandlerRes::CHandlerRes() {
  addField("templateName", CFieldSetter::bind(this, &CHandlerRes::parseTemplateName));
  addField("fileName", CFieldSetter::bind(this, &CHandlerRes::parseFileName));
  addField("fArg1", CFieldSetter::bind(this, &CHandlerRes::parseFArg1));
  addField("fArg2", CFieldSetter::bind(this, &CHandlerRes::parseFArg2));
}

const char* CHandlerRes::getName() const { return "CHandlerRes"; }

void CHandlerRes::reset() { record_ = sResDef{}; }

void CHandlerRes::getData(int& length, const void*& data) const {
  if (record_.templateName[0] == '\0') {
    fatalError("Handler '%s': the templateName field has not been filled in", getName());
  }
  if (record_.fileName[0] == '\0') {
    fatalError("Handler '%s': the fileName field has not been filled in", getName());
  }
  length = sizeof record_;
  data = &record_;
}

void CHandlerRes::parseTemplateName(const std::string& value) {
  parseText(value, record_.templateName, sizeof record_.templateName);
}

void CHandlerRes::parseFileName(const std::string& value) {
  parseText(value, record_.fileName, sizeof record_.fileName);
}

void CHandlerRes::parseFArg1(const std::string& value) {
  storeLittleEndian(parseFloat(value), record_.fArg1);
}

void CHandlerRes::parseFArg2(const std::string& value) {
  storeLittleEndian(parseFloat(value), record_.fArg2);
}
