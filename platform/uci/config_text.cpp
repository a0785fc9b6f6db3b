#include "config_text.h"

#include <string>
#include <vector>

namespace uci {
namespace {

// One word of a statement. Most words are a plain run of text or one single-quoted run and are
// seen in place; only words with escapes or several pieces are copied together.
struct Word {
  std::string_view view;
  std::string built;
  bool is_built = false;
  std::size_t line = 0;
  std::size_t byte = 0;

  std::string_view text() const { return is_built ? std::string_view(built) : view; }
};

bool ends_word(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Splits the text into statements (one per line, unless a quote or a backslash carries it over)
// made of words, and keeps track of line and byte for error reports.
class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : text_(text) {}

  // Reads the next statement into words(); false at the end of the text, or on an error (then
  // FAILED is set and ERROR filled).
  bool next_statement(ParseError& error, bool& failed) {
    count_ = 0;
    failed = false;
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c == ' ' || c == '\t' || c == '\r') {
        ++pos_;
      } else if (c == '\n') {
        ++pos_;
        new_line(pos_);
        if (count_ > 0) return true;
      } else if (c == '#') {
        skip_comment();
      } else if (!read_word(next_word(), error)) {
        failed = true;
        return false;
      }
    }
    return count_ > 0;
  }

  std::size_t size() const { return count_; }
  const Word& operator[](std::size_t i) const { return words_[i]; }

 private:
  // The next slot, reusing earlier statements' words and their buffers.
  Word& next_word() {
    if (count_ == words_.size()) words_.emplace_back();
    Word& word = words_[count_++];
    word.built.clear();
    word.is_built = false;
    return word;
  }

  void new_line(std::size_t start) {
    ++line_;
    line_start_ = start;
  }

  std::size_t byte_at(std::size_t pos) const { return pos - line_start_ + 1; }

  void skip_comment() {
    while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
  }

  bool fail(ParseError& error, const char* reason, std::size_t line, std::size_t byte) {
    error.reason = reason;
    error.line = line;
    error.byte = byte;
    return false;
  }

  // A word that is one bare run, or one single-quoted run on one line, taken in place.
  bool read_simple_word(Word& word) {
    std::size_t start = pos_, end = pos_;
    if (text_[start] == '\'') {
      end = text_.find('\'', start + 1);
      if (end == std::string_view::npos) return false;
      std::string_view inside = text_.substr(start + 1, end - start - 1);
      if (inside.find_first_of(std::string_view("\n\0", 2)) != std::string_view::npos) return false;
      ++end;
    } else {
      while (end < text_.size() && !ends_word(text_[end]) && text_[end] != '\'' &&
             text_[end] != '"' && text_[end] != '\\' && text_[end] != '\0')
        ++end;
    }
    if (end < text_.size() && !ends_word(text_[end])) return false;
    word.view = text_[start] == '\'' ? text_.substr(start + 1, end - start - 2)
                                     : text_.substr(start, end - start);
    pos_ = end;
    return true;
  }

  bool read_word(Word& word, ParseError& error) {
    word.line = line_;
    word.byte = byte_at(pos_);
    if (read_simple_word(word)) return true;
    word.is_built = true;
    std::string& out = word.built;
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (ends_word(c)) return true;
      if (c == '\0') return fail(error, "invalid character", line_, byte_at(pos_));
      if (c == '\'' || c == '"') {
        if (!read_quoted(out, c, error)) return false;
        continue;
      }
      if (c == '\\') {
        ++pos_;
        if (pos_ >= text_.size()) return true;
        if (text_[pos_] == '\n') {
          // A backslash at the end of a line continues the statement on the next one.
          ++pos_;
          new_line(pos_);
          return true;
        }
        if (text_[pos_] == '\0') return fail(error, "invalid character", line_, byte_at(pos_));
        out += text_[pos_++];
        continue;
      }
      out += c;
      ++pos_;
    }
    return true;
  }

  bool read_quoted(std::string& out, char quote, ParseError& error) {
    std::size_t open_line = line_, open_byte = byte_at(pos_);
    ++pos_;
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c == quote) {
        ++pos_;
        return true;
      }
      if (c == '\0') return fail(error, "invalid character", line_, byte_at(pos_));
      if (c == '\\' && quote == '"' && pos_ + 1 < text_.size()) {
        c = text_[++pos_];
        if (c == '\0') return fail(error, "invalid character", line_, byte_at(pos_));
        if (c == '\n') {  // escaped line end: the text goes on without it
          ++pos_;
          new_line(pos_);
          continue;
        }
      } else if (c == '\n') {
        new_line(pos_ + 1);
      }
      out += c;
      ++pos_;
    }
    return fail(error, "unterminated quote", open_line, open_byte);
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t line_ = 1;
  std::size_t line_start_ = 0;
  std::vector<Word> words_;
  std::size_t count_ = 0;
};

bool reject(ParseError& error, const char* reason, const Word& at) {
  error.reason = reason;
  error.line = at.line;
  error.byte = at.byte;
  return false;
}

// Applies one "config" statement and makes its section the current one; a second statement for
// an existing name continues that section where it stands.
bool start_section(const Tokenizer& words, Package& package, std::size_t& current,
                   ParseError& error) {
  if (words.size() < 2) return reject(error, "missing section type", words[0]);
  if (words.size() > 3) return reject(error, "too many arguments", words[3]);
  std::string_view type = words[1].text();
  if (!valid_name(type)) return reject(error, "invalid section type", words[1]);
  std::string_view name;
  if (words.size() == 3) {
    name = words[2].text();
    if (!valid_name(name)) return reject(error, "invalid section name", words[2]);
    for (std::size_t i = 0; i < package.sections.size(); ++i) {
      if (package.sections[i].name == name) {
        package.sections[i].type = type;
        current = i;
        return true;
      }
    }
  }
  package.sections.push_back(Section{std::string(type), std::string(name), {}, {}});
  current = package.sections.size() - 1;
  return true;
}

bool add_option(const Tokenizer& words, bool is_list, Package& package, std::size_t current,
                ParseError& error) {
  if (current == npos) return reject(error, "option or list before the first section", words[0]);
  if (words.size() < 2) return reject(error, "missing option name", words[0]);
  if (words.size() < 3) return reject(error, "missing value", words[1]);
  if (words.size() > 3) return reject(error, "too many arguments", words[3]);
  std::string_view name = words[1].text(), value = words[2].text();
  if (!valid_name(name)) return reject(error, "invalid option name", words[1]);
  Section& section = package.sections[current];
  Option* option = section.find_option(name);
  if (!option) {
    section.options.push_back(Option{std::string(name), {std::string(value)}, is_list});
  } else if (!is_list) {
    section.set_option(name, value);
  } else {
    // A list line after a plain option of the same name turns it into a list.
    option->is_list = true;
    option->values.emplace_back(value);
  }
  return true;
}

}  // namespace

bool parse_config(std::string_view text, Package& package, ParseError& error) {
  package.sections.clear();
  Tokenizer words(text);
  bool failed = false;
  std::size_t current = npos;
  while (words.next_statement(error, failed)) {
    std::string_view command = words[0].text();
    bool ok;
    if (command == "config") {
      ok = start_section(words, package, current, error);
    } else if (command == "option" || command == "list") {
      ok = add_option(words, command == "list", package, current, error);
    } else if (command == "package") {
      ok = words.size() == 2  ? true
           : words.size() < 2 ? reject(error, "missing package name", words[0])
                              : reject(error, "too many arguments", words[2]);
    } else {
      ok = reject(error, "invalid command", words[0]);
    }
    if (!ok) return false;
  }
  if (failed) return false;
  for (std::size_t i = 0; i < package.sections.size(); ++i)
    package.sections[i].id = "#" + std::to_string(i);
  return true;
}

void append_quoted(std::string& out, std::string_view value) {
  out += '\'';
  for (char c : value) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  out += '\'';
}

std::string format_config(const Package& package) {
  std::string out;
  for (const Section& section : package.sections) {
    out += "\nconfig ";
    out += section.type;
    if (!section.anonymous()) {
      out += ' ';
      append_quoted(out, section.name);
    }
    out += '\n';
    for (const Option& option : section.options) {
      for (const std::string& value : option.values) {
        out += option.is_list ? "\tlist " : "\toption ";
        out += option.name;
        out += ' ';
        append_quoted(out, value);
        out += '\n';
      }
    }
  }
  return out;
}

}  // namespace uci
