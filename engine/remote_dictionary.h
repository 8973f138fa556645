// TnxRemoteDataDictionary: a table's dictionary as a server sent it, shared
// by the cursors of one remote database and counted instead of owned.
// TnxRemoteDictionaryCache: a remote database's dictionaries by base name.
//
// Contract:
// - A new dictionary is read from the stream's position (left after it),
//   made read-only and entered into its cache under its base name, letter
//   case ignored; the cache holds one reference. A second dictionary of the
//   same base name takes the first one's place, whose cache reference is
//   then given back.
// - _AddRef is atomic; _Release runs under the cache's padlock while the
//   dictionary belongs to a cache. The release that reaches 0 frees it and
//   takes it out of the cache's chain.
// - The cache dies with its database, which may happen while cursors still
//   hold dictionaries (their database frees them after its own fields): it
//   gives back its references and detaches every dictionary left in its
//   chain, which from then on counts without a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "dictionary/data_dictionary.h"
#include "lowlevel/sync/padlock.h"

namespace revurov {

class TnxRemoteDictionaryCache;

class TnxRemoteDataDictionary : public TnxDataDictionary {
public:
  // aCache may be nil: the dictionary then counts on its own.
  TnxRemoteDataDictionary(TnxRemoteDictionaryCache* aCache, platform::TStream& aStream,
                          std::u16string_view aBaseName);

  int32_t _AddRef() noexcept;
  int32_t _Release() noexcept;
  int32_t RefCount() const noexcept { return rddRefCount.load(std::memory_order_acquire); }
  // Any dictionary is compatible with a remote one.
  bool IsCompatibleWith(const TnxDictionaryItem* aItem) const override;

private:
  friend class TnxRemoteDictionaryCache;
  ~TnxRemoteDataDictionary() override;

  std::atomic<int32_t> rddRefCount{0};
  std::atomic<TnxRemoteDictionaryCache*> rddCache{nullptr};  // nil once detached
  TnxRemoteDataDictionary* rddDatabaseNext = nullptr;
  TnxRemoteDataDictionary* rddDatabasePrev = nullptr;
};

class TnxRemoteDictionaryCache {
public:
  TnxRemoteDictionaryCache() = default;
  ~TnxRemoteDictionaryCache();
  TnxRemoteDictionaryCache(const TnxRemoteDictionaryCache&) = delete;
  TnxRemoteDictionaryCache& operator=(const TnxRemoteDictionaryCache&) = delete;

  // The cached dictionary of aTableName with a reference for the caller;
  // nil when none.
  TnxRemoteDataDictionary* Get(std::u16string_view aTableName);
  // Dictionaries alive in the chain (the cached ones and those still held).
  int32_t ChainCount();

private:
  friend class TnxRemoteDataDictionary;
  void Link(TnxRemoteDataDictionary* aDictionary);
  void Unlink(TnxRemoteDataDictionary* aDictionary) noexcept;

  TnxPadlock rdDictionaryCachePadlock{true};
  std::map<std::u16string, TnxRemoteDataDictionary*> rdDictionaryCache;  // upper-cased base name
  TnxRemoteDataDictionary* rdDictionaryCacheHead = nullptr;
  TnxRemoteDataDictionary* rdDictionaryCacheTail = nullptr;
};

// Takes a reference on a remote dictionary and gives it back.
struct TnxRemoteDictionaryRelease {
  void operator()(TnxRemoteDataDictionary* aDictionary) const noexcept { aDictionary->_Release(); }
};

}  // namespace revurov
