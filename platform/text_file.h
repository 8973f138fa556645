// Text files: encoding detection on reading, chosen encoding on writing.
//
// Contract:
// - Reading detects a BOM (UTF-8, UTF-16 LE/BE) and skips it; without one
//   the text is taken in the system's ANSI code page (platform/code_page.h).
// - A forced encoding skips its own BOM when present and decodes the rest
//   in that encoding. Forced UTF-8 that is not valid UTF-8 raises
//   EEncodingError; nothing is guessed.
// - Writing produces UTF-8 or UTF-16 with or without BOM, or the ANSI code
//   page (never a BOM); characters the ANSI page cannot express become "?"
//   unless the caller checks `CanEncode` first. Files are replaced
//   atomically (platform/file_io.h).
// - Files are read and written on the seam given, the process-wide one by
//   default.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/file_ops.h"
#include "platform/rtl_exception.h"

namespace revurov::platform {

enum class TTextEncoding { Ansi, Utf8, Utf16LE, Utf16BE };

inline constexpr char16_t SNoMappingForUnicodeCharacter[] =
    u"Keine Zuordnung f\u00FCr Unicode-Zeichen in Ziel-Multibyte-Codepage vorhanden.";

struct TDecodedText {
  std::u16string Text;
  TTextEncoding Encoding = TTextEncoding::Ansi;
  bool HadBom = false;
};

TDecodedText DecodeText(std::string_view bytes, std::optional<TTextEncoding> forced = std::nullopt);
std::string EncodeText(std::u16string_view text, TTextEncoding encoding, bool with_bom);
bool CanEncode(std::u16string_view text, TTextEncoding encoding);
// Strict UTF-8 to UTF-16; raises EEncodingError on any malformed sequence.
std::u16string Utf8ToUtf16Strict(std::string_view bytes);

// nullopt when the file does not exist; other failures raise EFOpenError.
std::optional<TDecodedText> ReadTextFile(const std::string& path,
                                         std::optional<TTextEncoding> forced = std::nullopt,
                                         TFileOps& ops = FileOps());
void WriteTextFile(const std::string& path, std::u16string_view text, TTextEncoding encoding, bool with_bom,
                   TFileOps& ops = FileOps());

}  // namespace revurov::platform
