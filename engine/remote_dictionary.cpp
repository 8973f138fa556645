#include "engine/remote_dictionary.h"

#include <vector>

#include "platform/text.h"

namespace revurov {

TnxRemoteDataDictionary::TnxRemoteDataDictionary(TnxRemoteDictionaryCache* aCache, platform::TStream& aStream,
                                                 std::u16string_view aBaseName) {
  ReadFromStream(aStream, aBaseName);
  MakeReadOnly();
  if (aCache) aCache->Link(this);
}

TnxRemoteDataDictionary::~TnxRemoteDataDictionary() {
  if (TnxRemoteDictionaryCache* cache = rddCache.load()) cache->Unlink(this);
}

int32_t TnxRemoteDataDictionary::_AddRef() noexcept {
  return rddRefCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

int32_t TnxRemoteDataDictionary::_Release() noexcept {
  int32_t count;
  if (TnxRemoteDictionaryCache* cache = rddCache.load()) {
    TnxPadlockGuard guard(cache->rdDictionaryCachePadlock);
    count = rddRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count == 0) {
      cache->Unlink(this);
      rddCache = nullptr;
    }
  } else {
    count = rddRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  }
  if (count == 0) delete this;
  return count;
}

bool TnxRemoteDataDictionary::IsCompatibleWith(const TnxDictionaryItem* aItem) const {
  return dynamic_cast<const TnxDataDictionary*>(aItem) != nullptr || TnxDataDictionary::IsCompatibleWith(aItem);
}

TnxRemoteDictionaryCache::~TnxRemoteDictionaryCache() {
  std::vector<TnxRemoteDataDictionary*> held;
  {
    TnxPadlockGuard guard(rdDictionaryCachePadlock);
    for (auto it = rdDictionaryCache.rbegin(); it != rdDictionaryCache.rend(); ++it) held.push_back(it->second);
    rdDictionaryCache.clear();
    // Whatever outlives the list counts on its own from here.
    for (TnxRemoteDataDictionary* d = rdDictionaryCacheHead; d;) {
      TnxRemoteDataDictionary* next = d->rddDatabaseNext;
      d->rddCache = nullptr;
      d->rddDatabasePrev = d->rddDatabaseNext = nullptr;
      d = next;
    }
    rdDictionaryCacheHead = rdDictionaryCacheTail = nullptr;
  }
  for (TnxRemoteDataDictionary* d : held) d->_Release();
}

void TnxRemoteDictionaryCache::Link(TnxRemoteDataDictionary* aDictionary) {
  TnxRemoteDataDictionary* replaced = nullptr;
  {
    TnxPadlockGuard guard(rdDictionaryCachePadlock);
    aDictionary->rddCache = this;
    aDictionary->rddDatabasePrev = rdDictionaryCacheTail;
    if (rdDictionaryCacheTail)
      rdDictionaryCacheTail->rddDatabaseNext = aDictionary;
    else
      rdDictionaryCacheHead = aDictionary;
    rdDictionaryCacheTail = aDictionary;
    TnxRemoteDataDictionary*& slot = rdDictionaryCache[platform::AsciiUpperCase(aDictionary->BaseName())];
    if (slot == aDictionary) return;
    replaced = slot;
    slot = aDictionary;
    aDictionary->_AddRef();
  }
  // Outside the padlock: the release takes it itself.
  if (replaced) replaced->_Release();
}

void TnxRemoteDictionaryCache::Unlink(TnxRemoteDataDictionary* aDictionary) noexcept {
  TnxRemoteDataDictionary* prev = aDictionary->rddDatabasePrev;
  TnxRemoteDataDictionary* next = aDictionary->rddDatabaseNext;
  (prev ? prev->rddDatabaseNext : rdDictionaryCacheHead) = next;
  (next ? next->rddDatabasePrev : rdDictionaryCacheTail) = prev;
  aDictionary->rddDatabasePrev = aDictionary->rddDatabaseNext = nullptr;
}

TnxRemoteDataDictionary* TnxRemoteDictionaryCache::Get(std::u16string_view aTableName) {
  TnxPadlockGuard guard(rdDictionaryCachePadlock);
  auto it = rdDictionaryCache.find(platform::AsciiUpperCase(aTableName));
  if (it == rdDictionaryCache.end()) return nullptr;
  it->second->_AddRef();
  return it->second;
}

int32_t TnxRemoteDictionaryCache::ChainCount() {
  TnxPadlockGuard guard(rdDictionaryCachePadlock);
  int32_t count = 0;
  for (TnxRemoteDataDictionary* d = rdDictionaryCacheHead; d; d = d->rddDatabaseNext) ++count;
  return count;
}

}  // namespace revurov
