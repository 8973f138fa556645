// Descriptor streams of the data dictionary as a peer or a table file hands
// them over: any bytes read into a fresh descriptor of a class the first
// byte picks. A partly read descriptor is discarded, as callers do.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "dictionary/dictionary_item.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/locale_descriptor.h"
#include "dictionary/startup.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/rtl_exception.h"

namespace revurov::fuzz {

namespace {

using TFactory = std::function<std::unique_ptr<TnxDictionaryItem>()>;

const std::vector<TFactory>& Factories() {
  static const std::vector<TFactory> factories = {
      [] { return std::make_unique<TnxFieldsDescriptor>(nullptr); },
      [] { return std::make_unique<TnxFilesDescriptor>(nullptr); },
      [] { return std::make_unique<TnxLocaleDescriptor>(nullptr); },
      [] { return std::make_unique<TnxCompKeyDescriptor>(nullptr); },
      [] { return std::make_unique<TnxMainIndicesDescriptor>(nullptr, "Indices"); },
  };
  return factories;
}

}  // namespace

// Shut down again at exit, before the leak check looks.
void SetUp() { static TnxDictionaryStartupGuard dictionary; }

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  for (size_t i = 0; i < Factories().size(); ++i) {
    for (uint32_t version : {47501u, 20000u}) {
      TnxMemoryStream s;
      try {
        TnxWriter w(s);
        Factories()[i]()->SaveToWriter(w, version);
      } catch (const platform::Exception&) {
        continue;
      }
      seeds.push_back(std::string(1, static_cast<char>(i)) +
                      std::string(reinterpret_cast<const char*>(s.ByteArray()), static_cast<size_t>(s.GetSize())));
    }
  }
  return seeds;
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  std::string_view in = fuzz::Bytes(aData, aSize);
  const auto& factories = fuzz::Factories();
  const fuzz::TFactory& make = factories[fuzz::TakeByte(in) % factories.size()];
  std::string bytes(in);
  TnxStaticMemoryStream stream(bytes.data(), static_cast<int64_t>(bytes.size()));
  try {
    const std::unique_ptr<TnxDictionaryItem> item = make();
    TnxReader r(stream);
    item->LoadFromReader(r);
  } catch (const platform::Exception&) {
  }
  return 0;
}
