#include "qiv/primitives/json_writer.h"

#include <array>

namespace qiv {
namespace {

// For each byte: 0 when written as itself, otherwise the letter of its short escape, or 'u'
// for the \u00xx form.
constexpr std::array<char, 256> MakeEscapeTable() {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}
constexpr std::array<char, 256> kEscape = MakeEscapeTable();

void AppendEscaped(std::string_view text, std::string* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->push_back('"');
  const char* run = text.data();
  const char* end = text.data() + text.size();
  for (const char* p = run; p < end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    char esc = kEscape[c];
    if (esc == 0) continue;
    out->append(run, static_cast<std::size_t>(p - run));
    run = p + 1;
    out->push_back('\\');
    if (esc == 'u') {
      const char u[] = {'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out->append(u, sizeof u);
    } else {
      out->push_back(esc);
    }
  }
  out->append(run, static_cast<std::size_t>(end - run));
  out->push_back('"');
}

}  // namespace

void JsonWriter::NewlineAndIndent(std::size_t levels) {
  out_.push_back('\n');
  out_.append(2 * levels, ' ');
}

void JsonWriter::BeforeValue() {
  if (open_.empty() || !(open_.back() & kArray)) return;  // object values follow their key
  if (open_.back() & kHasEntries) out_.push_back(',');
  open_.back() = static_cast<char>(open_.back() | kHasEntries);
  if (style_ == Style::kTwoSpace) NewlineAndIndent(open_.size());
}

void JsonWriter::OpenContainer(char bracket, bool is_array) {
  BeforeValue();
  out_.push_back(bracket);
  open_.push_back(static_cast<char>(is_array ? kArray : 0));
}

void JsonWriter::CloseContainer(char bracket) {
  bool had_entries = open_.back() & kHasEntries;
  open_.pop_back();
  if (had_entries && style_ == Style::kTwoSpace) NewlineAndIndent(open_.size());
  out_.push_back(bracket);
}

void JsonWriter::BeginObject() { OpenContainer('{', false); }
void JsonWriter::EndObject() { CloseContainer('}'); }
void JsonWriter::BeginArray() { OpenContainer('[', true); }
void JsonWriter::EndArray() { CloseContainer(']'); }

void JsonWriter::Key(std::string_view key) {
  if (open_.back() & kHasEntries) out_.push_back(',');
  open_.back() = static_cast<char>(open_.back() | kHasEntries);
  if (style_ == Style::kTwoSpace) NewlineAndIndent(open_.size());
  AppendEscaped(key, &out_);
  if (style_ == Style::kTwoSpace) {
    out_.append(": ");
  } else {
    out_.push_back(':');
  }
}

void JsonWriter::String(std::string_view text) {
  BeforeValue();
  AppendEscaped(text, &out_);
}

void JsonWriter::Bool(bool value) {
  BeforeValue();
  out_.append(value ? "true" : "false");
}

void JsonWriter::Null() {
  BeforeValue();
  out_.append("null");
}

}  // namespace qiv
