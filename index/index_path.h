// A cursor's position in one index, and the bookmarks made of it.
//
// Contract:
// - Bookmarks come from clients: SetToBookmark checks one first (10021 for
//   another index, a wrong size or hash, or a position outside 0 to 5) and
//   changes nothing when it is refused.
// - GetBookmark needs 24 + the key length bytes, else 9986 and nothing is
//   written.
// - A stand-alone path (no engine) has no key and makes bookmarks of index
//   ID -1.
#pragma once

#include <cstdint>
#include <memory>

#include "dictionary/engine_types.h"
#include "dictionary/key_engine.h"
#include "lowlevel/objects/persistent.h"

namespace revurov {

namespace platform {
class TnxVariant;
}

class TnxBaseIndexEngine;

class TnxBaseIndexPath : public TnxPersistent {
public:
  // aIndexEngine null: a stand-alone path.
  explicit TnxBaseIndexPath(TnxBaseIndexEngine* aIndexEngine);
  ~TnxBaseIndexPath() override;
  TnxBaseIndexPath(const TnxBaseIndexPath&) = delete;
  TnxBaseIndexPath& operator=(const TnxBaseIndexPath&) = delete;

  static std::unique_ptr<TnxBaseIndexPath> CreateStandalone();
  // A path of the same class on the same engine, standing where this one does.
  std::unique_ptr<TnxBaseIndexPath> Duplicate() const;
  // From a path of the same engine; anything else is refused by the base.
  void Assign(const TnxPersistent* aSource) override;
  std::u16string_view ClassName() const noexcept override { return u"TnxBaseIndexPath"; }
  // Adds the engine, RefNrs, the key (when valid), position and deleted flag.
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) override;

  virtual void Clear();
  virtual void SetToEof();
  virtual void SetToBof();
  virtual void SetToCrackBefore();
  virtual void SetToCrackAfter();
  virtual void SetToDeleted();
  virtual uint32_t SetToRecord(const uint8_t* aRecord, TnxRefNr aRefNr);
  bool IsOnKey() const noexcept { return Position == ippOnKey; }
  bool IsOnCrack() const noexcept { return Position == ippOnCrackBefore || Position == ippOnCrackAfter; }
  bool IsEof() const noexcept { return Position == ippEof; }
  bool IsBof() const noexcept { return Position == ippBof; }
  bool IsDeleted() const noexcept { return Deleted; }
  virtual uint32_t CheckCurrentState() const noexcept;

  uint32_t BookmarkSize() const noexcept { return Handler().GetBookmarkSize(); }
  virtual uint32_t GetBookmark(uint8_t* aBookmark, uint32_t aSize, bool aIsCache) const;
  virtual uint32_t CheckBookmark(const uint8_t* aBookmark, uint32_t aSize) const noexcept;
  virtual uint32_t CompareBookmarks(const uint8_t* aBookmark1, const uint8_t* aBookmark2, uint32_t aSize,
                                    int& aCompResult) const noexcept;
  virtual uint32_t SetToBookmark(const uint8_t* aBookmark, uint32_t aSize, bool aIsCache);
  virtual uint32_t BookmarkAsVariant(const uint8_t* aBookmark, uint32_t aSize,
                                     platform::TnxVariant& aVariant) const noexcept;

  TnxBaseIndexEngine* IndexEngine() const noexcept { return bipIndexEngine; }
  const uint8_t* KeyBuffer() const noexcept { return Key; }
  // Engines set the key of the position they put the path on.
  uint8_t* KeyBuffer() noexcept { return Key; }

  TnxRefNr RefNr = 0;
  TnxRefNr CacheRefNr = 0;
  bool KeyValid = false;
  TnxIndexPathPosition Position = ippUnknown;
  bool Deleted = false;

protected:
  // The virtual constructor: a path of this class for aIndexEngine.
  virtual std::unique_ptr<TnxBaseIndexPath> NewPath(TnxBaseIndexEngine* aIndexEngine) const;
  const TnxBaseKeyEngine* KeyEngine() const noexcept;
  // The engine's (renumbered with it), or the stand-alone one of index -1.
  const TnxBookmarkHandler& Handler() const noexcept;

  TnxBaseIndexEngine* bipIndexEngine;  // not owned
  uint8_t* Key = nullptr;              // from the key engine
};

}  // namespace revurov
