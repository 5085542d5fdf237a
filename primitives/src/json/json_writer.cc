#include "qiv/primitives/json_writer.h"

#include <array>
#include <cstdint>

#include "string_scan.h"

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
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto* end = p + text.size();
  out->reserve(out->size() + text.size() + 2);
  out->push_back('"');
  while (true) {
    const std::uint8_t* special = json_internal::ScanStringRun(p, end);
    out->append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(special - p));
    if (special == end) break;
    const std::uint8_t c = *special;
    const char esc = kEscape[c];
    out->push_back('\\');
    if (esc == 'u') {
      const char u[] = {'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out->append(u, sizeof u);
    } else {
      out->push_back(esc);
    }
    p = special + 1;
  }
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
