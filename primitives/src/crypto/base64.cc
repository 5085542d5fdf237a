#include "qiv/primitives/base64.h"

#include <array>

namespace qiv {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xff;

constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
  std::array<std::uint8_t, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = MakeDecodeTable();

// Number of bytes that `length` characters decode to, or -1 when a final group of a single
// character makes the length impossible.
long DecodedSize(std::size_t length) {
  if (length % 4 == 1) return -1;
  return static_cast<long>(length / 4 * 3 + (length % 4 == 0 ? 0 : length % 4 - 1));
}

// `out` holds exactly DecodedSize(text.size()) bytes.
bool DecodeInto(std::string_view text, std::uint8_t* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t full = text.size() / 4;
  for (std::size_t g = 0; g < full; ++g, in += 4) {
    std::uint32_t a = kDecode[in[0]], b = kDecode[in[1]], c = kDecode[in[2]], d = kDecode[in[3]];
    if (((a | b | c | d) & 0xc0) != 0) return false;  // kInvalid has these bits set
    std::uint32_t v = a << 18 | b << 12 | c << 6 | d;
    *out++ = static_cast<std::uint8_t>(v >> 16);
    *out++ = static_cast<std::uint8_t>(v >> 8);
    *out++ = static_cast<std::uint8_t>(v);
  }
  switch (text.size() % 4) {
    case 2: {
      std::uint32_t a = kDecode[in[0]], b = kDecode[in[1]];
      if (((a | b) & 0xc0) != 0 || (b & 0x0f) != 0) return false;
      *out = static_cast<std::uint8_t>(a << 2 | b >> 4);
      break;
    }
    case 3: {
      std::uint32_t a = kDecode[in[0]], b = kDecode[in[1]], c = kDecode[in[2]];
      if (((a | b | c) & 0xc0) != 0 || (c & 0x03) != 0) return false;
      std::uint32_t v = a << 10 | b << 4 | c >> 2;
      *out++ = static_cast<std::uint8_t>(v >> 8);
      *out = static_cast<std::uint8_t>(v);
      break;
    }
    default:
      break;
  }
  return true;
}

}  // namespace

std::string Base64Encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() * 4 + 2) / 3);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (bytes.size() - i == 1) {
    std::uint32_t v = bytes[i] << 16;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
  } else if (bytes.size() - i == 2) {
    std::uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> Base64Decode(std::string_view text) {
  long size = DecodedSize(text.size());
  if (size < 0) return std::nullopt;
  std::vector<std::uint8_t> out(static_cast<std::size_t>(size));
  if (!DecodeInto(text, out.data())) return std::nullopt;
  return out;
}

bool Base64DecodeExact(std::string_view text, std::span<std::uint8_t> out) {
  long size = DecodedSize(text.size());
  if (size < 0 || static_cast<std::size_t>(size) != out.size()) return false;
  return DecodeInto(text, out.data());
}

}  // namespace qiv
