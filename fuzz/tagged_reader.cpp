// The tagged value reader on any bytes: every value kind read by the
// reading its tag asks for, and now and then by another, until the stream
// ends or raises. Bad input raises the library's exceptions; anything else
// (a crash, a sanitizer report, another exception) is a fault.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/startup.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/rtl_exception.h"

namespace revurov::fuzz {

namespace {

std::string Written(void (*aWrite)(TnxWriter&)) {
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    aWrite(w);
  }
  return std::string(reinterpret_cast<const char*>(s.ByteArray()), static_cast<size_t>(s.GetSize()));
}

void ReadOne(TnxReader& r, uint8_t aChoice) {
  const TValueType tag = r.NextValue();
  // One in eight values is read by a reader chosen from the input instead.
  const uint8_t kind = (aChoice & 7) == 0 ? static_cast<uint8_t>(aChoice >> 3) % 22 : tag;
  switch (kind) {
    case vaNull: r.ReadListEnd(); break;
    case vaList: r.ReadListBegin(); break;
    case vaInt8: case vaInt16: case vaInt32: case vaInt64: (void)r.ReadInt64(); break;
    case vaExtended: (void)r.ReadFloat(); break;
    case vaString: case vaLString: case vaWString: case vaUTF8String: (void)r.ReadString(); break;
    case vaIdent: case vaNil: (void)r.ReadIdent(); break;
    case vaFalse: case vaTrue: (void)r.ReadBoolean(); break;
    case vaBinary: (void)r.ReadBytes(); break;
    case vaSingle: (void)r.ReadSingle(); break;
    case vaCurrency: (void)r.ReadCurrency(); break;
    case vaDate: (void)r.ReadDate(); break;
    case vaDouble: (void)r.ReadDouble(); break;
    case vaSet: (void)r.ReadChar(); break;
    case vaCollection: (void)r.ReadGuid(); break;
    default: (void)r.ReadVariant(); break;
  }
}

}  // namespace

// Shut down again at exit, before the leak check looks.
void SetUp() { static TnxLowLevelStartupGuard library; }

std::vector<std::string> Seeds() {
  return {
      Written([](TnxWriter& w) {
        w.WriteListBegin();
        w.WriteInteger(int32_t{-5});
        w.WriteInteger(int64_t{1} << 40);
        w.WriteString(u"Gr\u00FC\u00DFe");
        w.WriteString(u"\u4E00\u0416");
        w.WriteBoolean(true);
        w.WriteListEnd();
      }),
      Written([](TnxWriter& w) {
        w.WriteIdent(u"EDV");
        w.WriteFloat(1.5L);
        w.WriteDouble(0.1);
        w.WriteSingle(2.5f);
        w.WriteCurrency(12345);
        w.WriteDate(45000.25);
      }),
      Written([](TnxWriter& w) {
        w.WriteBytes({1, 2, 3, 0, 255});
        w.WriteAnsiString("abc\x80");
        w.WriteChar(u'\u20AC');
        w.WriteVariant(platform::TnxVariant::FromCurrency(7));
        w.WriteVariant(platform::TnxVariant::Null());
      }),
  };
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  std::string_view in = fuzz::Bytes(aData, aSize);
  const uint8_t choice = fuzz::TakeByte(in);
  std::string bytes(in);
  TnxStaticMemoryStream stream(bytes.data(), static_cast<int64_t>(bytes.size()));
  try {
    TnxReader r(stream);
    uint8_t c = choice;
    // Every value takes at least its tag byte, so this ends.
    for (size_t step = 0; step <= bytes.size() && r.BytesLeft() > 0; ++step) {
      fuzz::ReadOne(r, c);
      c = static_cast<uint8_t>(c * 73 + 41);
    }
  } catch (const platform::Exception&) {
  }
  return 0;
}
