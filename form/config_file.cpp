#include "form/config_file.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <map>
#include <optional>

#include "common/text.h"
#include "form/form.h"
#include "form/options.h"

namespace quorvin {
namespace {

// A key the file may give: the option it names, and how its value is typed.
struct Key {
  std::string key;  // "sample-rate", "m"
  std::string option;
  enum class Type { flag, names, list, one } type;
  std::string takes;  // for a value of another type
};

// Every key: each option's long name without its dashes, and its short one ("m", "o", "j", "q").
std::vector<Key> known_keys() {
  std::vector<Key> keys;
  const auto add = [&keys](std::string_view names, Key::Type type, std::string_view takes) {
    const std::string option(long_option_name(names));
    for (std::size_t start = 0; start <= names.size();) {
      const std::size_t comma = std::min(names.find(',', start), names.size());
      std::string_view name = names.substr(start, comma - start);
      name.remove_prefix(std::min(name.find_first_not_of('-'), name.size()));
      keys.push_back({std::string(name), option, type, std::string(takes)});
      start = comma + 1;
    }
  };
  const auto declarations = option_declarations();
  for (std::size_t i = 0; i < declarations.size(); ++i) {
    const OptionDeclaration& d = declarations[i];
    const std::string_view names = i < form_box_count ? form_boxes[i].option : d.option;
    const Key::Type type = d.flag                                            ? Key::Type::flag
                           : d.value_kind.find(",...") != std::string::npos ? Key::Type::list
                                                                             : Key::Type::one;
    add(names, type, d.takes);
  }
  for (const ControlOption& c : control_options()) {
    if (!c.in_file) continue;
    const Key::Type type = c.value_kind.empty()                   ? Key::Type::flag
                           : long_option_name(c.names) == "--modulations" ? Key::Type::names
                                                                          : Key::Type::one;
    add(c.names, type, c.takes);
  }
  return keys;
}

struct Value {
  enum class Kind { text, number, boolean, list } kind = Kind::text;
  std::string text;  // a list's items joined by commas
  bool items_texts = true;  // a list: every item a text
};

// A refusal at a line of the file.
struct Fault {
  std::size_t line;
  std::string message;
};

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {
    if (text_.starts_with("\xEF\xBB\xBF")) at_ = 3;  // a byte order mark some editors write
  }

  ConfigEntries entries() {
    while (true) {
      skip_blanks();
      skip_comment();
      if (at_ == text_.size()) return std::move(entries_);
      if (text_[at_] == '\n') {
        next_line();
        continue;
      }
      entry();
    }
  }

 private:
  void entry() {
    const std::size_t line = line_;
    if (text_[at_] == '[') {
      throw Fault{line, "sections (" + shown(rest_of_line()) + ") are not taken; write each key at the top level"};
    }
    std::string key;
    if (text_[at_] == '"' || text_[at_] == '\'') {
      key = quoted("a key");
    } else {
      while (at_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[at_])) || text_[at_] == '-' || text_[at_] == '_')) {
        key += text_[at_++];
      }
    }
    skip_blanks();
    if (key.empty() || at_ == text_.size() || text_[at_] != '=') {
      at_ = line_start_;
      throw Fault{line, "takes lines of key = value, not " + shown(rest_of_line())};
    }
    ++at_;
    skip_blanks();
    const std::size_t start = at_;
    const Value value = read_value(key, false);
    std::string written(text_.substr(start, at_ - start));
    std::replace(written.begin(), written.end(), '\n', ' ');
    skip_blanks();
    skip_comment();
    if (at_ < text_.size() && text_[at_] != '\n') {
      throw Fault{line_, "after the value of " + key + " only a comment may follow, not " + shown(rest_of_line())};
    }
    add(key, value, written, line);
  }

  Value read_value(const std::string& key, bool in_list) {
    if (at_ == text_.size() || text_[at_] == '\n' || text_[at_] == '#') throw Fault{line_, key + " has no value"};
    const char c = text_[at_];
    if (c == '"' || c == '\'') return {Value::Kind::text, quoted("the text of " + key)};
    if (c == '{') throw Fault{line_, key + ": inline tables ({...}) are not taken"};
    if (c == '[') {
      if (in_list) throw Fault{line_, key + ": a list inside a list is not taken"};
      return list(key);
    }
    std::string token;
    while (at_ < text_.size() && std::string_view(" \t\r\n,]#").find(text_[at_]) == std::string_view::npos) {
      token += text_[at_++];
    }
    if (token == "true" || token == "false") return {Value::Kind::boolean, token};
    const bool number = std::isdigit(static_cast<unsigned char>(token[0])) || token == "inf" || token == "nan" ||
                        (token.size() > 1 && std::string_view("+-.").find(token[0]) != std::string_view::npos);
    if (!number) {
      throw Fault{line_, key + " = " + token + ": a text is written in quotes (" + key + " = \"" + token + "\")"};
    }
    return {Value::Kind::number, token};
  }

  Value list(const std::string& key) {
    const std::size_t opened = line_;
    ++at_;
    Value value{Value::Kind::list, ""};
    bool first = true;
    while (true) {
      skip_space_and_comments();
      if (at_ < text_.size() && text_[at_] == ']') break;  // also after a trailing comma
      if (at_ == text_.size()) throw Fault{opened, "the list of " + key + " is not closed (a ] is missing)"};
      const Value item = read_value(key, true);
      value.text += (first ? "" : ",") + item.text;
      value.items_texts = value.items_texts && item.kind == Value::Kind::text;
      first = false;
      skip_space_and_comments();
      if (at_ < text_.size() && text_[at_] == ',') {
        ++at_;
      } else if (at_ == text_.size() || text_[at_] != ']') {
        throw Fault{opened, "the list of " + key + " is not closed (a ] is missing)"};
      }
    }
    ++at_;
    return value;
  }

  // A quoted text: "..." with the escapes \" \\ \n \t \r, or '...' as it stands; on one line.
  std::string quoted(const std::string& what) {
    const char quote = text_[at_++];
    std::string text;
    while (true) {
      if (at_ == text_.size() || text_[at_] == '\n') {
        throw Fault{line_, what + " is not closed (a " + std::string(1, quote) + " is missing)"};
      }
      const char c = text_[at_++];
      if (c == quote) return text;
      if (c != '\\' || quote == '\'') {
        text += c;
        continue;
      }
      const char escaped = at_ < text_.size() ? text_[at_++] : '\0';
      const std::string_view from = "\"\\ntr", to = "\"\\\n\t\r";
      const std::size_t k = from.find(escaped);
      if (escaped == '\0' || k == std::string_view::npos) {
        throw Fault{line_, what + " holds \\" + std::string(1, escaped) + ", which is no escape (\\\" \\\\ \\n \\t \\r are)"};
      }
      text += to[k];
    }
  }

  void add(const std::string& key, const Value& value, const std::string& written, std::size_t line) {
    static const std::vector<Key> keys = known_keys();
    const auto known = std::find_if(keys.begin(), keys.end(), [&key](const Key& k) { return k.key == key; });
    if (known == keys.end()) {
      std::vector<std::string> names;
      for (const Key& k : keys) {
        if (k.key.size() > 1) names.push_back(k.key);
      }
      const std::string meant = did_you_mean(nearest_names(key, names));
      throw Fault{line, "unknown key " + shown(key) + (meant.empty() ? "" : "; " + meant)};
    }
    const ConfigEntry* before = nullptr;
    for (const ConfigEntries* given : {&entries_, &unset_}) {
      for (const ConfigEntry& e : *given) {
        if (e.option == known->option) before = &e;
      }
    }
    if (before != nullptr) {
      if (before->key == key) {
        throw Fault{line, "the key " + key + " is given again (first on line " + std::to_string(before->line) +
                              "); give it once"};
      }
      throw Fault{line, key + " and " + before->key + " (line " + std::to_string(before->line) + ") both give " +
                            known->option + "; give one of them"};
    }
    const auto refused = [&](const std::string& takes) {
      return Fault{line, key + " takes " + takes + ", not " + written};
    };
    switch (known->type) {
      case Key::Type::flag:
        if (value.kind != Value::Kind::boolean) throw refused("true or false");
        break;
      case Key::Type::names:
        if (value.kind == Value::Kind::list ? !value.items_texts : value.kind != Value::Kind::text) {
          throw refused("a text of names or a list of texts (\"QPSK,AM\" or [\"QPSK\", \"AM\"])");
        }
        break;
      case Key::Type::list:
        if (value.kind == Value::Kind::boolean) throw refused(known->takes);
        break;
      case Key::Type::one:
        if (value.kind == Value::Kind::boolean) throw refused(known->takes);
        if (value.kind == Value::Kind::list) throw refused("one value, not a list: " + known->takes);
        break;
    }
    ConfigEntry entry{known->option, key, value.text, line};
    check_control(entry, known->takes);
    // A flag set false is a flag not given: no front end then sees it (the classic model would
    // refuse an exact model's flag given at all).
    (known->type == Key::Type::flag && value.text == "false" ? unset_ : entries_).push_back(std::move(entry));
  }

  // The control options' values, checked as the command line checks them.
  static void check_control(ConfigEntry& entry, const std::string& takes) {
    const std::string& text = entry.text;
    const auto whole = [&text](std::uint64_t low, std::uint64_t high) {
      std::uint64_t value = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
      return !text.empty() && error == std::errc{} && end == text.data() + text.size() && value >= low && value <= high;
    };
    bool accepted = true;
    if (entry.option == "--seed") accepted = whole(0, 0xFFFFFFFFu);
    if (entry.option == "--jobs") accepted = whole(1, 1024);
    if (entry.option == "--manifest") accepted = !text.empty();
    if (entry.option == "--format") {
      std::string lower = text;
      for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
      accepted = lower == "csv" || lower == "sigmf" || lower == "hdf5";
      if (accepted) entry.text = lower;
    }
    if (entry.option == "--shard") {
      const std::size_t slash = text.find('/');
      std::uint64_t index = 0, count = 0;
      const char* middle = text.data() + std::min(slash, text.size());
      const auto low = std::from_chars(text.data(), middle, index);
      const auto high = slash == std::string::npos ? low : std::from_chars(middle + 1, text.data() + text.size(), count);
      accepted = slash != std::string::npos && slash > 0 && low.ec == std::errc{} && low.ptr == middle &&
                 high.ec == std::errc{} && high.ptr == text.data() + text.size() && count <= 0xFFFFFFFFu && index < count;
    }
    if (!accepted) throw Fault{entry.line, entry.key + " takes " + takes + ", not '" + marked_text(text) + "'"};
  }

  // A text as a refusal shows it: quoted, so blanks and an empty text are seen.
  static std::string shown(std::string_view text) { return "'" + std::string(text) + "'"; }

  std::string_view rest_of_line() const {
    const std::size_t end = std::min(text_.find('\n', at_), text_.size());
    std::string_view line = text_.substr(at_, end - at_);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    return line;
  }
  void skip_blanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r')) ++at_;
  }
  void skip_comment() {
    if (at_ < text_.size() && text_[at_] == '#') at_ = std::min(text_.find('\n', at_), text_.size());
  }
  void skip_space_and_comments() {
    while (true) {
      skip_blanks();
      skip_comment();
      if (at_ == text_.size() || text_[at_] != '\n') return;
      next_line();
    }
  }
  void next_line() {
    ++at_;
    ++line_;
    line_start_ = at_;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::size_t line_ = 1;
  std::size_t line_start_ = 0;
  ConfigEntries entries_;
  ConfigEntries unset_;  // flags set false, kept for telling a key given twice
};

}  // namespace

std::variant<ConfigEntries, ConfigRefusal> parse_config_text(std::string_view text, std::string_view name) {
  try {
    return Parser(text).entries();
  } catch (const Fault& fault) {
    return ConfigRefusal{"--config " + as_typed(name) + ": line " + std::to_string(fault.line) + ": " + fault.message};
  }
}

namespace {

// The whole text of a regular file of at most `limit` bytes, or why not: `named` is the option and
// the file as typed ("--config NAME"), `needed` what the option takes ("; it takes ...").
std::variant<std::string, ConfigRefusal> read_small_file(const std::filesystem::path& path, const std::string& named,
                                                         std::string_view needed, std::uintmax_t limit) {
  const ConfigRefusal unreadable{named + " cannot be read", true};
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (error || status.type() == std::filesystem::file_type::not_found) return unreadable;
  if (status.type() == std::filesystem::file_type::directory) return ConfigRefusal{named + " is a folder" + std::string(needed)};
  if (status.type() != std::filesystem::file_type::regular) return ConfigRefusal{named + " is not a regular file" + std::string(needed)};
  std::ifstream file(path, std::ios::binary);
  if (!file) return unreadable;
  // At most one byte past the limit is read: a file that grew since its size was seen is refused too.
  std::string text(static_cast<std::size_t>(limit) + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (file.bad()) return unreadable;
  if (text.size() > limit) {
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    return ConfigRefusal{named + " holds " + std::to_string(error ? text.size() : size) + " bytes" + std::string(needed)};
  }
  return text;
}

}  // namespace

std::variant<ConfigEntries, ConfigRefusal> read_config_file(const std::filesystem::path& path, std::string_view name) {
  auto read = read_small_file(path, "--config " + as_typed(name), "; it takes a regular file of options of at most 1 MiB",
                              largest_config_file);
  if (const ConfigRefusal* refusal = std::get_if<ConfigRefusal>(&read)) return *refusal;
  return parse_config_text(std::get<std::string>(read), name);
}

std::variant<std::string, ConfigRefusal> read_payload_file(const std::filesystem::path& path, std::string_view name) {
  constexpr std::string_view needed = "; it takes a regular file of payloads, one a line, of at most 64 MiB";
  const std::string named = "--payload " + as_typed(name);
  auto read = read_small_file(path, named, needed, largest_payload_file);
  if (const std::string* text = std::get_if<std::string>(&read); text != nullptr && text->empty()) {
    return ConfigRefusal{named + " is empty" + std::string(needed)};
  }
  return read;
}

}  // namespace quorvin
