#ifndef TESTS_TOOL_JSON_VALUE_H_
#define TESTS_TOOL_JSON_VALUE_H_

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A small strict reader for the JSON the tool writes (objects, strings,
// numbers, null). It rejects what a conforming parser rejects in that output:
// bare NaN, trailing commas, unescaped control characters, trailing text.
namespace daqevstat::testing {

struct JsonValue {
  enum class Kind { null, number, string, object };
  Kind kind = Kind::null;
  double number = 0.0;
  std::string text;  // a string's content, or a number as written
  std::vector<std::pair<std::string, JsonValue>> members;

  bool has(const std::string& name) const {
    for (const auto& member : members) {
      if (member.first == name) return true;
    }
    return false;
  }
  const JsonValue& operator[](const std::string& name) const {
    for (const auto& member : members) {
      if (member.first == name) return member.second;
    }
    throw std::out_of_range("no member " + name);
  }
  // Whether a number was written as an integer (no fraction or exponent).
  bool is_integer() const {
    return kind == Kind::number && text.find_first_of(".eE") == std::string::npos;
  }
};

class JsonParser {
 public:
  explicit JsonParser(std::string_view text) : text_(text) {}

  JsonValue parse() {
    JsonValue value = parse_value();
    skip_blanks();
    if (pos_ != text_.size()) fail("trailing text");
    return value;
  }

 private:
  [[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("invalid JSON at " + std::to_string(pos_) + ": " + what);
  }
  void skip_blanks() {
    while (pos_ < text_.size() &&
           std::string_view(" \t\r\n").find(text_[pos_]) != std::string_view::npos) {
      ++pos_;
    }
  }
  bool consume(std::string_view token) {
    skip_blanks();
    if (text_.substr(pos_, token.size()) != token) return false;
    pos_ += token.size();
    return true;
  }
  void expect(std::string_view token) {
    if (!consume(token)) fail("expected " + std::string(token));
  }

  JsonValue parse_value() {
    skip_blanks();
    JsonValue value;
    if (consume("null")) return value;
    if (pos_ >= text_.size()) fail("unexpected end");
    const char c = text_[pos_];
    if (c == '"') {
      value.kind = JsonValue::Kind::string;
      value.text = parse_string();
    } else if (c == '{') {
      value.kind = JsonValue::Kind::object;
      expect("{");
      if (consume("}")) return value;
      do {
        skip_blanks();
        if (pos_ >= text_.size() || text_[pos_] != '"') fail("expected a member name");
        std::string name = parse_string();
        expect(":");
        value.members.emplace_back(std::move(name), parse_value());
      } while (consume(","));
      expect("}");
    } else {
      value.kind = JsonValue::Kind::number;
      const std::size_t start = pos_;
      if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
      const std::size_t digits = pos_;
      while (pos_ < text_.size() &&
             std::string_view("0123456789.eE+-").find(text_[pos_]) != std::string_view::npos) {
        ++pos_;
      }
      if (pos_ == digits || text_[digits] < '0' || text_[digits] > '9') fail("bad value");
      value.text = std::string(text_.substr(start, pos_ - start));
      char* end = nullptr;
      value.number = std::strtod(value.text.c_str(), &end);
      if (*end != '\0') fail("bad number " + value.text);
    }
    return value;
  }

  std::string parse_string() {
    std::string out;
    ++pos_;  // opening quote
    while (pos_ < text_.size() && text_[pos_] != '"') {
      const char c = text_[pos_++];
      if (static_cast<unsigned char>(c) < 0x20) fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) fail("unterminated escape");
      const char e = text_[pos_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          if (pos_ + 4 > text_.size()) fail("short \\u escape");
          const long code = std::strtol(std::string(text_.substr(pos_, 4)).c_str(), nullptr, 16);
          pos_ += 4;
          if (code >= 0x80) fail("only ASCII \\u escapes are expected here");
          out += static_cast<char>(code);
          break;
        }
        default:
          fail("bad escape");
      }
    }
    if (pos_ >= text_.size()) fail("unterminated string");
    ++pos_;
    return out;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

inline JsonValue parse_json(std::string_view text) { return JsonParser(text).parse(); }

}  // namespace daqevstat::testing

#endif  // TESTS_TOOL_JSON_VALUE_H_
