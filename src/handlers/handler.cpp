#include "handlers/handler.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "common/fatal_error.h"

const char* CHandler::getName() const { return "CHandler"; }

void CHandler::reset() {}

void CHandler::getData(int& length, const void*& data) const {
  length = 0;
  data = nullptr;
}

void CHandler::addField(const std::string& token, const CFieldSetter& setter) {
  for (auto& [name, entered] : fields_) {
    if (name == token) {
      entered = setter;
      return;
    }
  }
  fields_.emplace_back(token, setter);
}

void CHandler::processToken(const std::string& token, const std::string& value) {
  // A handful of fields: a scan that compares lengths first beats a tree.
  for (const auto& [name, setter] : fields_) {
    if (name != token) continue;
    if (setter.target && setter.parse) (setter.target->*setter.parse)(value);
    return;
  }
  fatalError("Handler '%s' does not know how to process token '%s'", getName(), token.c_str());
}

void CHandler::storeRecord(rk::CDatabase& db, const std::string& key) {
  int length = 0;
  const void* data = nullptr;
  getData(length, data);
  if (length == 0 || !data) {
    fatalError("Handler '%s' data function returned invalid info: key %s, datLen %d, pData %p",
               getName(), key.c_str(), length, data);
  }
  if (!db.store(key.c_str(), data, length)) {
    fatalError("Handler '%s' could not store the key '%s'", getName(), key.c_str());
  }
}

void CHandler::parseText(const std::string& value, char* field, size_t width) {
  const size_t length = std::min(width, value.size());
  std::memcpy(field, value.data(), length);
  std::memset(field + length, 0, width - length);
}

float CHandler::parseFloat(const std::string& value) {
  // The field takes exactly what the "%f" scan gives. from_chars reads the
  // plain decimal forms, nearly all that scripts hold, to the same correctly
  // rounded value several times faster; the scan itself reads the rest
  // (hexadecimal, infinities, NaN, text that is no number). strtof would not
  // do: it keeps the payload of "nan(123)", which the scan drops, and
  // converts a prefix of text that the scan refuses as a whole ("-0x").
  const char* first = value.data();
  const char* last = first + value.size();
  while (first < last && (*first == ' ' || (*first >= '\t' && *first <= '\r'))) ++first;
  const char* digits = first < last && (*first == '-' || *first == '+') ? first + 1 : first;
  const bool plain = digits < last && std::isdigit(static_cast<unsigned char>(*digits)) &&
                     !(last - digits > 1 && (digits[1] == 'x' || digits[1] == 'X'));
  // from_chars takes a minus sign but no plus sign.
  if (first < last && *first == '+') first = digits;
  float number = 0;
  if (plain && std::from_chars(first, last, number).ec == std::errc()) return number;
  number = 0;  // what a scan that converts nothing leaves
  (void)std::sscanf(value.c_str(), "%f", &number);
  return number;
}
