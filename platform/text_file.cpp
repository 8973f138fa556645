#include "platform/text_file.h"

#include <cstdint>

#include "platform/code_page.h"
#include "platform/file_io.h"
#include "platform/text.h"

namespace revurov::platform {

namespace {

constexpr std::string_view kBomUtf8 = "\xEF\xBB\xBF";
constexpr std::string_view kBomUtf16LE = "\xFF\xFE";
constexpr std::string_view kBomUtf16BE = "\xFE\xFF";

std::string_view BomOf(TTextEncoding e) {
  switch (e) {
    case TTextEncoding::Utf8: return kBomUtf8;
    case TTextEncoding::Utf16LE: return kBomUtf16LE;
    case TTextEncoding::Utf16BE: return kBomUtf16BE;
    case TTextEncoding::Ansi: break;
  }
  return {};
}

std::u16string DecodeUtf16(std::string_view bytes, bool big_endian) {
  std::u16string out;
  out.reserve(bytes.size() / 2);
  // An odd last byte is no code unit and is dropped.
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto lo = static_cast<uint8_t>(bytes[big_endian ? i + 1 : i]);
    const auto hi = static_cast<uint8_t>(bytes[big_endian ? i : i + 1]);
    out.push_back(static_cast<char16_t>(lo | (hi << 8)));
  }
  return out;
}

std::string EncodeUtf16(std::u16string_view text, bool big_endian) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char16_t c : text) {
    const char lo = static_cast<char>(c & 0xFF);
    const char hi = static_cast<char>(c >> 8);
    out.push_back(big_endian ? hi : lo);
    out.push_back(big_endian ? lo : hi);
  }
  return out;
}

}  // namespace

std::u16string Utf8ToUtf16Strict(std::string_view bytes) {
  if (!IsValidUtf8(bytes)) throw EEncodingError(SNoMappingForUnicodeCharacter);
  return Utf8ToUtf16(bytes);
}

TDecodedText DecodeText(std::string_view bytes, std::optional<TTextEncoding> forced) {
  TDecodedText out;
  if (forced) {
    out.Encoding = *forced;
    const std::string_view bom = BomOf(*forced);
    if (!bom.empty() && bytes.starts_with(bom)) {
      out.HadBom = true;
      bytes.remove_prefix(bom.size());
    }
  } else if (bytes.starts_with(kBomUtf8)) {
    out.Encoding = TTextEncoding::Utf8;
    out.HadBom = true;
    bytes.remove_prefix(kBomUtf8.size());
  } else if (bytes.starts_with(kBomUtf16LE)) {
    out.Encoding = TTextEncoding::Utf16LE;
    out.HadBom = true;
    bytes.remove_prefix(kBomUtf16LE.size());
  } else if (bytes.starts_with(kBomUtf16BE)) {
    out.Encoding = TTextEncoding::Utf16BE;
    out.HadBom = true;
    bytes.remove_prefix(kBomUtf16BE.size());
  } else {
    out.Encoding = TTextEncoding::Ansi;
  }
  switch (out.Encoding) {
    case TTextEncoding::Ansi: out.Text = CodePageToUnicode(bytes, SystemAnsiCodePage()); break;
    case TTextEncoding::Utf8: out.Text = Utf8ToUtf16Strict(bytes); break;
    case TTextEncoding::Utf16LE: out.Text = DecodeUtf16(bytes, false); break;
    case TTextEncoding::Utf16BE: out.Text = DecodeUtf16(bytes, true); break;
  }
  return out;
}

bool CanEncode(std::u16string_view text, TTextEncoding encoding) {
  if (encoding != TTextEncoding::Ansi) return !HasUnpairedSurrogate(text);
  return UnicodeToCodePage(text, SystemAnsiCodePage()).has_value();
}

std::string EncodeText(std::u16string_view text, TTextEncoding encoding, bool with_bom) {
  std::string out;
  if (with_bom) out = BomOf(encoding);
  switch (encoding) {
    case TTextEncoding::Ansi: out += UnicodeToCodePageLossy(text, SystemAnsiCodePage()); break;
    case TTextEncoding::Utf8: out += Utf16ToUtf8(text); break;
    case TTextEncoding::Utf16LE: out += EncodeUtf16(text, false); break;
    case TTextEncoding::Utf16BE: out += EncodeUtf16(text, true); break;
  }
  return out;
}

std::optional<TDecodedText> ReadTextFile(const std::string& path, std::optional<TTextEncoding> forced,
                                         TFileOps& ops) {
  std::optional<std::string> bytes = ReadFileBytes(path, ops);
  if (!bytes) return std::nullopt;
  return DecodeText(*bytes, forced);
}

void WriteTextFile(const std::string& path, std::u16string_view text, TTextEncoding encoding, bool with_bom,
                   TFileOps& ops) {
  ReplaceFileAtomically(path, EncodeText(text, encoding, with_bom), ops);
}

}  // namespace revurov::platform
