// Comparers and transformers of wide strings: the pluggable ordering and
// normalisation of wide string lists (and of the fulltext token filters).
//
// Contract:
// - Compare answers -1, 0 or 1. Comparers and transformers keep no state
//   beyond their settings, so one may serve several lists and threads.
// - References are shared (std::shared_ptr, as the library's other counted
//   interfaces); a list holds its comparer and transformer for its life.
// - Platform failures raise the OS error (EnxBaseException 11047) with the
//   context named at each class.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "lowlevel/exceptions.h"
#include "lowlevel/wide_string.h"

namespace revurov {

class InxWideStringComparer {
public:
  virtual ~InxWideStringComparer() = default;
  virtual int8_t Compare(const TnxWideString& a, const TnxWideString& b) const = 0;
};
using InxWideStringComparerRef = std::shared_ptr<InxWideStringComparer>;

class InxWideStringTransformer {
public:
  virtual ~InxWideStringTransformer() = default;
  virtual void Transform(const TnxWideString& aSource, TnxWideString& aResult) const = 0;
};
using InxWideStringTransformerRef = std::shared_ptr<InxWideStringTransformer>;

// The code units as bytes in memory order (low byte first), unsigned; on
// an equal prefix the shorter string is smaller.
class TnxWideStringByteComparer : public InxWideStringComparer {
public:
  int8_t Compare(const TnxWideString& a, const TnxWideString& b) const override;
};

class TnxBaseWideStringCompareStringComparer : public InxWideStringComparer {
public:
  TnxBaseWideStringCompareStringComparer(uint32_t aLocale, uint32_t aFlags)
      : bwscscLocale(aLocale), bwscscFlags(aFlags) {}

protected:
  uint32_t bwscscLocale = 0;
  uint32_t bwscscFlags = 0;
};

// Locale compare (platform/nls.h CompareStringW) with the compare flags;
// an empty string against another compares by length. A failing compare
// raises the OS error ("TnxWideStringCompareStringWComparer.Compare/
// CompareStringW") rather than answering an out-of-range order.
class TnxWideStringCompareStringWComparer : public TnxBaseWideStringCompareStringComparer {
public:
  using TnxBaseWideStringCompareStringComparer::TnxBaseWideStringCompareStringComparer;
  int8_t Compare(const TnxWideString& a, const TnxWideString& b) const override;
};

class TnxWideStringNullTransformer : public InxWideStringTransformer {
public:
  void Transform(const TnxWideString& aSource, TnxWideString& aResult) const override;
};

// FoldStringW with the flags (precomposed: NFC, composite: NFD,
// compatibility zone: NFKC). Contexts
// "TnxWideStringFoldStringTransformer.Transform/FoldStringW/1" and "/2".
class TnxWideStringFoldStringTransformer : public InxWideStringTransformer {
public:
  explicit TnxWideStringFoldStringTransformer(uint32_t aFlags) : wsfstFlags(aFlags) {}
  void Transform(const TnxWideString& aSource, TnxWideString& aResult) const override;

protected:
  uint32_t wsfstFlags = 0;
};

class TnxWideStringPreComposeTransformer : public TnxWideStringFoldStringTransformer {
public:
  TnxWideStringPreComposeTransformer() : TnxWideStringFoldStringTransformer(0x20) {}
};

REVUROV_EXCEPTION_CLASS(EnxWideStringLocaleMappingTransformerException, EnxBaseException);

// nxWideLCMapString with locale and flags; sort-key mapping (0x400) is
// refused at construction with error 12289.
class TnxWideStringLocaleMappingTransformer : public InxWideStringTransformer {
public:
  TnxWideStringLocaleMappingTransformer(uint32_t aLocale, uint32_t aFlags);
  void Transform(const TnxWideString& aSource, TnxWideString& aResult) const override;

protected:
  uint32_t wslmtLocale = 0;
  uint32_t wslmtFlags = 0;
};

// At most wsttMaxLength code units, one fewer when the last kept unit is a
// high surrogate; a maximum of 0 or less gives an empty string.
class TnxWideStringTruncateTransformer : public InxWideStringTransformer {
public:
  explicit TnxWideStringTruncateTransformer(int32_t aMaxLength) : wsttMaxLength(aMaxLength) {}
  void Transform(const TnxWideString& aSource, TnxWideString& aResult) const override;

protected:
  int32_t wsttMaxLength = 0;
};

// Its transformers in order, each on the previous one's result.
class TnxWideStringTransformerHub : public InxWideStringTransformer {
public:
  explicit TnxWideStringTransformerHub(std::vector<InxWideStringTransformerRef> aTransformers)
      : wsthTransformers(std::move(aTransformers)) {}
  void Transform(const TnxWideString& aSource, TnxWideString& aResult) const override;

protected:
  std::vector<InxWideStringTransformerRef> wsthTransformers;
};

}  // namespace revurov
