// Tokens and the sources that hand them out: the words a fulltext index
// cuts from a record, each with its distance to the word before it in the
// stream and the number of the extractor (field) it came from.
//
// Contract:
// - Tokens are immutable and counted; a filter that changes one makes a new
//   token, a filter that leaves it alone passes the same object on.
// - A source answers its tokens one at a time through NextToken, null at
//   the end; Reset starts the stream again from the current record.
// - Sources belong to one table cursor and run on its operation's thread.
#pragma once

#include <cstdint>
#include <string>

#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/objects/registerable.h"
#include "platform/interface.h"

namespace revurov {

class TnxFulltextIndexCursorEngine;

class InxToken : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{3F0C4C0B-6C9E-4B61-9C54-2A8E1D5B7E41}");
  virtual const std::u16string& TokenText() const noexcept = 0;
  virtual int32_t TokenDistance() const noexcept = 0;
  virtual int16_t TokenField() const noexcept = 0;
};
using InxTokenRef = platform::TInterfacePtr<InxToken>;

class TnxToken final : public TnxInterfacedObject, public InxToken {
public:
  TnxToken(std::u16string aToken, int32_t aDistance, int16_t aField)
      : tknToken(std::move(aToken)), tknDistance(aDistance), tknField(aField) {}

  // A counted token, ready to hand out.
  static InxTokenRef New(std::u16string aToken, int32_t aDistance, int16_t aField);

  int32_t Release() noexcept override;

  const std::u16string& TokenText() const noexcept override { return tknToken; }
  int32_t TokenDistance() const noexcept override { return tknDistance; }
  int16_t TokenField() const noexcept override { return tknField; }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  const std::u16string tknToken;
  const int32_t tknDistance;
  const int16_t tknField;
};

class TnxBaseTokenSourceCursorEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_CLASS(TnxBaseTokenSourceCursorEngine, TnxBaseRegisterableEngine)
  // aParent may be null for a source outside a fulltext index.
  explicit TnxBaseTokenSourceCursorEngine(TnxFulltextIndexCursorEngine* aParent) noexcept
      : btsceParentFulltextIndexCursorEngine(aParent) {}

  virtual void Reset() {}
  virtual InxTokenRef NextToken() { return nullptr; }

  TnxFulltextIndexCursorEngine* ParentFulltextIndexCursorEngine() const noexcept {
    return btsceParentFulltextIndexCursorEngine;
  }

private:
  TnxFulltextIndexCursorEngine* btsceParentFulltextIndexCursorEngine;  // not owned
};

}  // namespace revurov
