#include "yaml_subset.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelvan {
namespace {

using nlohmann::json;

struct Line {
  int indent;
  std::string text;  // comment stripped, no trailing white space
};

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Cuts a comment: '#' at the start or after white space, outside quotes.
std::string stripComment(std::string_view s) {
  char quote = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (quote) {
      if (quote == '"' && c == '\\') {
        ++i;
      } else if (c == quote) {
        quote = 0;
      }
    } else if (c == '"' || c == '\'') {
      // Quotes only open a scalar at its start, not inside plain text (it's).
      if (i == 0 || isSpace(s[i - 1]) || s[i - 1] == ':' || s[i - 1] == '-' || s[i - 1] == '[' ||
          s[i - 1] == '{' || s[i - 1] == ',') {
        quote = c;
      }
    } else if (c == '#' && (i == 0 || isSpace(s[i - 1]))) {
      return std::string(s.substr(0, i));
    }
  }
  return std::string(s);
}

json plainScalar(std::string_view s) {
  s = trim(s);
  if (s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL") return nullptr;
  if (s == "true" || s == "True" || s == "TRUE") return true;
  if (s == "false" || s == "False" || s == "FALSE") return false;
  size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
  bool digits = i < s.size();
  for (size_t k = i; k < s.size(); ++k) digits = digits && s[k] >= '0' && s[k] <= '9';
  if (digits) {
    std::string t(s);
    errno = 0;
    long long v = std::strtoll(t.c_str(), nullptr, 10);
    if (errno == 0) return v;
  }
  return std::string(s);
}

struct FlowError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads a quoted scalar starting at s[i] (a quote); leaves i after it.
std::string quoted(std::string_view s, size_t& i) {
  char q = s[i++];
  std::string out;
  while (i < s.size()) {
    char c = s[i++];
    if (q == '\'' && c == '\'') {
      if (i < s.size() && s[i] == '\'') {
        out += '\'';
        ++i;
        continue;
      }
      return out;
    }
    if (q == '"' && c == '"') return out;
    if (q == '"' && c == '\\' && i < s.size()) {
      char e = s[i++];
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 'r':
          out += '\r';
          break;
        case '0':
          out += '\0';
          break;
        case 'u': {
          if (i + 4 > s.size()) throw FlowError("bad escape");
          unsigned cp =
              static_cast<unsigned>(std::strtoul(std::string(s.substr(i, 4)).c_str(), nullptr, 16));
          i += 4;
          if (cp < 0x80) {
            out += static_cast<char>(cp);
          } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
          }
          break;
        }
        default:
          out += e;
          break;
      }
      continue;
    }
    out += c;
  }
  throw FlowError("unterminated quote");
}

void skipSpaces(std::string_view s, size_t& i) {
  while (i < s.size() && isSpace(s[i])) ++i;
}

json flowNode(std::string_view s, size_t& i, int depth);

// A plain scalar inside a flow collection ends at , ] } (and : for keys).
json flowScalar(std::string_view s, size_t& i, bool key) {
  skipSpaces(s, i);
  if (i < s.size() && (s[i] == '"' || s[i] == '\'')) return quoted(s, i);
  size_t start = i;
  while (i < s.size() && s[i] != ',' && s[i] != ']' && s[i] != '}') {
    if (key && s[i] == ':' && (i + 1 == s.size() || isSpace(s[i + 1]) || s[i + 1] == ',')) break;
    ++i;
  }
  return plainScalar(s.substr(start, i - start));
}

json flowNode(std::string_view s, size_t& i, int depth) {
  if (depth > 64) throw FlowError("too deep");
  skipSpaces(s, i);
  if (i >= s.size()) throw FlowError("unexpected end");
  if (s[i] == '[') {
    ++i;
    json arr = json::array();
    for (;;) {
      skipSpaces(s, i);
      if (i >= s.size()) throw FlowError("unterminated [");
      if (s[i] == ']') {
        ++i;
        return arr;
      }
      arr.push_back(flowNode(s, i, depth + 1));
      skipSpaces(s, i);
      if (i < s.size() && s[i] == ',') {
        ++i;
      } else if (i < s.size() && s[i] != ']') {
        throw FlowError("expected , or ]");
      }
    }
  }
  if (s[i] == '{') {
    ++i;
    json obj = json::object();
    for (;;) {
      skipSpaces(s, i);
      if (i >= s.size()) throw FlowError("unterminated {");
      if (s[i] == '}') {
        ++i;
        return obj;
      }
      json key = flowScalar(s, i, true);
      skipSpaces(s, i);
      json value = nullptr;
      if (i < s.size() && s[i] == ':') {
        ++i;
        skipSpaces(s, i);
        if (i < s.size() && s[i] != ',' && s[i] != '}') value = flowNode(s, i, depth + 1);
      }
      obj[key.is_string() ? key.get<std::string>() : key.dump()] = std::move(value);
      skipSpaces(s, i);
      if (i < s.size() && s[i] == ',') {
        ++i;
      } else if (i < s.size() && s[i] != '}') {
        throw FlowError("expected , or }");
      }
    }
  }
  return flowScalar(s, i, false);
}

// A value written after "key:" or "- " on one line.
json inlineValue(std::string_view v) {
  v = trim(v);
  if (v.empty()) return nullptr;
  if (v[0] == '[' || v[0] == '{' || v[0] == '"' || v[0] == '\'') {
    try {
      size_t i = 0;
      json node = flowNode(v, i, 0);
      skipSpaces(v, i);
      if (i == v.size()) return node;
    } catch (const FlowError&) {
    }
    return std::string(v);  // not understood: keep the text
  }
  return plainScalar(v);
}

// Finds the ": " (or final ':') that separates a key from its value, outside
// quotes; npos when the line is no mapping entry.
size_t keySeparator(std::string_view s) {
  size_t i = 0;
  if (!s.empty() && (s[0] == '"' || s[0] == '\'')) {
    try {
      quoted(s, i);
    } catch (const FlowError&) {
      return std::string_view::npos;
    }
  }
  if (!s.empty() && (s[0] == '[' || s[0] == '{')) return std::string_view::npos;
  for (; i < s.size(); ++i) {
    if (s[i] == ':' && (i + 1 == s.size() || isSpace(s[i + 1]))) return i;
  }
  return std::string_view::npos;
}

bool isSequenceItem(std::string_view s) {
  return !s.empty() && s[0] == '-' && (s.size() == 1 || s[1] == ' ');
}

class Parser {
 public:
  explicit Parser(std::string_view text) {
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      std::string_view raw = text.substr(start, end - start);
      start = end + 1;
      raws_.emplace_back(raw);
      int indent = 0;
      while (static_cast<size_t>(indent) < raw.size() &&
             (raw[indent] == ' ' || raw[indent] == '\t')) {
        ++indent;
      }
      std::string body = stripComment(raw.substr(static_cast<size_t>(indent)));
      std::string_view t = trim(body);
      if (t.empty() || t == "---" || t == "...") continue;
      lines_.push_back({indent, std::string(t)});
      rawIndex_.push_back(raws_.size() - 1);
      if (end == text.size()) break;
    }
  }

  json document() {
    if (lines_.empty()) return nullptr;
    json doc = node(lines_[0].indent);
    return doc.is_object() ? doc : json(nullptr);
  }

 private:
  json node(int indent) {
    if (pos_ >= lines_.size() || lines_[pos_].indent < indent) return nullptr;
    const Line& l = lines_[pos_];
    if (isSequenceItem(l.text)) return sequence(l.indent);
    if (keySeparator(l.text) != std::string_view::npos) return mapping(l.indent);
    ++pos_;
    return inlineValue(l.text);
  }

  json sequence(int indent) {
    json arr = json::array();
    while (pos_ < lines_.size() && lines_[pos_].indent >= indent) {
      Line& l = lines_[pos_];
      if (l.indent > indent || !isSequenceItem(l.text)) {
        if (l.indent == indent) break;  // a mapping key at the sequence's level ends it
        ++pos_;                         // stray deeper line: skip
        continue;
      }
      std::string_view rest(l.text);
      rest.remove_prefix(1);
      int skipped = 1;
      while (!rest.empty() && isSpace(rest.front())) {
        rest.remove_prefix(1);
        ++skipped;
      }
      if (!rest.empty() && rest.front() == '&') {  // anchor: drop its name
        size_t sp = rest.find(' ');
        size_t cut = sp == std::string_view::npos ? rest.size() : sp;
        while (cut < rest.size() && isSpace(rest[cut])) ++cut;
        rest.remove_prefix(cut);
        skipped += static_cast<int>(cut);
      }
      if (rest.empty()) {
        ++pos_;
        if (pos_ < lines_.size() && lines_[pos_].indent > indent) {
          arr.push_back(node(lines_[pos_].indent));
        } else {
          arr.push_back(nullptr);
        }
      } else if (isSequenceItem(rest) || keySeparator(rest) != std::string_view::npos) {
        // "- key: value" opens a mapping (or nested sequence) whose column is
        // that of the key; rewrite the line in place and parse from there.
        l = Line{indent + skipped, std::string(rest)};
        arr.push_back(node(l.indent));
      } else {
        ++pos_;
        arr.push_back(inlineValue(rest));
      }
    }
    return arr;
  }

  json mapping(int indent) {
    json obj = json::object();
    while (pos_ < lines_.size() && lines_[pos_].indent >= indent) {
      const Line& l = lines_[pos_];
      if (l.indent > indent) {
        ++pos_;
        continue;
      }
      if (isSequenceItem(l.text)) break;
      size_t sep = keySeparator(l.text);
      if (sep == std::string_view::npos) {
        ++pos_;
        continue;
      }
      std::string_view keyText = trim(std::string_view(l.text).substr(0, sep));
      std::string key;
      if (!keyText.empty() && (keyText[0] == '"' || keyText[0] == '\'')) {
        size_t i = 0;
        key = quoted(keyText, i);
      } else {
        key = std::string(keyText);
      }
      std::string_view value = trim(std::string_view(l.text).substr(sep + 1));
      size_t linePos = pos_;
      ++pos_;
      if (!value.empty() && value[0] == '&') {  // anchor: drop its name
        size_t sp = value.find(' ');
        value = sp == std::string_view::npos ? std::string_view() : trim(value.substr(sp));
      }
      if (value.empty()) {
        if (pos_ < lines_.size() && lines_[pos_].indent > indent) {
          obj[key] = node(lines_[pos_].indent);
        } else if (pos_ < lines_.size() && lines_[pos_].indent == indent &&
                   isSequenceItem(lines_[pos_].text)) {
          obj[key] = sequence(indent);
        } else {
          obj[key] = nullptr;
        }
      } else if (value[0] == '|' || value[0] == '>') {
        obj[key] = blockScalar(linePos, indent, value[0] == '|');
      } else {
        obj[key] = inlineValue(value);
      }
    }
    return obj;
  }

  // Literal or folded text: the raw lines indented deeper than the key.
  std::string blockScalar(size_t linePos, int indent, bool literal) {
    std::string out;
    size_t raw = rawIndex_[linePos] + 1;
    int blockIndent = -1;
    for (; raw < raws_.size(); ++raw) {
      std::string_view r = raws_[raw];
      int ind = 0;
      while (static_cast<size_t>(ind) < r.size() && r[ind] == ' ') ++ind;
      bool blank = trim(r).empty();
      if (!blank && ind <= indent) break;
      if (!blank && blockIndent < 0) blockIndent = ind;
      std::string_view content =
          blank ? std::string_view() : r.substr(static_cast<size_t>(std::min(ind, blockIndent)));
      if (!out.empty()) out += literal ? '\n' : ' ';
      out += std::string(trim(content).empty() ? std::string_view() : content);
    }
    while (pos_ < lines_.size() && rawIndex_[pos_] < raw) ++pos_;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    if (literal) out += '\n';
    return out;
  }

  std::vector<std::string_view> raws_;
  std::vector<Line> lines_;
  std::vector<size_t> rawIndex_;  // lines_[i] came from raws_[rawIndex_[i]]
  size_t pos_ = 0;
};

}  // namespace

json parseYamlSubset(std::string_view text) {
  try {
    return Parser(text).document();
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace zelvan
