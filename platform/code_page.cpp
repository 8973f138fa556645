#include "platform/code_page.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>

#include <atomic>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/format.h"
#include "platform/rtl_exception.h"

namespace revurov::platform {

namespace {

std::atomic<uint32_t> gAnsiCodePage{1252};

struct ConverterCloser {
  void operator()(UConverter* c) const noexcept { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter OpenConverter(uint32_t code_page) {
  Converter c(OpenCodePageConverter(code_page));
  if (!c) throw EConvertError(Format(u"No mapping for code page %u", {code_page}));
  return c;
}

// Code pages whose bytes below 0x80 are ASCII, one to one, in every table
// ICU has for them: ASCII text needs no converter (opening one costs more
// than most names take to convert).
bool AsciiCompatible(uint32_t code_page) noexcept {
  return code_page == CP_UTF8 || code_page == 28591 || code_page == 874 || (code_page >= 1250 && code_page <= 1258);
}

std::optional<std::string> FromUnicode(std::u16string_view text, uint32_t code_page, bool strict) {
  if (text.empty()) return std::string();
  if (AsciiCompatible(code_page) &&
      std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; }))
    return std::string(text.begin(), text.end());
  Converter conv = OpenConverter(code_page);
  UErrorCode err = U_ZERO_ERROR;
  if (!strict) ucnv_setSubstChars(conv.get(), "?", 1, &err);
  if (U_FAILURE(err) || !(strict ? SetStrictFromUnicode(conv.get()) : SetSubstitutingFromUnicode(conv.get())))
    throw EConvertError(u"Code page conversion failed");
  const auto* src = reinterpret_cast<const UChar*>(text.data());
  const auto len = static_cast<int32_t>(text.size());
  // Ask for the length first, then convert into a buffer of exactly that size.
  err = U_ZERO_ERROR;
  const int32_t need = ucnv_fromUChars(conv.get(), nullptr, 0, src, len, &err);
  if (err != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(err)) {
    if (strict) return std::nullopt;
    throw EConvertError(u"Code page conversion failed");
  }
  std::string out(static_cast<size_t>(need), '\0');
  err = U_ZERO_ERROR;
  ucnv_resetFromUnicode(conv.get());
  ucnv_fromUChars(conv.get(), out.data(), need, src, len, &err);
  if (U_FAILURE(err)) {
    if (strict) return std::nullopt;
    throw EConvertError(u"Code page conversion failed");
  }
  return out;
}

// Leaves the error set, so the conversion stops at the character.
void StopFromUnicode(const void*, UConverterFromUnicodeArgs*, const UChar*, int32_t, UChar32,
                     UConverterCallbackReason, UErrorCode*) {}

void SubstituteFromUnicode(const void*, UConverterFromUnicodeArgs* args, const UChar*, int32_t, UChar32,
                           UConverterCallbackReason reason, UErrorCode* err) {
  if (reason > UCNV_IRREGULAR) return;  // reset, close or clone: nothing to write
  *err = U_ZERO_ERROR;
  ucnv_cbFromUWriteSub(args, 0, err);
}

void WriteQuestionMark(const void*, UConverterFromUnicodeArgs* args, const UChar*, int32_t, UChar32,
                       UConverterCallbackReason reason, UErrorCode* err) {
  if (reason > UCNV_IRREGULAR) return;
  *err = U_ZERO_ERROR;
  ucnv_cbFromUWriteBytes(args, "?", 1, 0, err);
}

bool SetFromUnicode(UConverter* conv, UConverterFromUCallback callback) noexcept {
  UErrorCode err = U_ZERO_ERROR;
  ucnv_setFromUCallBack(conv, callback, nullptr, nullptr, nullptr, &err);
  return U_SUCCESS(err);
}

}  // namespace

bool SetStrictFromUnicode(UConverter* conv) noexcept { return SetFromUnicode(conv, StopFromUnicode); }

bool SetSubstitutingFromUnicode(UConverter* conv) noexcept { return SetFromUnicode(conv, SubstituteFromUnicode); }

UConverter* OpenCodePageConverter(uint32_t code_page) noexcept {
  UErrorCode err = U_ZERO_ERROR;
  // ICU knows Latin-1 by its ISO name only.
  const char* fixed = code_page == CP_UTF8 ? "UTF-8" : (code_page == 28591 ? "ISO-8859-1" : nullptr);
  if (fixed) {
    UConverter* c = ucnv_open(fixed, &err);
    if (U_SUCCESS(err)) return c;
  }
  // Windows code pages first: their tables differ from IBM's of the same number.
  for (const char* pattern : {"windows-%u", "cp%u", "ibm-%u"}) {
    char name[32];
    std::snprintf(name, sizeof name, pattern, static_cast<unsigned>(code_page));
    err = U_ZERO_ERROR;
    UConverter* c = ucnv_open(name, &err);
    if (U_SUCCESS(err)) return c;
  }
  return nullptr;
}

uint32_t SystemAnsiCodePage() noexcept { return gAnsiCodePage.load(std::memory_order_relaxed); }

void SetSystemAnsiCodePage(uint32_t code_page) noexcept {
  gAnsiCodePage.store(code_page, std::memory_order_relaxed);
}

std::u16string CodePageToUnicode(std::string_view bytes, uint32_t code_page) {
  if (bytes.empty()) return {};
  if (AsciiCompatible(code_page) &&
      std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    return std::u16string(bytes.begin(), bytes.end());
  Converter conv = OpenConverter(code_page);
  UErrorCode err = U_ZERO_ERROR;
  const auto len = static_cast<int32_t>(bytes.size());
  const int32_t need = ucnv_toUChars(conv.get(), nullptr, 0, bytes.data(), len, &err);
  if (err != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(err)) throw EConvertError(u"Code page conversion failed");
  std::u16string out(static_cast<size_t>(need), u'\0');
  err = U_ZERO_ERROR;
  ucnv_resetToUnicode(conv.get());
  ucnv_toUChars(conv.get(), reinterpret_cast<UChar*>(out.data()), need, bytes.data(), len, &err);
  if (U_FAILURE(err)) throw EConvertError(u"Code page conversion failed");
  return out;
}

std::optional<std::string> UnicodeToCodePage(std::u16string_view text, uint32_t code_page) {
  return FromUnicode(text, code_page, true);
}

std::string UnicodeToCodePageLossy(std::u16string_view text, uint32_t code_page) {
  return *FromUnicode(text, code_page, false);
}

int CodePageMaxCharSize(uint32_t code_page) noexcept {
  UConverter* c = OpenCodePageConverter(code_page <= 3 ? SystemAnsiCodePage() : code_page);
  if (!c) return 0;
  const int size = ucnv_getMaxCharSize(c);
  ucnv_close(c);
  return size;
}

std::unique_ptr<TCodePageConverter> TCodePageConverter::Open(uint32_t code_page) {
  Converter conv(OpenCodePageConverter(code_page));
  if (!conv) return nullptr;
  // The "?" is written by the callback: a converter's own substitute
  // characters also steer what invalid bytes widen to.
  if (!SetFromUnicode(conv.get(), WriteQuestionMark)) return nullptr;
  return std::unique_ptr<TCodePageConverter>(new TCodePageConverter(conv.release()));
}

TCodePageConverter::~TCodePageConverter() { ucnv_close(cpcConverter); }

int TCodePageConverter::MaxCharSize() const noexcept { return ucnv_getMaxCharSize(cpcConverter); }

int32_t TCodePageConverter::ToUnicode(std::string_view bytes, char16_t* target, int32_t capacity) noexcept {
  UErrorCode err = U_ZERO_ERROR;
  const int32_t n = ucnv_toUChars(cpcConverter, reinterpret_cast<UChar*>(target), capacity, bytes.data(),
                                  static_cast<int32_t>(bytes.size()), &err);
  return err == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(err) ? n : -1;
}

int32_t TCodePageConverter::FromUnicode(std::u16string_view text, char* target, int32_t capacity) noexcept {
  UErrorCode err = U_ZERO_ERROR;
  const int32_t n = ucnv_fromUChars(cpcConverter, target, capacity, reinterpret_cast<const UChar*>(text.data()),
                                    static_cast<int32_t>(text.size()), &err);
  return err == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(err) ? n : -1;
}

int32_t TCodePageConverter::FromUnicodeCut(std::u16string_view text, char* target, int32_t capacity) {
  // Every code point gives at least one byte, so the bytes past the room
  // come from the first 2 * (capacity + 1) units; converting only those
  // keeps a cut of a long text linear in the room, not the text.
  size_t units = std::min(text.size(), 2 * static_cast<size_t>(capacity) + 2);
  if (units < text.size() && units > 0 && (text[units - 1] & 0xFC00) == 0xD800) --units;
  const auto len = static_cast<int32_t>(units);
  const size_t room = UCNV_GET_MAX_BYTES_FOR_STRING(len, ucnv_getMaxCharSize(cpcConverter));
  std::vector<char> bytes(room);
  std::vector<int32_t> offsets(room);
  ucnv_resetFromUnicode(cpcConverter);
  UErrorCode err = U_ZERO_ERROR;
  char* out = bytes.data();
  const UChar* in = reinterpret_cast<const UChar*>(text.data());
  ucnv_fromUnicode(cpcConverter, &out, bytes.data() + room, &in, in + len, offsets.data(), true, &err);
  ucnv_resetFromUnicode(cpcConverter);
  if (U_FAILURE(err)) return -1;
  const auto total = static_cast<int32_t>(out - bytes.data());
  // A byte whose source unit differs from its predecessor's starts a character.
  int32_t cut = std::min(total, capacity);
  if (cut < total)
    while (cut > 0 && offsets[cut] == offsets[cut - 1]) --cut;
  std::memcpy(target, bytes.data(), static_cast<size_t>(cut));
  return cut;
}

bool TCodePageConverter::ToUnicodeChunk(std::string_view bytes, bool flush, std::u16string& out) {
  const char* in = bytes.data();
  const char* end = in + bytes.size();
  // A code page gives at most one unit per byte plus what a split
  // character held back; the loop grows the room should one give more.
  size_t room = bytes.size() + 8;
  for (;;) {
    const size_t start = out.size();
    out.resize(start + room);
    UChar* to = reinterpret_cast<UChar*>(out.data() + start);
    UChar* const toEnd = reinterpret_cast<UChar*>(out.data() + out.size());
    UErrorCode err = U_ZERO_ERROR;
    ucnv_toUnicode(cpcConverter, &to, toEnd, &in, end, nullptr, flush, &err);
    out.resize(start + static_cast<size_t>(to - reinterpret_cast<UChar*>(out.data() + start)));
    if (err != U_BUFFER_OVERFLOW_ERROR) return U_SUCCESS(err);
    room = room * 2;
  }
}

bool TCodePageConverter::FromUnicodeChunk(std::u16string_view text, bool flush, std::string& out) {
  const UChar* in = reinterpret_cast<const UChar*>(text.data());
  const UChar* end = in + text.size();
  size_t room = UCNV_GET_MAX_BYTES_FOR_STRING(text.size() + 2, ucnv_getMaxCharSize(cpcConverter));
  for (;;) {
    const size_t start = out.size();
    out.resize(start + room);
    char* to = out.data() + start;
    char* const toEnd = out.data() + out.size();
    UErrorCode err = U_ZERO_ERROR;
    ucnv_fromUnicode(cpcConverter, &to, toEnd, &in, end, nullptr, flush, &err);
    out.resize(static_cast<size_t>(to - out.data()));
    if (err != U_BUFFER_OVERFLOW_ERROR) return U_SUCCESS(err);
    room = room * 2;
  }
}

void TCodePageConverter::Reset() noexcept { ucnv_reset(cpcConverter); }

}  // namespace revurov::platform
