#include "tool/shell/value_text.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

namespace daqevstat::tool {
namespace {

bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// Position after an optional sign.
std::size_t after_sign(const std::string& text) {
  return !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
}

// Position after a run of digits starting at `pos`.
std::size_t after_digits(const std::string& text, std::size_t pos) {
  while (pos < text.size() && is_digit(text[pos])) ++pos;
  return pos;
}

bool is_integer_form(const std::string& text) {
  const std::size_t start = after_sign(text);
  return start < text.size() && after_digits(text, start) == text.size();
}

// [sign] (digits [. [digits]] | . digits) [(e|E) [sign] digits], with a
// point or an exponent (without either it is an integer).
bool is_decimal_form(const std::string& text) {
  std::size_t pos = after_sign(text);
  const std::size_t int_end = after_digits(text, pos);
  bool digits = int_end > pos;
  bool point_or_exponent = false;
  pos = int_end;
  if (pos < text.size() && text[pos] == '.') {
    point_or_exponent = true;
    const std::size_t frac_end = after_digits(text, pos + 1);
    digits = digits || frac_end > pos + 1;
    pos = frac_end;
  }
  if (!digits) return false;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    point_or_exponent = true;
    std::size_t exp = pos + 1;
    if (exp < text.size() && (text[exp] == '+' || text[exp] == '-')) ++exp;
    const std::size_t exp_end = after_digits(text, exp);
    if (exp_end == exp) return false;
    pos = exp_end;
  }
  return point_or_exponent && pos == text.size();
}

bool is_special_real(const std::string& text) {
  std::string word = text.substr(after_sign(text));
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return word == "nan" || word == "inf" || word == "infinity";
}

bool is_real_form(const std::string& text) {
  return is_decimal_form(text) || is_special_real(text);
}

}  // namespace

EqData value_from_text(const std::string& text) {
  EqData value;
  if (is_integer_form(text)) {
    errno = 0;
    const long long number = std::strtoll(text.c_str(), nullptr, 10);
    if (errno != ERANGE) {
      if (number >= INT_MIN && number <= INT_MAX) {
        value.set(static_cast<int>(number));
      } else {
        value.set(number);
      }
      return value;
    }
    // Beyond 64 bits: still a number, so it goes as one.
    value.set(std::strtod(text.c_str(), nullptr));
    return value;
  }
  if (is_real_form(text)) {
    value.set(std::strtod(text.c_str(), nullptr));
    return value;
  }
  if (text.size() > 1 && (text.back() == 'f' || text.back() == 'F') &&
      (is_integer_form(text.substr(0, text.size() - 1)) ||
       is_real_form(text.substr(0, text.size() - 1)))) {
    // strtof rounds as a float itself, overflow to infinity included, which
    // a cast from double would not guarantee.
    value.set(std::strtof(text.c_str(), nullptr));
    return value;
  }
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    value.set(text.substr(1, text.size() - 2));
    return value;
  }
  value.set(text);
  return value;
}

}  // namespace daqevstat::tool
