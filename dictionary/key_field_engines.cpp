#include "dictionary/key_field_engines.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/fmt_bcd.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/native_variant_converter.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/strings/utils_compare.h"
#include "platform/code_page.h"
#include "platform/date_time.h"
#include "platform/endian.h"
#include "platform/guid.h"
#include "platform/locale.h"
#include "platform/nls.h"
#include "platform/os_error.h"

namespace revurov {

constinit TnxClassRegistry nxCompositeKeyFieldEngines;

using E = TnxCompositeKeyFieldEngine;

namespace {

template <class T>
T Ld(const uint8_t* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
int Cmp3(T a, T b) noexcept {
  return a > b ? 1 : (a < b ? -1 : 0);
}

constexpr uint8_t AsciiUpper(uint8_t c) noexcept { return c >= 'a' && c <= 'z' ? c - 0x20 : c; }
constexpr uint16_t AsciiUpperW(uint16_t c) noexcept { return c >= u'a' && c <= u'z' ? c & ~0x20 : c; }

bool IsTextType(TnxFieldType t) noexcept {
  return t == nxtChar || t == nxtWideChar || t == nxtShortString || t == nxtNullString || t == nxtWideString;
}

// A partial length with the sentinels resolved.
int32_t ResolvePartial(int32_t aPartialLen, int32_t aLen1, int32_t aLen2) noexcept {
  if (aPartialLen == nxPartialLenOfFirst) return aLen1;
  if (aPartialLen == nxPartialLenOfSecond) return aLen2;
  return aPartialLen;
}

// UTF-16 text in a buffer of its own: keys and records give no alignment.
class WideText {
public:
  char16_t* Resize(size_t n) {
    if (n <= kInline) {
      size_ = n;
      return inline_;
    }
    heap_.resize(n);
    size_ = n;
    return heap_.data();
  }
  const char16_t* Data() const noexcept { return size_ <= kInline ? inline_ : heap_.data(); }
  int Size() const noexcept { return static_cast<int>(size_); }
  void Truncate(size_t n) noexcept { size_ = std::min(size_, n); }

private:
  static constexpr size_t kInline = 256;
  char16_t inline_[kInline];
  std::vector<char16_t> heap_;
  size_t size_ = 0;
};

[[noreturn]] void RaiseConversion(const char16_t* aRoutine, const char16_t* aCall) {
  nxRaiseLastOSError(std::u16string(aRoutine) + u"/" + aCall, 0);
}

// Bytes in a code page to UTF-16, asking for the length first.
void BytesToWide(uint32_t aCodePage, const uint8_t* aBytes, int aCount, WideText& aOut, const char16_t* aRoutine) {
  if (aCount <= 0) {
    aOut.Resize(0);
    return;
  }
  const char* src = reinterpret_cast<const char*>(aBytes);
  const int n = platform::MultiByteToWideChar(aCodePage, 0, src, aCount, nullptr, 0);
  if (n <= 0) RaiseConversion(aRoutine, u"MultiByteToWideChar");
  char16_t* dst = aOut.Resize(static_cast<size_t>(n));
  if (platform::MultiByteToWideChar(aCodePage, 0, src, aCount, dst, n) != n)
    RaiseConversion(aRoutine, u"MultiByteToWideChar");
}

// Wide text into at most aRoom bytes of a code page, whole characters
// only. A character the code page cannot hold raises 9985: a substitute
// would make different values equal keys.
int WideToBytes(const E& e, uint32_t aCodePage, const char16_t* aText, int aCount, uint8_t* aOut, int aRoom) {
  while (aCount > 0) {
    const int n = platform::WideCharToMultiByte(aCodePage, platform::WC_ERR_INVALID_CHARS, aText, aCount, nullptr, 0);
    if (n <= 0)
      throw EnxCompositeKeyFieldEngineException(
          nxeOutOfRange, u"Text of field %s cannot be held in code page %u of its key", {e.FieldName(), aCodePage});
    if (n <= aRoom) {
      std::vector<char> bytes(static_cast<size_t>(n));
      platform::WideCharToMultiByte(aCodePage, platform::WC_ERR_INVALID_CHARS, aText, aCount, bytes.data(), n);
      std::memcpy(aOut, bytes.data(), static_cast<size_t>(n));
      return n;
    }
    // Too long: drop the last character, a surrogate pair as one.
    --aCount;
    if (aCount > 0 && aText[aCount] >= 0xDC00 && aText[aCount] <= 0xDFFF && aText[aCount - 1] >= 0xD800 &&
        aText[aCount - 1] <= 0xDBFF)
      --aCount;
  }
  return 0;
}

// At most aChars UTF-16 units, never half a surrogate pair.
int KeepChars(const char16_t* aText, int aCount, int aChars) noexcept {
  if (aCount <= aChars) return aCount;
  int n = std::max(aChars, 0);
  if (n > 0 && aText[n - 1] >= 0xD800 && aText[n - 1] <= 0xDBFF) --n;
  return n;
}

int StrNLen(const uint8_t* p, int aMax) noexcept {
  const void* z = std::memchr(p, 0, static_cast<size_t>(std::max(aMax, 0)));
  return z ? static_cast<int>(static_cast<const uint8_t*>(z) - p) : std::max(aMax, 0);
}

int WStrNLen(const uint8_t* p, int aMaxUnits) noexcept {
  for (int i = 0; i < aMaxUnits; ++i)
    if (platform::LoadU16(p + 2 * i) == 0) return i;
  return std::max(aMaxUnits, 0);
}

void LoadWide(const uint8_t* p, int aUnits, WideText& aOut) {
  char16_t* d = aOut.Resize(static_cast<size_t>(aUnits));
  std::memcpy(d, p, static_cast<size_t>(aUnits) * 2);
}

// Scratch keys of one key field, given back on every path.
class FieldScratch {
public:
  explicit FieldScratch(const E& e)
      : pool_(e.Allocator()), key_(static_cast<uint8_t*>(TnxMemoryPool::Alloc(pool_))) {
    std::memset(key_, 0, static_cast<size_t>(e.KeyLength()));
  }
  ~FieldScratch() { TnxMemoryPool::DisposeDirect(pool_, key_); }
  FieldScratch(const FieldScratch&) = delete;
  FieldScratch& operator=(const FieldScratch&) = delete;
  uint8_t* Get() const noexcept { return key_; }

private:
  TnxPoolHandle pool_;
  uint8_t* key_;
};

// Floating point: NaN after every number and equal to itself, so that the
// order stays total.
template <class T>
int CmpFloat(T a, T b) noexcept {
  const bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return na == nb ? 0 : (na ? 1 : -1);
  return Cmp3(a, b);
}

long double LoadExtended(const uint8_t* p) noexcept {
  long double v = 0;
  std::memcpy(&v, p, 10);
  return v;
}

}  // namespace

// The routines bound into the slots; ascending forms, the descending ones
// negate them.
struct KeyFieldRoutines {
  static int Bool(const E&, const uint8_t* a, const uint8_t* b) { return Cmp3<int>(a[0] != 0, b[0] != 0); }
  template <class T>
  static int Num(const E&, const uint8_t* a, const uint8_t* b) {
    return Cmp3(Ld<T>(a), Ld<T>(b));
  }
  template <class T>
  static int Float(const E&, const uint8_t* a, const uint8_t* b) {
    return CmpFloat(Ld<T>(a), Ld<T>(b));
  }
  static int Extended(const E&, const uint8_t* a, const uint8_t* b) {
    return CmpFloat(LoadExtended(a), LoadExtended(b));
  }
  static int Char(const E&, const uint8_t* a, const uint8_t* b) { return Cmp3(a[0], b[0]); }
  static int CharI(const E&, const uint8_t* a, const uint8_t* b) { return Cmp3(AsciiUpper(a[0]), AsciiUpper(b[0])); }
  static int WideChar(const E&, const uint8_t* a, const uint8_t* b) {
    return Cmp3(platform::LoadU16(a), platform::LoadU16(b));
  }
  static int WideCharI(const E&, const uint8_t* a, const uint8_t* b) {
    return Cmp3(AsciiUpperW(platform::LoadU16(a)), AsciiUpperW(platform::LoadU16(b)));
  }
  static int Collate(const E& e, const WideText& a, const WideText& b) {
    return e.Collator()->Compare(a.Data(), a.Size(), b.Data(), b.Size());
  }
  static int CharLocale(const E& e, const uint8_t* a, const uint8_t* b) {
    WideText wa, wb;
    BytesToWide(e.CompareCodepage(), a, 1, wa, u"CharCompareKey");
    BytesToWide(e.CompareCodepage(), b, 1, wb, u"CharCompareKey");
    return Collate(e, wa, wb);
  }
  static int WideCharLocale(const E& e, const uint8_t* a, const uint8_t* b) {
    WideText wa, wb;
    LoadWide(a, 1, wa);
    LoadWide(b, 1, wb);
    return Collate(e, wa, wb);
  }
  static int Bytes(const E& e, const uint8_t* a, const uint8_t* b) {
    return nxCmpBytes(a, b, static_cast<size_t>(e.KeyLength()));
  }
  static int BytesPartial(const E& e, const uint8_t* a, const uint8_t* b, int32_t n) {
    n = ResolvePartial(n, e.KeyLength(), e.KeyLength());
    return nxCmpBytes(a, b, static_cast<size_t>(std::clamp(n, 0, e.KeyLength())));
  }
  // GUIDs of a text key field order as their text; upper-case hexadecimal
  // in a fixed form orders the same in every locale, so the order does not
  // move with the process's locale.
  static int GuidText(const E&, const uint8_t* a, const uint8_t* b) {
    platform::TGUID ga, gb;
    std::memcpy(&ga, a, 16);
    std::memcpy(&gb, b, 16);
    const std::u16string sa = platform::GUIDToString(ga), sb = platform::GUIDToString(gb);
    return Cmp3(sa.compare(sb), 0);
  }
  static platform::TBcd LoadBcd(const E& e, const uint8_t* p) {
    platform::TBcd v;
    const int32_t n = std::min(e.KeyLength(), 34);
    if (n >= 1) v.Precision = p[0];
    if (n >= 2) v.SignSpecialPlaces = p[1];
    if (n > 2) std::memcpy(v.Fraction, p + 2, static_cast<size_t>(n - 2));
    return v;
  }
  static int FmtBcd(const E& e, const uint8_t* a, const uint8_t* b) {
    return Cmp3(nxBcdCompare(LoadBcd(e, a), LoadBcd(e, b)), 0);
  }

  // ---- ShortString ----
  static uint8_t ShortMax(const E& e) noexcept { return static_cast<uint8_t>(std::min(e.KeyLength() - 1, 255)); }
  static int ShortLen(const E& e, const uint8_t* p) noexcept { return std::min<int>(p[0], ShortMax(e)); }
  // nxCmpShortString's order, with memcmp doing the bytes: the hot path
  // of sorting keys.
  static int Short(const E& e, const uint8_t* a, const uint8_t* b) {
    const int max = ShortMax(e);
    const int la = std::min<int>(a[0], max), lb = std::min<int>(b[0], max);
    if (int r = std::memcmp(a + 1, b + 1, static_cast<size_t>(std::min(la, lb)))) return r < 0 ? -1 : 1;
    return Cmp3(la, lb);
  }
  static int ShortI(const E& e, const uint8_t* a, const uint8_t* b) {
    return Cmp3(nxCmpShortStringI(a, b, ShortMax(e)), 0);
  }
  static int ShortPartialN(const E& e, const uint8_t* a, const uint8_t* b, int32_t n) {
    n = ResolvePartial(n, ShortLen(e, a), ShortLen(e, b));
    return static_cast<uint8_t>(std::clamp<int32_t>(n, 0, ShortMax(e)));
  }
  static int ShortPartial(const E& e, const uint8_t* a, const uint8_t* b, int32_t n) {
    return Cmp3(nxCmpShortString(a, b, static_cast<uint8_t>(ShortPartialN(e, a, b, n))), 0);
  }
  static int ShortPartialI(const E& e, const uint8_t* a, const uint8_t* b, int32_t n) {
    return Cmp3(nxCmpShortStringI(a, b, static_cast<uint8_t>(ShortPartialN(e, a, b, n))), 0);
  }
  static int ShortLocale(const E& e, const uint8_t* a, const uint8_t* b) {
    WideText wa, wb;
    BytesToWide(e.CompareCodepage(), a + 1, ShortLen(e, a), wa, u"ShortAnsiStrCompareKey");
    BytesToWide(e.CompareCodepage(), b + 1, ShortLen(e, b), wb, u"ShortAnsiStrCompareKey");
    return Collate(e, wa, wb);
  }
  // Counts characters, not bytes, whether the code page is multi-byte or
  // not: for a single-byte code page the two are the same.
  static int ShortLocalePartial(const E& e, const uint8_t* a, const uint8_t* b, int32_t n) {
    WideText wa, wb;
    BytesToWide(e.CompareCodepage(), a + 1, ShortLen(e, a), wa, u"ShortAnsiStrPartialCompareKeyMBCS");
    BytesToWide(e.CompareCodepage(), b + 1, ShortLen(e, b), wb, u"ShortAnsiStrPartialCompareKeyMBCS");
    n = std::max(ResolvePartial(n, wa.Size(), wb.Size()), 0);
    wa.Truncate(static_cast<size_t>(KeepChars(wa.Data(), wa.Size(), n)));
    wb.Truncate(static_cast<size_t>(KeepChars(wb.Data(), wb.Size(), n)));
    return Collate(e, wa, wb);
  }

  // ---- NullString ----
  template <bool CI>
  static int NullN(const uint8_t* a, const uint8_t* b, int n) {
    for (int i = 0; i < n; ++i) {
      const uint8_t ca = CI ? AsciiUpper(a[i]) : a[i];
      const uint8_t cb = CI ? AsciiUpper(b[i]) : b[i];
      if (ca != cb) return ca < cb ? -1 : 1;
      if (ca == 0) return 0;
    }
    return 0;
  }
  template <bool CI>
  static int Null(const E& e, const uint8_t* a, const uint8_t* b) {
    return NullN<CI>(a, b, e.KeyLength() - 1);
  }
  template <bool CI>
  static int NullPartial(const E& e, const uint8_t* a, const uint8_t* b, int32_t n) {
    const int max = e.KeyLength() - 1;
    n = ResolvePartial(n, StrNLen(a, max), StrNLen(b, max));
    return NullN<CI>(a, b, std::clamp(n, 0, max));
  }
  static int NullLocale(const E& e, const uint8_t* a, const uint8_t* b) {
    WideText wa, wb;
    BytesToWide(e.CompareCodepage(), a, StrNLen(a, e.KeyLength()), wa, u"NullAnsiStrCompareKey");
    BytesToWide(e.CompareCodepage(), b, StrNLen(b, e.KeyLength()), wb, u"NullAnsiStrCompareKey");
    return Collate(e, wa, wb);
  }
  static int NullLocalePartial(const E& e, const uint8_t* a, const uint8_t* b, int32_t n) {
    WideText wa, wb;
    BytesToWide(e.CompareCodepage(), a, StrNLen(a, e.KeyLength()), wa, u"NullAnsiStrPartialCompareKeyMBCS");
    BytesToWide(e.CompareCodepage(), b, StrNLen(b, e.KeyLength()), wb, u"NullAnsiStrPartialCompareKeyMBCS");
    n = std::max(ResolvePartial(n, wa.Size(), wb.Size()), 0);
    wa.Truncate(static_cast<size_t>(KeepChars(wa.Data(), wa.Size(), n)));
    wb.Truncate(static_cast<size_t>(KeepChars(wb.Data(), wb.Size(), n)));
    return Collate(e, wa, wb);
  }

  // ---- WideString ----
  static int WideMax(const E& e) noexcept { return e.KeyLength() / 2 - 1; }
  template <bool CI>
  static int WideN(const uint8_t* a, const uint8_t* b, int n) {
    for (int i = 0; i < n; ++i) {
      uint16_t ca = platform::LoadU16(a + 2 * i), cb = platform::LoadU16(b + 2 * i);
      if (CI) {
        ca = AsciiUpperW(ca);
        cb = AsciiUpperW(cb);
      }
      if (ca != cb) return ca < cb ? -1 : 1;
      if (ca == 0) return 0;
    }
    return 0;
  }
  template <bool CI>
  static int Wide(const E& e, const uint8_t* a, const uint8_t* b) {
    return WideN<CI>(a, b, WideMax(e));
  }
  template <bool CI>
  static int WidePartial(const E& e, const uint8_t* a, const uint8_t* b, int32_t n) {
    const int max = WideMax(e);
    n = ResolvePartial(n, WStrNLen(a, max), WStrNLen(b, max));
    return WideN<CI>(a, b, std::clamp(n, 0, max));
  }
  // The whole value span in one copy, its last unit made the terminator:
  // no scan for the end before the collator's own, and never a read past
  // the key however the bytes came.
  static const char16_t* WholeWide(const E& e, const uint8_t* p, WideText& aOut) {
    const size_t units = static_cast<size_t>(e.KeyLength() / 2);
    if (units == 0) return u"";
    char16_t* d = aOut.Resize(units);
    std::memcpy(d, p, units * 2);
    d[units - 1] = 0;
    return d;
  }
  // A key's text read where it lies: aligned, and its last unit the zero
  // the copy would put there, so the collator stops inside the key at the
  // same place. Saves two copies per compare.
  static const char16_t* InPlaceWide(const E& e, const uint8_t* p) noexcept {
    const size_t units = static_cast<size_t>(e.KeyLength() / 2);
    if (units == 0 || reinterpret_cast<uintptr_t>(p) % alignof(char16_t) != 0 ||
        platform::LoadU16(p + 2 * (units - 1)) != 0)
      return nullptr;
    return reinterpret_cast<const char16_t*>(p);
  }
  static int WideLocale(const E& e, const uint8_t* a, const uint8_t* b) {
    const char16_t* ia = InPlaceWide(e, a);
    const char16_t* ib = InPlaceWide(e, b);
    if (ia && ib) return e.Collator()->Compare(ia, -1, ib, -1);
    WideText wa, wb;
    return e.Collator()->Compare(WholeWide(e, a, wa), -1, WholeWide(e, b, wb), -1);
  }
  static int WideLocalePartial(const E& e, const uint8_t* a, const uint8_t* b, int32_t n) {
    const int max = WideMax(e);
    const int la = WStrNLen(a, max), lb = WStrNLen(b, max);
    n = std::clamp(ResolvePartial(n, la, lb), 0, max);
    WideText wa, wb;
    LoadWide(a, std::min(la, n), wa);
    LoadWide(b, std::min(lb, n), wb);
    return Collate(e, wa, wb);
  }

  template <auto F>
  static int Neg(const E& e, const uint8_t* a, const uint8_t* b) {
    return -F(e, a, b);
  }
  template <auto F>
  static int NegPartial(const E& e, const uint8_t* a, const uint8_t* b, int32_t n) {
    return -F(e, a, b, n);
  }

  // ---- direct compares that build scratch keys ----
  static int FieldDirect(const E& e, const uint8_t* a, const uint8_t* b) {
    FieldScratch ka(e), kb(e);
    e.BuildKey(e, a, ka.Get());
    e.BuildKey(e, b, kb.Get());
    return e.CompareKey(e, ka.Get(), kb.Get());
  }
  static int PartialFieldDirect(const E& e, const uint8_t* a, const uint8_t* b, int32_t n) {
    FieldScratch ka(e), kb(e);
    e.BuildKey(e, a, ka.Get());
    e.BuildKey(e, b, kb.Get());
    return e.PartialCompareKey(e, ka.Get(), kb.Get(), n);
  }
  static int KeyToFieldDirect(const E& e, const uint8_t* aKey, const uint8_t* aField) {
    FieldScratch k(e);
    e.BuildKey(e, aField, k.Get());
    return e.CompareKey(e, aKey, k.Get());
  }
  static int PartialKeyToFieldDirect(const E& e, const uint8_t* aKey, const uint8_t* aField, int32_t n) {
    FieldScratch k(e);
    e.BuildKey(e, aField, k.Get());
    return e.PartialCompareKey(e, aKey, k.Get(), n);
  }

  // ---- key building ----
  static void Copy(const E& e, const uint8_t* f, uint8_t* k) {
    std::memcpy(k, f, static_cast<size_t>(e.BuildKeyLength()));
  }
  static void ShortCopy(const E& e, const uint8_t* f, uint8_t* k) {
    const int n = std::min<int>(f[0], e.BuildKeyLength() - 1);
    k[0] = static_cast<uint8_t>(n);
    std::memcpy(k + 1, f + 1, static_cast<size_t>(n));
  }
  static void NullCopy(const E& e, const uint8_t* f, uint8_t* k) {
    const int n = StrNLen(f, e.BuildKeyLength() - 1);
    std::memcpy(k, f, static_cast<size_t>(n));
    std::memset(k + n, 0, static_cast<size_t>(e.BuildKeyLength() - n));
  }
  static void WideCopy(const E& e, const uint8_t* f, uint8_t* k) {
    const int units = e.BuildKeyLength() / 2;
    const int n = WStrNLen(f, units - 1);
    std::memcpy(k, f, static_cast<size_t>(n) * 2);
    std::memset(k + 2 * n, 0, static_cast<size_t>(units - n) * 2);
  }
  // Text into another code page (or the same, cut to KeyChars characters):
  // whole characters that fit.
  static void ShortRecode(const E& e, const uint8_t* f, uint8_t* k, uint32_t aTarget, const char16_t* aRoutine) {
    const int len = std::min<int>(f[0], e.FieldLength() - 1);
    WideText w;
    BytesToWide(e.StorageCodepage(), f + 1, len, w, aRoutine);
    const int keep = KeepChars(w.Data(), w.Size(), e.KeyChars());
    k[0] = static_cast<uint8_t>(WideToBytes(e, aTarget, w.Data(), keep, k + 1, std::min(e.KeyLength() - 1, 255)));
  }
  static void ShortConvert(const E& e, const uint8_t* f, uint8_t* k) {
    ShortRecode(e, f, k, e.CompareCodepage(), u"ShortStrBuildKeyConvert");
  }
  static void ShortTruncate(const E& e, const uint8_t* f, uint8_t* k) {
    ShortRecode(e, f, k, e.StorageCodepage(), u"ShortStrBuildKeyTruncate");
  }
  static void NullRecode(const E& e, const uint8_t* f, uint8_t* k, uint32_t aTarget, const char16_t* aRoutine) {
    WideText w;
    BytesToWide(e.StorageCodepage(), f, StrNLen(f, e.FieldLength()), w, aRoutine);
    const int keep = KeepChars(w.Data(), w.Size(), e.KeyChars());
    const int n = WideToBytes(e, aTarget, w.Data(), keep, k, e.KeyLength() - 1);
    std::memset(k + n, 0, static_cast<size_t>(e.KeyLength() - n));
  }
  static void NullConvert(const E& e, const uint8_t* f, uint8_t* k) {
    NullRecode(e, f, k, e.CompareCodepage(), u"NullStrBuildKeyConvert");
  }
  static void NullTruncate(const E& e, const uint8_t* f, uint8_t* k) {
    NullRecode(e, f, k, e.StorageCodepage(), u"NullStrBuildKeyTruncate");
  }

  static uint32_t CopyBack(const E& e, const uint8_t* k, uint8_t* f) {
    std::memcpy(f, k, static_cast<size_t>(e.BuildKeyLength()));
    return 0;
  }
  static uint32_t NoKeyToRecord(const E&, const uint8_t*, uint8_t*) { return nxeCapabilityNotSupported; }
  static void AsVariant(const E& e, const uint8_t* k, platform::TnxVariant& v) {
    nxNativeToVariant(e.FieldType(), e.CompareCodepage(), e.KeyUnits(), v, e.KeyLength(), k, e.FieldDecPl());
  }

  // ---- the named descendants ----
  static void NumbersOnly(const E& e, const uint8_t* f, uint8_t* k) {
    switch (e.FieldType()) {
      case nxtShortString: {
        std::memset(k, 0, static_cast<size_t>(e.BuildKeyLength()));
        const int len = std::min<int>(f[0], e.FieldLength() - 1);
        int n = 0;
        for (int i = 0; i < len && n < e.BuildKeyLength() - 1; ++i)
          if (f[1 + i] >= '0' && f[1 + i] <= '9') k[1 + n++] = f[1 + i];
        k[0] = static_cast<uint8_t>(n);
        break;
      }
      case nxtNullString: {
        const int len = StrNLen(f, e.FieldLength());
        int n = 0;
        for (int i = 0; i < len && n < e.BuildKeyLength() - 1; ++i)
          if (f[i] >= '0' && f[i] <= '9') k[n++] = f[i];
        std::memset(k + n, 0, static_cast<size_t>(e.BuildKeyLength() - n));
        break;
      }
      default: {  // nxtWideString
        const int len = WStrNLen(f, e.FieldLength() / 2);
        const int max = e.BuildKeyLength() / 2 - 1;
        int n = 0;
        for (int i = 0; i < len && n < max; ++i) {
          const uint16_t c = platform::LoadU16(f + 2 * i);
          if (c >= u'0' && c <= u'9') platform::StoreU16(k + 2 * n++, c);
        }
        std::memset(k + 2 * n, 0, static_cast<size_t>(e.BuildKeyLength() - 2 * n));
        break;
      }
    }
  }
  // A date-time field holds milliseconds since day 1 as a double. Values
  // outside the calendar (years 1 to 9999) stay as they are, as does NaN:
  // they keep their own place in the order.
  static constexpr double kDayAfterLast = 3652060;  // 10000-01-01
  static bool SplitMs(double aMs, int64_t& aDay) {
    if (!std::isfinite(aMs)) return false;
    const double r = std::nearbyint(aMs);
    if (r < 0 || r >= kDayAfterLast * double{platform::MSecsPerDay}) return false;
    aDay = static_cast<int64_t>(r) / platform::MSecsPerDay;
    return true;
  }
  static void DateOnly(const E&, const uint8_t* f, uint8_t* k) {
    double ms = Ld<double>(f);
    int64_t day;
    if (SplitMs(ms, day)) ms = static_cast<double>(day * platform::MSecsPerDay);
    std::memcpy(k, &ms, 8);
  }
  static void DateOnlyProcess(const E& e, const uint8_t* f, uint8_t* k) {
    double ms = Ld<double>(f);
    int64_t day;
    if (SplitMs(ms, day)) {
      const auto& p = static_cast<const TnxDateOnlyProcessCKFE&>(e);
      ms = static_cast<double>(int64_t{p.ProcessDate(static_cast<int32_t>(day))} * platform::MSecsPerDay);
    }
    std::memcpy(k, &ms, 8);
  }
};

using R = KeyFieldRoutines;

namespace {

template <auto F>
E::TCompare Pick(bool aDescending) {
  return aDescending ? &R::Neg<F> : F;
}
template <auto F>
E::TPartialCompare PickPartial(bool aDescending) {
  return aDescending ? &R::NegPartial<F> : F;
}

const TnxKeyFieldEngineClass* FindKeyFieldEngineClass(std::u16string_view aName) {
  const TnxKeyFieldEngineClass& root = TnxCompositeKeyFieldEngine::ClassInfo();
  return nxFindClassAs<TnxKeyFieldEngineClass>(root, aName.empty() ? root.Name : aName);
}

const TnxKeyFieldEngineClass& EngineClassOf(TnxKeyFieldDescriptor& aDescriptor) {
  const TnxKeyFieldEngineClass* cls = FindKeyFieldEngineClass(aDescriptor.KeyFieldEngine());
  if (!cls || !cls->Create)
    throw EnxCompositeKeyFieldEngineException(nxeSubEngineNotSupported,
                                              u"CompositeKeyFieldEngine \"%s\" is not registered",
                                              {aDescriptor.KeyFieldEngine()});
  return *cls;
}

}  // namespace

TnxCompositeKeyFieldEngine::TnxCompositeKeyFieldEngine(TnxKeyFieldDescriptor& aDescriptor) {
  KeySameAsRecordFormat = true;
  KeyAsVariant = &R::AsVariant;
  CompareFieldDirect = &R::FieldDirect;
  PartialCompareFieldDirect = &R::PartialFieldDirect;
  CompareKeyToFieldDirect = &R::KeyToFieldDirect;
  PartialCompareKeyToFieldDirect = &R::PartialKeyToFieldDirect;
  ckfeKeyChars = aDescriptor.KeyChars();

  ckfeDescending = !aDescriptor.Ascend();
  switch (aDescriptor.NullBehaviour()) {
    case nbBottom: InvertNull = true; break;
    case nbAsAscend: InvertNull = ckfeDescending; break;
    case nbFilterNull: FilterNull = true; break;
    case nbFilterNonNull: FilterNonNull = true; break;
    case nbTop: break;
  }

  TnxFieldDescriptor* field = aDescriptor.Field();
  if (!field)
    throw EnxCompositeKeyFieldEngineException(nxeInvalidParameter, u"Key field without field: %d",
                                              {aDescriptor.FieldNumber()});
  ckfeFieldName = field->Name();
  ckfeFieldType = field->FieldType();
  ckfeFieldDecPl = field->DecPl();
  ckfeFieldLength = field->Length();
  ckfeFieldOffset = field->Offset();
  ckfeFieldNumber = field->Number();
  ckfeFieldUnits = field->Units();
  ckfeKeyUnits = ckfeFieldType == nxtShortString || ckfeFieldType == nxtNullString || ckfeFieldType == nxtWideString
                     ? ckfeKeyChars
                     : field->Units();
  if (TnxLocaleDescriptor* fieldLocale = field->GetUsedLocaleDescriptor())
    ckfeStorageCodepage = static_cast<uint16_t>(fieldLocale->GetStorageCodepage());

  const int64_t keyLength = aDescriptor.KeyLength();
  if (keyLength <= 0 || keyLength > nxMax16BitLength)
    throw EnxCompositeKeyFieldEngineException(nxeInvalidParameter, u"Invalid key length of field %s: %d",
                                              {ckfeFieldName, keyLength});
  ckfeKeyLength = static_cast<int32_t>(keyLength);
  ckfeBuildKeyLength = std::min(ckfeKeyLength, ckfeFieldLength);

  ckfeLocaleDescriptor = aDescriptor.GetUsedLocaleDescriptor();
  if (auto* text = dynamic_cast<TnxTextKeyFieldDescriptor*>(&aDescriptor); text && text->IgnoreCase()) {
    ckfeCaseInsensitive = true;
    ckfeCompareFlags |= platform::NORM_IGNORECASE;
  }
  if (ckfeLocaleDescriptor) {
    ckfeLocale = ckfeLocaleDescriptor->Locale();
    ckfeCompareCodepage = static_cast<uint16_t>(ckfeLocaleDescriptor->GetCompareCodepage());
    if (!ckfeLocaleDescriptor->GetCurrentLocaleVersionEqualToBuildVersion())
      ckfeNLSVersionChanged = IsTextType(ckfeFieldType) || ckfeFieldType == nxtBlobMemo ||
                              ckfeFieldType == nxtBlobWideMemo;
    ckfeCompareFlags |= ckfeLocaleDescriptor->GetFlags();
  }

  if (ckfeLocale != 0) {
    ckfeUseByteOrder = false;
  } else if (ckfeFieldType == nxtWideChar || ckfeFieldType == nxtWideString) {
    TnxPersistent* dictionary = nullptr;
    if (aDescriptor.FindParentOfType(TnxDataDictionary::ClassInfo(), dictionary))
      ckfeUseByteOrder = static_cast<TnxDataDictionary*>(dictionary)->UseByteOrderForWideString();
    else
      ckfeUseByteOrder = !nxDisable30900LocaleFixes();
  }
  if (!ckfeUseByteOrder && IsTextType(ckfeFieldType)) {
    // Without a locale, the root collation: its order is the same on every
    // machine, whatever the process's locale.
    const uint32_t locale = ckfeLocale != 0 ? ckfeLocale : platform::LOCALE_INVARIANT;
    ckfeCollator = platform::TLocaleCollator::Open(locale, ckfeCompareFlags);
    if (!ckfeCollator) nxRaiseLastOSError(u"TnxCompositeKeyFieldEngine/ucol_open", 0);
  }

  ckfeConversionNeeded = ckfeStorageCodepage != 0 && ckfeCompareCodepage != 0 &&
                         ckfeStorageCodepage != ckfeCompareCodepage;
  auto multiByte = [](uint16_t aCodePage) {
    if (aCodePage == 0) return false;
    const int size = platform::CodePageMaxCharSize(aCodePage);
    if (size == 0) {
      platform::SetLastOSError(EINVAL);
      nxRaiseLastOSError(u"TnxCompositeKeyFieldEngine/GetCPInfo", 0);
    }
    return size > 1;
  };
  ckfeStorageMBCS = multiByte(ckfeStorageCodepage);
  ckfeCompareMBCS = multiByte(ckfeCompareCodepage);

  ChooseCompare(aDescriptor);
  KeyToRecord = &R::NoKeyToRecord;
  ChooseBuildKey();
  if (KeySameAsRecordFormat) {
    KeyToRecord = &R::CopyBack;
    if (ckfeKeyLength == ckfeFieldLength) {
      CompareFieldDirect = CompareKeyToFieldDirect = CompareKey;
      PartialCompareFieldDirect = PartialCompareKeyToFieldDirect = PartialCompareKey;
    }
  }
  if (!PartialCompareKey) PartialCompareFieldDirect = PartialCompareKeyToFieldDirect = nullptr;
  ckfeAllocator = nxGetMemoryPool(static_cast<uint32_t>(ckfeKeyLength));
}

TnxCompositeKeyFieldEngine::~TnxCompositeKeyFieldEngine() = default;

void TnxCompositeKeyFieldEngine::ChooseCompare(TnxKeyFieldDescriptor& aDescriptor) {
  const bool d = ckfeDescending;
  const bool ci = ckfeCaseInsensitive;
  const bool bo = ckfeUseByteOrder;
  switch (ckfeFieldType) {
    case nxtBoolean: CompareKey = Pick<&R::Bool>(d); break;
    case nxtChar:
      CompareKey = bo ? (ci ? Pick<&R::CharI>(d) : Pick<&R::Char>(d)) : Pick<&R::CharLocale>(d);
      break;
    case nxtWideChar:
      CompareKey = bo ? (ci ? Pick<&R::WideCharI>(d) : Pick<&R::WideChar>(d)) : Pick<&R::WideCharLocale>(d);
      break;
    case nxtByte: CompareKey = Pick<&R::Num<uint8_t>>(d); break;
    case nxtWord16: CompareKey = Pick<&R::Num<uint16_t>>(d); break;
    case nxtWord32: case nxtAutoInc: case nxtRecRev: CompareKey = Pick<&R::Num<uint32_t>>(d); break;
    case nxtInt8: CompareKey = Pick<&R::Num<int8_t>>(d); break;
    case nxtInt16: CompareKey = Pick<&R::Num<int16_t>>(d); break;
    case nxtInt32: case nxtDate: case nxtTime:
      CompareKey = Pick<&R::Num<int32_t>>(d);
      ckfeInlineCompare = icInt32;
      break;
    case nxtInt64: case nxtRefNr: case nxtCurrency: case nxtBCD:
      CompareKey = Pick<&R::Num<int64_t>>(d);
      ckfeInlineCompare = icInt64;
      break;
    case nxtSingle: CompareKey = Pick<&R::Float<float>>(d); break;
    case nxtDouble: case nxtDateTime: case nxtInterval: CompareKey = Pick<&R::Float<double>>(d); break;
    case nxtExtended: CompareKey = Pick<&R::Extended>(d); break;
    case nxtByteArray:
      CompareKey = Pick<&R::Bytes>(d);
      PartialCompareKey = PickPartial<&R::BytesPartial>(d);
      break;
    case nxtGuid:
      CompareKey = dynamic_cast<TnxTextKeyFieldDescriptor*>(&aDescriptor) ? Pick<&R::GuidText>(d) : Pick<&R::Bytes>(d);
      break;
    case nxtFmtBCD: CompareKey = Pick<&R::FmtBcd>(d); break;
    case nxtShortString:
      if (bo) {
        CompareKey = ci ? Pick<&R::ShortI>(d) : Pick<&R::Short>(d);
        if (!ci) ckfeInlineCompare = icShortString;
        PartialCompareKey = ci ? PickPartial<&R::ShortPartialI>(d) : PickPartial<&R::ShortPartial>(d);
      } else {
        CompareKey = Pick<&R::ShortLocale>(d);
        PartialCompareKey = PickPartial<&R::ShortLocalePartial>(d);
      }
      break;
    case nxtNullString:
      if (bo) {
        CompareKey = ci ? Pick<&R::Null<true>>(d) : Pick<&R::Null<false>>(d);
        PartialCompareKey = ci ? PickPartial<&R::NullPartial<true>>(d) : PickPartial<&R::NullPartial<false>>(d);
      } else {
        CompareKey = Pick<&R::NullLocale>(d);
        PartialCompareKey = PickPartial<&R::NullLocalePartial>(d);
      }
      break;
    case nxtWideString:
      if (bo) {
        CompareKey = ci ? Pick<&R::Wide<true>>(d) : Pick<&R::Wide<false>>(d);
        PartialCompareKey = ci ? PickPartial<&R::WidePartial<true>>(d) : PickPartial<&R::WidePartial<false>>(d);
      } else {
        CompareKey = Pick<&R::WideLocale>(d);
        PartialCompareKey = PickPartial<&R::WideLocalePartial>(d);
      }
      break;
    default:
      throw EnxCompositeKeyFieldEngineException(nxeCapabilityNotSupported,
                                                u"FieldType \"%s\" not supported by TnxCompositeKeyFieldEngine",
                                                {nxFieldTypeNames[ckfeFieldType]});
  }
}

void TnxCompositeKeyFieldEngine::ChooseBuildKey() {
  const bool shorter = ckfeKeyChars < ckfeFieldUnits;
  switch (ckfeFieldType) {
    case nxtShortString:
      BuildKey = &R::ShortCopy;
      if (ckfeConversionNeeded) {
        BuildKey = &R::ShortConvert;
        KeySameAsRecordFormat = false;
      } else if (shorter) {
        if (ckfeStorageMBCS)
          BuildKey = &R::ShortTruncate;
        else
          ckfeBuildKeyLength = std::min(ckfeKeyChars + 1, ckfeKeyLength);
        KeySameAsRecordFormat = false;
      }
      break;
    case nxtNullString:
      BuildKey = &R::NullCopy;
      if (ckfeConversionNeeded) {
        BuildKey = &R::NullConvert;
        KeySameAsRecordFormat = false;
      } else if (shorter) {
        if (ckfeStorageMBCS)
          BuildKey = &R::NullTruncate;
        else
          ckfeBuildKeyLength = std::min(ckfeKeyChars + 1, ckfeKeyLength);
        KeySameAsRecordFormat = false;
      }
      break;
    case nxtWideString:
      BuildKey = &R::WideCopy;
      if (shorter) {
        ckfeBuildKeyLength = std::min((ckfeKeyChars + 1) * 2, ckfeKeyLength);
        KeySameAsRecordFormat = false;
      }
      break;
    default: BuildKey = &R::Copy; break;
  }
}

void TnxCompositeKeyFieldEngine::ReplaceBuildKey(TBuildKey aBuildKey) noexcept {
  BuildKey = aBuildKey;
  KeySameAsRecordFormat = false;
  KeyToRecord = &R::NoKeyToRecord;
  CompareFieldDirect = &R::FieldDirect;
  CompareKeyToFieldDirect = &R::KeyToFieldDirect;
  if (PartialCompareKey) {
    PartialCompareFieldDirect = &R::PartialFieldDirect;
    PartialCompareKeyToFieldDirect = &R::PartialKeyToFieldDirect;
  }
}

std::array<uint8_t, 4> TnxCompositeKeyFieldEngine::CollationVersion() const noexcept {
  return ckfeCollator ? ckfeCollator->Version() : std::array<uint8_t, 4>{};
}

bool TnxCompositeKeyFieldEngine::SupportsFieldType(TnxFieldType aFieldType) noexcept {
  return (aFieldType <= nxtInterval) || (aFieldType >= nxtByteArray && aFieldType <= nxtGuid);
}

std::unique_ptr<TnxCompositeKeyFieldEngine> TnxCompositeKeyFieldEngine::CreateEngine(
    TnxKeyFieldDescriptor& aDescriptor) {
  return EngineClassOf(aDescriptor).Create(aDescriptor);
}

void TnxCompositeKeyFieldEngine::CheckValidBase(TnxKeyFieldDescriptor& aDescriptor) {
  EngineClassOf(aDescriptor).Create(aDescriptor);
}

bool TnxCompositeKeyFieldEngine::CheckSupportsFieldType(std::u16string_view aEngineName, TnxFieldType aFieldType) {
  const TnxKeyFieldEngineClass* cls = FindKeyFieldEngineClass(aEngineName);
  return cls && cls->SupportsFieldType && cls->SupportsFieldType(aFieldType);
}

std::u16string TnxCompositeKeyFieldEngine::RegisteredEngines() {
  std::vector<TnxRegisteredClassEntry> entries;
  ClassInfo().GetRegistered(entries, true);
  std::u16string s;
  for (const auto& e : entries) {
    if (!s.empty()) s += u',';
    s += e.Name;
  }
  return s;
}

// ---- descendants ----

TnxNumbersOnlyCKFE::TnxNumbersOnlyCKFE(TnxKeyFieldDescriptor& aDescriptor)
    : TnxCompositeKeyFieldEngine(aDescriptor) {
  if (!SupportsFieldType(FieldType()))
    throw EnxCompositeKeyFieldEngineException(nxeCapabilityNotSupported,
                                              u"FieldType \"%s\" not supported by TnxNumbersOnlyCKFE",
                                              {nxFieldTypeNames[FieldType()]});
  ReplaceBuildKey(&R::NumbersOnly);
}

bool TnxNumbersOnlyCKFE::SupportsFieldType(TnxFieldType aFieldType) noexcept {
  return aFieldType == nxtShortString || aFieldType == nxtNullString || aFieldType == nxtWideString;
}

TnxDateOnlyCKFE::TnxDateOnlyCKFE(TnxKeyFieldDescriptor& aDescriptor) : TnxCompositeKeyFieldEngine(aDescriptor) {
  if (!SupportsFieldType(FieldType()))
    throw EnxCompositeKeyFieldEngineException(nxeCapabilityNotSupported,
                                              u"FieldType \"%s\" not supported by TnxDateOnlyCKFE",
                                              {nxFieldTypeNames[FieldType()]});
  ReplaceBuildKey(&R::DateOnly);
}

bool TnxDateOnlyCKFE::SupportsFieldType(TnxFieldType aFieldType) noexcept { return aFieldType == nxtDateTime; }

TnxDateOnlyProcessCKFE::TnxDateOnlyProcessCKFE(TnxKeyFieldDescriptor& aDescriptor)
    : TnxCompositeKeyFieldEngine(aDescriptor) {
  if (!SupportsFieldType(FieldType()))
    throw EnxCompositeKeyFieldEngineException(nxeCapabilityNotSupported,
                                              u"FieldType \"%s\" not supported by TnxDateOnlyProcessCKFE",
                                              {nxFieldTypeNames[FieldType()]});
  ReplaceBuildKey(&R::DateOnlyProcess);
}

bool TnxDateOnlyProcessCKFE::SupportsFieldType(TnxFieldType aFieldType) noexcept {
  return aFieldType == nxtDateTime;
}

int32_t TnxDateOnlyWeekCKFE::ProcessDate(int32_t aDayNumber) const noexcept {
  return aDayNumber < 8 ? 1 : aDayNumber - (aDayNumber - 1) % 7;
}

namespace {

// Day number (1 = 1 January of year 1) as a date, and back.
void DayToDate(int32_t aDay, int& aYear, int& aMonth, int& aDayOfMonth) {
  platform::DecodeDate(static_cast<double>(aDay - platform::DateDelta), aYear, aMonth, aDayOfMonth);
}
int32_t DateToDay(int aYear, int aMonth, int aDay) {
  return static_cast<int32_t>(platform::EncodeDate(aYear, aMonth, aDay)) + platform::DateDelta;
}

}  // namespace

int32_t TnxDateOnlyMonthCKFE::ProcessDate(int32_t aDayNumber) const noexcept {
  if (aDayNumber < 32) return 1;
  int y, m, d;
  DayToDate(aDayNumber, y, m, d);
  return DateToDay(y, m, 1);
}

int32_t TnxDateOnlyYearCKFE::ProcessDate(int32_t aDayNumber) const noexcept {
  if (aDayNumber < 366) return 1;
  int y, m, d;
  DayToDate(aDayNumber, y, m, d);
  return DateToDay(y, 1, 1);
}

}  // namespace revurov
