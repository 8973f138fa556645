#include "lowlevel/wide_strings/wide_string_categories.h"

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "lowlevel/sync/padlock.h"
#include "platform/endian.h"
#include "platform/rtl_exception.h"

namespace revurov {

// Generated at build time (lowlevel/gen/unicode_categories_gen.cpp).
extern const uint8_t nxUnicodeCategoriesResource[];
extern const size_t nxUnicodeCategoriesResourceSize;

namespace {

using TnxCategoriesPage = std::array<TnxCharacterCategories, 256>;

std::atomic<int> gStartCount{0};
TnxPadlock* gPadlock = nullptr;
std::atomic<bool> gLoaded{false};
TnxCategoryRanges gRanges;
// One page per high byte of a code unit, made when a range touches it.
std::array<std::unique_ptr<TnxCategoriesPage>, 256> gPages;
// Pages of the code points above U+FFFF (page p covers 0x10000 + p * 256);
// equal pages are kept once, since whole planes share one content.
constexpr uint32_t kSupplementaryPages = 0x1000;
std::vector<std::unique_ptr<TnxCategoriesPage>> gSupplementaryStore;
std::array<const TnxCategoriesPage*, kSupplementaryPages> gSupplementary{};

[[noreturn]] void CorruptResource() { throw platform::EReadError(platform::SReadError); }

void FreeTables() {
  for (auto& page : gPages) page.reset();
  gSupplementary.fill(nullptr);
  std::vector<std::unique_ptr<TnxCategoriesPage>>().swap(gSupplementaryStore);
  for (auto& list : gRanges) TnxRangeArray().swap(list);
  gLoaded.store(false, std::memory_order_release);
}

}  // namespace

std::span<const uint8_t> nxUnicodeCategoriesData() noexcept {
  return {nxUnicodeCategoriesResource, nxUnicodeCategoriesResourceSize};
}

void nxReadCharacterCategories(std::span<const uint8_t> aData, TnxCategoryRanges& aRanges) {
  size_t pos = 0;
  while (pos < aData.size()) {
    if (aData.size() - pos < 5) CorruptResource();
    const uint8_t category = aData[pos];
    const uint32_t count = platform::LoadU32(aData.data() + pos + 1);
    pos += 5;
    if (category >= nxCharacterCategoryCount) CorruptResource();
    // The count is checked against what is there before anything is sized by it.
    if (count > (aData.size() - pos) / 8) CorruptResource();
    TnxRangeArray& list = aRanges[category];
    list.resize(count);
    for (uint32_t i = 0; i < count; ++i, pos += 8)
      list[i] = {platform::LoadU32(aData.data() + pos), platform::LoadU32(aData.data() + pos + 4)};
  }
}

void nxWideStringCategoriesStartup() {
  if (gStartCount.fetch_add(1) == 0) {
    TnxPadlock::CreateAndLock(gPadlock);
    TnxPadlockGuard created(*gPadlock, nxAdoptLock);
  }
}

void nxWideStringCategoriesShutdown() {
  if (gStartCount.fetch_sub(1) != 1) return;
  FreeTables();
  nxFreeAndNil(gPadlock);
}

void nxLoadCharacterCategories() {
  if (gLoaded.load(std::memory_order_acquire)) return;
  // A caller that skipped the unit's start-up still gets one shared padlock.
  TnxPadlock::CreateAndLock(gPadlock);
  TnxPadlockGuard guard(*gPadlock, nxAdoptLock);
  if (gLoaded.load(std::memory_order_relaxed)) return;
  TnxCategoryRanges ranges;
  nxReadCharacterCategories(nxUnicodeCategoriesData(), ranges);
  std::array<std::unique_ptr<TnxCategoriesPage>, 256> pages;
  std::vector<std::unique_ptr<TnxCategoriesPage>> upper(kSupplementaryPages);
  for (int category = 0; category < nxCharacterCategoryCount; ++category) {
    for (const TnxRange& r : ranges[category]) {
      if (r.rngStop < r.rngStart || r.rngStart > 0x10FFFF) continue;
      const uint32_t stop = r.rngStop < 0x10FFFF ? r.rngStop : 0x10FFFF;
      for (uint32_t cp = r.rngStart; cp <= stop; ++cp) {
        auto& page = cp <= 0xFFFF ? pages[cp >> 8] : upper[(cp - 0x10000) >> 8];
        if (!page) page = std::make_unique<TnxCategoriesPage>();
        (*page)[cp & 0xFF].Include(static_cast<TnxCharacterCategory>(category));
      }
    }
  }
  std::vector<std::unique_ptr<TnxCategoriesPage>> store;
  std::array<const TnxCategoriesPage*, kSupplementaryPages> supplementary{};
  std::map<std::string, const TnxCategoriesPage*> seen;
  for (uint32_t p = 0; p < kSupplementaryPages; ++p) {
    if (!upper[p]) continue;
    std::string bytes(sizeof(TnxCategoriesPage), '\0');
    std::memcpy(bytes.data(), upper[p].get(), bytes.size());
    auto [it, added] = seen.emplace(std::move(bytes), upper[p].get());
    if (added) store.push_back(std::move(upper[p]));
    supplementary[p] = it->second;
  }
  gRanges = std::move(ranges);
  gPages = std::move(pages);
  gSupplementaryStore = std::move(store);
  gSupplementary = supplementary;
  gLoaded.store(true, std::memory_order_release);
}

bool nxCharInCategories(char16_t aChar, const TnxCharacterCategories& aCategories) {
  nxLoadCharacterCategories();
  const TnxCategoriesPage* page = gPages[aChar >> 8].get();
  return page && (*page)[aChar & 0xFF].Intersects(aCategories);
}

bool nxCodePointInCategories(char32_t aCodePoint, const TnxCharacterCategories& aCategories) {
  if (aCodePoint <= 0xFFFF) return nxCharInCategories(static_cast<char16_t>(aCodePoint), aCategories);
  if (aCodePoint > 0x10FFFF) return false;
  nxLoadCharacterCategories();
  const TnxCategoriesPage* page = gSupplementary[(aCodePoint - 0x10000) >> 8];
  return page && (*page)[aCodePoint & 0xFF].Intersects(aCategories);
}

const TnxRangeArray& nxCharacterCategoryRanges(TnxCharacterCategory aCategory) {
  nxLoadCharacterCategories();
  return gRanges[aCategory];
}

}  // namespace revurov
