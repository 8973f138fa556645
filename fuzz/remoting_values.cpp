// Values of a remote call as a peer sends them: a routing path, a variant,
// error information or a typed value of a kind the first byte picks. The
// readers raise only the tagged stream's errors or answer a code; a value
// they accept is within its type, travels again, and reads back to the
// same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/error_info.h"
#include "platform/rtl_exception.h"
#include "transport/remoting/interfaced_filer.h"
#include "transport/remoting/startup.h"
#include "transport/remoting/value_marshalling.h"

namespace revurov::fuzz {

namespace {

using platform::HRESULT;
using platform::S_OK;
using platform::TnxVariant;

std::string WrittenBy(const std::function<HRESULT(InxWriter&)>& aWrite, HRESULT& aResult) {
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    TnxInterfacedWriter writer(w);
    aResult = aWrite(writer);
  }
  return std::string(reinterpret_cast<const char*>(s.ByteArray()), static_cast<size_t>(s.GetSize()));
}

// What a value that was accepted once must do again.
std::string WrittenOk(const std::function<HRESULT(InxWriter&)>& aWrite) {
  HRESULT hr = S_OK;
  std::string bytes = WrittenBy(aWrite, hr);
  if (hr != S_OK) std::abort();
  return bytes;
}

// aLeft gets the bytes the reader did not take.
HRESULT ReadBy(std::string_view aBytes, const std::function<HRESULT(InxReader&)>& aRead, int64_t* aLeft = nullptr) {
  std::string copy(aBytes);
  TnxStaticMemoryStream s(copy.data(), static_cast<int64_t>(copy.size()));
  TnxReader r(s);
  TnxInterfacedReader reader(r);
  const HRESULT hr = aRead(reader);
  if (aLeft) *aLeft = r.BytesLeft();
  return hr;
}

// Reads the bytes of a value that was written whole: all of them, S_OK.
void ReadAllOk(std::string_view aBytes, const std::function<HRESULT(InxReader&)>& aRead) {
  int64_t left = -1;
  if (ReadBy(aBytes, aRead, &left) != S_OK || left != 0) std::abort();
}

// ---- what an accepted value of each type must satisfy ----

template <class T>
bool WithinType(const T&) {
  return true;
}
template <int N>
bool WithinType(const TnxShortString<N>& aValue) {
  return aValue.ssLength <= N;
}
bool WithinType(const bool& aValue) {
  uint8_t raw;
  std::memcpy(&raw, &aValue, 1);
  return raw <= 1;
}
template <class T>
bool WithinType(const std::vector<T>& aValue) {
  for (const T& e : aValue)
    if (!WithinType(e)) return false;
  return true;
}

enum class TFuzzColour : uint8_t { Red, Green, Blue };

}  // namespace
}  // namespace revurov::fuzz

REVUROV_ENUM_RANGE(revurov::fuzz::TFuzzColour, revurov::fuzz::TFuzzColour::Red, revurov::fuzz::TFuzzColour::Blue);

namespace revurov::fuzz {
namespace {

bool WithinType(const TFuzzColour& aValue) { return static_cast<uint8_t>(aValue) <= 2; }

// ---- the readers ----

struct TKind {
  void (*Run)(std::string_view aBytes);
  std::function<std::vector<std::string>()> Samples;
};

template <class T>
void RunTyped(std::string_view aBytes) {
  const TnxTypeInfo& type = nxTypeInfo<T>();
  T value{};
  try {
    if (ReadBy(aBytes, [&](InxReader& r) { return nxReadTypedValue(r, type, &value); }) != S_OK) return;
  } catch (const platform::Exception&) {
    return;
  }
  if (!WithinType(value)) std::abort();
  const std::string first = WrittenOk([&](InxWriter& w) { return nxWriteTypedValue(w, type, &value); });
  T back{};
  ReadAllOk(first, [&](InxReader& r) { return nxReadTypedValue(r, type, &back); });
  if (WrittenOk([&](InxWriter& w) { return nxWriteTypedValue(w, type, &back); }) != first) std::abort();
  T copy{};
  if (nxCopyTypedValue(type, &value, &copy) != S_OK) std::abort();
  if (WrittenOk([&](InxWriter& w) { return nxWriteTypedValue(w, type, &copy); }) != first) std::abort();
}

template <class T>
TKind Typed(std::vector<T> aSamples) {
  return {&RunTyped<T>, [aSamples] {
            std::vector<std::string> out;
            for (const T& v : aSamples)
              out.push_back(WrittenOk([&](InxWriter& w) { return nxWriteTypedValue(w, nxTypeInfo<T>(), &v); }));
            return out;
          }};
}

void RunRoutingPath(std::string_view aBytes) {
  TnxRoutingPath path;
  try {
    ReadBy(aBytes, [&](InxReader& r) {
      nxReadRoutingPath(r, path);
      return S_OK;
    });
  } catch (const platform::Exception&) {
    return;
  }
  const auto write = [](const TnxRoutingPath& aPath) {
    return [&aPath](InxWriter& w) {
      nxWriteRoutingPath(w, aPath);
      return S_OK;
    };
  };
  const std::string first = WrittenOk(write(path));
  TnxRoutingPath back{{}};
  ReadAllOk(first, [&](InxReader& r) {
    nxReadRoutingPath(r, back);
    return S_OK;
  });
  if (back != path) std::abort();
}

void RunVariant(std::string_view aBytes) {
  TnxVariant value;
  try {
    if (ReadBy(aBytes, [&](InxReader& r) { return nxReadVariant(value, r); }) != S_OK) return;
  } catch (const platform::Exception&) {
    return;
  }
  const std::string first = WrittenOk([&](InxWriter& w) { return nxWriteVariant(value, w); });
  TnxVariant back;
  ReadAllOk(first, [&](InxReader& r) { return nxReadVariant(back, r); });
  if (WrittenOk([&](InxWriter& w) { return nxWriteVariant(back, w); }) != first) std::abort();
}

void RunErrorInfo(std::string_view aBytes) {
  platform::TInterfacePtr<platform::IErrorInfo> info;
  try {
    if (ReadBy(aBytes, [&](InxReader& r) { return nxReadErrorInfo(r, info); }) != S_OK) return;
  } catch (const platform::Exception&) {
    return;
  }
  const std::string first = WrittenOk([&](InxWriter& w) { return nxWriteErrorInfo(w, info.Get()); });
  platform::TInterfacePtr<platform::IErrorInfo> back;
  ReadAllOk(first, [&](InxReader& r) { return nxReadErrorInfo(r, back); });
  if (static_cast<bool>(back) != static_cast<bool>(info)) std::abort();
  if (WrittenOk([&](InxWriter& w) { return nxWriteErrorInfo(w, back.Get()); }) != first) std::abort();
}

std::vector<std::string> PathSamples() {
  const platform::TGUID a = platform::nxGuid("{01020304-0506-0708-090A-0B0C0D0E0F10}");
  const platform::TGUID b = platform::nxGuid("{A1A2A3A4-B1B2-C1C2-D1D2-D3D4D5D6D7D8}");
  std::vector<std::string> out;
  for (const TnxRoutingPath& path : {TnxRoutingPath{}, TnxRoutingPath{{a, b}}, TnxRoutingPath{{a, b}, {b, a}}})
    out.push_back(WrittenOk([&](InxWriter& w) {
      nxWriteRoutingPath(w, path);
      return S_OK;
    }));
  return out;
}

TnxVariant ArrayOf(std::vector<std::pair<int32_t, int32_t>> aBounds, platform::TVarType aType,
                   const std::function<TnxVariant(size_t)>& aElement) {
  TnxVariant a = TnxVariant::VarArrayCreate(aBounds, aType);
  for (size_t i = 0; i < a.VarArrayElementCount(); ++i) a.ElementAt(i) = aElement(i);
  return a;
}

std::vector<std::string> VariantSamples() {
  const std::vector<TnxVariant> values = {
      TnxVariant(),
      TnxVariant::Null(),
      TnxVariant::FromInteger(5),
      TnxVariant::FromDouble(-2.25e300),
      TnxVariant::FromCurrency(-123456789),
      TnxVariant::FromDate(45000.5),
      TnxVariant::FromOleStr(u"Gr\u00FC\u00DFe"),
      TnxVariant::FromBoolean(true),
      TnxVariant::Decimal(),
      TnxVariant::FromInt64(INT64_MIN),
      TnxVariant::FromUInt64(UINT64_MAX),
      TnxVariant::FromAnsiString("Stra\xDF" "e"),
      TnxVariant::FromString(u"\u00E4\U0001F600"),
      TnxVariant::FromDispatch(nullptr),
      ArrayOf({{0, 1}, {0, 2}}, platform::varInteger, [](size_t i) { return TnxVariant::FromInteger(int32_t(i)); }),
      ArrayOf({{-1, 1}}, platform::varVariant,
              [](size_t i) {
                return i == 0   ? TnxVariant::FromString(u"ab")
                       : i == 1 ? ArrayOf({{0, 1}}, platform::varWord, [](size_t k) { return TnxVariant::FromWord(uint16_t(k)); })
                                : TnxVariant::Null();
              }),
      ArrayOf({{0, 1}, {0, 1}, {0, 1}}, platform::varOleStr, [](size_t i) { return TnxVariant::FromOleStr(std::u16string(i, u'o')); }),
  };
  std::vector<std::string> out;
  for (const TnxVariant& v : values) out.push_back(WrittenOk([&](InxWriter& w) { return nxWriteVariant(v, w); }));
  // By reference, nested: arrives plain.
  out.push_back(std::string("\x03\x0C\x40\x03\x0C\x40\x02\x08\x06\x01q", 11));
  return out;
}

std::vector<std::string> ErrorInfoSamples() {
  auto created = platform::nxCreateErrorInfo();
  created->SetGUID(platform::nxGuid("{01020304-0506-0708-090A-0B0C0D0E0F10}"));
  created->SetSource(u"Quelle");
  created->SetDescription(u"Fehler");
  created->SetHelpFile(u"hilfe.chm");
  created->SetHelpContext(300);
  const auto info = platform::Supports<platform::IErrorInfo>(created);
  return {WrittenOk([&](InxWriter& w) { return nxWriteErrorInfo(w, info.Get()); }),
          WrittenOk([&](InxWriter& w) { return nxWriteErrorInfo(w, nullptr); })};
}

const std::vector<TKind>& Kinds() {
  static const std::vector<TKind> kinds = [] {
    TnxShortString<10> hi;
    hi.Assign("Hi");
    TnxShortString<2> ab;
    ab.Assign("ab");
    TnxSet<7, 8> set;
    set.Include(8);
    TnxSet<0, 255> wide;
    wide.Include(0);
    wide.Include(255);
    return std::vector<TKind>{
        {&RunRoutingPath, PathSamples},
        {&RunVariant, VariantSamples},
        {&RunErrorInfo, ErrorInfoSamples},
        Typed<int32_t>({INT32_MIN, 7}),
        Typed<uint8_t>({255}),
        Typed<uint32_t>({0xFFFFFFFFu}),
        Typed<int64_t>({INT64_MIN}),
        Typed<bool>({true}),
        Typed<TFuzzColour>({TFuzzColour::Blue}),
        Typed<char16_t>({u'\u20AC'}),
        Typed<float>({1.25f}),
        Typed<long double>({1.0L / 3}),
        Typed<TnxCurrency>({TnxCurrency{-9223372036854775807LL}}),
        Typed<TnxComp>({TnxComp{INT64_MIN}}),
        Typed<TnxShortString<10>>({hi}),
        Typed<TnxSet<7, 8>>({set}),
        Typed<TnxSet<0, 255>>({wide}),
        Typed<std::string>({"Stra\xDF" "e \x80"}),
        Typed<TnxOleString>({TnxOleString{u"Gr\u00FC\u00DFe"}}),
        Typed<std::u16string>({u"\U0001F600 x"}),
        Typed<TnxVariant>({TnxVariant::FromOleStr(u"v")}),
        Typed<platform::TGUID>({platform::nxGuid("{01234567-89AB-CDEF-0123-456789ABCDEF}")}),
        Typed<std::vector<int32_t>>({{1, -2, 3}, {}}),
        Typed<std::vector<std::u16string>>({{u"a", u"", u"\u00E9"}}),
        Typed<std::vector<TnxShortString<2>>>({{ab, TnxShortString<2>{}}}),
        Typed<std::vector<TFuzzColour>>({{TFuzzColour::Red, TFuzzColour::Blue}}),
        Typed<std::vector<std::vector<int16_t>>>({{{1, 2}, {}, {3}}}),
        Typed<std::vector<TnxVariant>>({{TnxVariant::Null(), TnxVariant::FromInt64(7)}}),
        Typed<std::vector<long double>>({{1.5L, -2.0L / 3}}),
    };
  }();
  return kinds;
}

}  // namespace

// Shut down again at exit, before the leak check looks.
void SetUp() { static TnxRemotingStartupGuard remoting; }

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  for (size_t i = 0; i < Kinds().size(); ++i)
    for (const std::string& sample : Kinds()[i].Samples()) seeds.push_back(std::string(1, static_cast<char>(i)) + sample);
  return seeds;
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  std::string_view in = fuzz::Bytes(aData, aSize);
  const auto& kinds = fuzz::Kinds();
  kinds[fuzz::TakeByte(in) % kinds.size()].Run(in);
  return 0;
}
