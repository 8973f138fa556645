// Doubles of the value-marshalling tests: a writer and a reader whose
// interface references travel as indexes into a table, and helpers that
// write values to bytes and read them back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "support/tagged_bytes.h"
#include "transport/remoting/interfaced_filer.h"
#include "transport/remoting/remoting_interfaces.h"

namespace revurov::testing {

using TInterfaceTable = std::vector<platform::TInterfacePtr<platform::IInterface>>;

// Writes each reference as its index in the table (appended), after the
// interface ID it was asked for.
class TableInterfaceWriter final : public TnxInterfacedWriter, public InxInterfaceWriter {
  REVUROV_PERSISTENT_CLASS(TableInterfaceWriter)
public:
  TableInterfaceWriter(TnxWriter& aWriter, TInterfaceTable& aTable) : TnxInterfacedWriter(aWriter), table(&aTable) {}

  platform::HRESULT WriteInterface(const platform::TGUID& aIID, platform::IInterface* aInterface) override {
    if (answer < 0) return answer;
    WriteGuid(aIID);
    WriteInteger(int32_t(table->size()));
    table->emplace_back(aInterface);
    return platform::S_OK;
  }

  platform::HRESULT answer = platform::S_OK;

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxInterfaceWriter>(this, iid, obj) || TnxInterfacedWriter::GetInterface(iid, obj);
  }

private:
  TInterfaceTable* table;
};

class TableInterfaceReader final : public TnxInterfacedReader, public InxInterfaceReader {
  REVUROV_PERSISTENT_CLASS(TableInterfaceReader)
public:
  TableInterfaceReader(TnxReader& aReader, const TInterfaceTable& aTable) : TnxInterfacedReader(aReader), table(&aTable) {}

  platform::HRESULT ReadInterface(const platform::TGUID& aIID,
                                  platform::TInterfacePtr<platform::IInterface>& aInterface) override {
    aInterface.Reset();
    if (!(ReadGuid() == aIID)) return platform::E_NOINTERFACE;
    const int32_t index = ReadInteger();
    if (index < 0 || size_t(index) >= table->size()) return platform::E_INVALIDARG;
    aInterface = (*table)[size_t(index)];
    return platform::S_OK;
  }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxInterfaceReader>(this, iid, obj) || TnxInterfacedReader::GetInterface(iid, obj);
  }

private:
  const TInterfaceTable* table;
};

inline TaggedBytes Cat(std::initializer_list<TaggedBytes> parts) {
  TaggedBytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// vaBinary with its 32-bit length.
inline TaggedBytes Bin(TaggedBytes aBytes) {
  const uint32_t n = uint32_t(aBytes.size());
  return Cat({{10, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)}, aBytes});
}

// The bytes that `write` puts through a plain interfaced writer, or through
// a table writer when a table is given.
inline TaggedBytes WrittenBy(const std::function<platform::HRESULT(InxWriter&)>& write, platform::HRESULT& result,
                             TInterfaceTable* table = nullptr) {
  return Written([&](TnxWriter& w) {
    if (table) {
      TableInterfaceWriter writer(w, *table);
      result = write(writer);
    } else {
      TnxInterfacedWriter writer(w);
      result = write(writer);
    }
  });
}

// Runs `read` over the bytes; *left gets the bytes it did not take.
inline platform::HRESULT ReadBy(const TaggedBytes& bytes, const std::function<platform::HRESULT(InxReader&)>& read,
                                const TInterfaceTable* table = nullptr, int64_t* left = nullptr) {
  TnxStaticMemoryStream s(const_cast<uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
  TnxReader r(s);
  platform::HRESULT hr;
  if (table) {
    TableInterfaceReader reader(r, *table);
    hr = read(reader);
  } else {
    TnxInterfacedReader reader(r);
    hr = read(reader);
  }
  if (left) *left = r.BytesLeft();
  return hr;
}

}  // namespace revurov::testing
