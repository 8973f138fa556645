#include "lowlevel/cipher/base_compressor.h"

#include <atomic>

#include "lowlevel/sync/unit_table.h"

namespace revurov {

std::array<TnxBaseCompressorClass, 256> nxCompressorClasses{};
std::array<std::u16string, 256> nxCompressorNames{};

namespace {
std::atomic<int> gStartups{0};
}  // namespace

const TnxBaseCompressor& TnxBaseCompressor::ClassInfo() noexcept {
  static const TnxBaseCompressor info{u"TnxBaseCompressor", nullptr};
  return info;
}

bool TnxBaseCompressor::InheritsFrom(const TnxBaseCompressor& aClass) const noexcept {
  for (const TnxBaseCompressor* c = this; c; c = c->bcParent)
    if (c == &aClass) return true;
  return false;
}

uint32_t TnxBaseCompressor::Compress(const void*, void*, uint32_t, uint32_t) const { return 0; }

bool TnxBaseCompressor::Uncompress(const void*, void*, uint32_t, uint32_t) const { return false; }

void nxRegisterCompressor(const TnxBaseCompressor& aClass, uint8_t aId, std::u16string aName) {
  if (aId == 0)
    throw EnxCompressorException(u"Compression id 0 means no compression and takes no compressor");
  if (nxCompressorClasses[aId]) throw EnxCompressorException(u"Compressor already registered");
  nxCompressorClasses[aId] = &aClass;
  nxCompressorNames[aId] = std::move(aName);
}

void nxUnregisterCompressor(const TnxBaseCompressor& aClass) noexcept {
  for (auto& entry : nxCompressorClasses)
    if (entry == &aClass) entry = nullptr;
}

void nxBaseCompressorStartup() { nxUnitStartupIsFirst(gStartups); }

void nxBaseCompressorShutdown() {
  if (!nxUnitShutdownIsLast(gStartups)) return;
  for (auto& name : nxCompressorNames) name.clear();
}

}  // namespace revurov
