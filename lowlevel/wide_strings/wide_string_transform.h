// Comparers and transformers of wide strings: the pluggable ordering and
// normalisation of wide string lists (and of the fulltext token filters).
//
// Contract:
// - Compare answers -1, 0 or 1. Comparers and transformers keep no state
//   beyond their settings, so one may serve several lists and threads.
// - Interfaces are counted (TInterfacePtr); create the classes with
//   nxCreate and hold them by interface. A list holds its comparer and
//   transformer for its life.
// - Platform failures raise the OS error (EnxBaseException 11047) with the
//   context named at each class.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/wide_strings/wide_string.h"
#include "platform/interface.h"

namespace revurov {

class InxWideStringComparer : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{99A47C9F-95DA-4D19-B708-112F1941FE09}");
  virtual int8_t Compare(const TnxWideString& a, const TnxWideString& b) const = 0;
};
using InxWideStringComparerRef = platform::TInterfacePtr<InxWideStringComparer>;

class InxWideStringTransformer : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{55B1D182-5AC3-462A-877A-681D5F59048B}");
  virtual void Transform(const TnxWideString& aSource, TnxWideString& aResult) const = 0;
};
using InxWideStringTransformerRef = platform::TInterfacePtr<InxWideStringTransformer>;

// A counted object offering interface I.
template <class I>
class TnxInterfacedImplementation : public TnxInterfacedObject, public I {
protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<I>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

// The code units as bytes in memory order (low byte first), unsigned; on
// an equal prefix the shorter string is smaller.
class TnxWideStringByteComparer : public TnxInterfacedImplementation<InxWideStringComparer> {
public:
  int8_t Compare(const TnxWideString& a, const TnxWideString& b) const override;
};

class TnxBaseWideStringCompareStringComparer : public TnxInterfacedImplementation<InxWideStringComparer> {
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

class TnxWideStringNullTransformer : public TnxInterfacedImplementation<InxWideStringTransformer> {
public:
  void Transform(const TnxWideString& aSource, TnxWideString& aResult) const override;
};

// FoldStringW with the flags (precomposed: NFC, composite: NFD,
// compatibility zone: NFKC). Contexts
// "TnxWideStringFoldStringTransformer.Transform/FoldStringW/1" and "/2".
class TnxWideStringFoldStringTransformer : public TnxInterfacedImplementation<InxWideStringTransformer> {
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
class TnxWideStringLocaleMappingTransformer : public TnxInterfacedImplementation<InxWideStringTransformer> {
public:
  TnxWideStringLocaleMappingTransformer(uint32_t aLocale, uint32_t aFlags);
  ~TnxWideStringLocaleMappingTransformer() override;
  void Transform(const TnxWideString& aSource, TnxWideString& aResult) const override;

protected:
  uint32_t wslmtLocale = 0;
  uint32_t wslmtFlags = 0;

private:
  struct CasePage;
  // The page's mapped units; a page that cannot be kept (surrogates, a
  // mapping the platform refuses) answers a page with Kept false.
  const CasePage& CasePageFor(size_t aPage) const;

  // Plain case mapping of a fixed locale goes code unit by code unit for
  // text without surrogates: the mapped units of the BMP are kept, 256 at a
  // time, asked of the platform once per page and shared by all threads.
  bool wslmtCaseTable = false;
  mutable std::array<std::atomic<const CasePage*>, 256> wslmtCasePages{};
};

// At most wsttMaxLength code units, one fewer when the last kept unit is a
// high surrogate; a maximum of 0 or less gives an empty string.
class TnxWideStringTruncateTransformer : public TnxInterfacedImplementation<InxWideStringTransformer> {
public:
  explicit TnxWideStringTruncateTransformer(int32_t aMaxLength) : wsttMaxLength(aMaxLength) {}
  void Transform(const TnxWideString& aSource, TnxWideString& aResult) const override;

protected:
  int32_t wsttMaxLength = 0;
};

// Its transformers in order, each on the previous one's result.
class TnxWideStringTransformerHub : public TnxInterfacedImplementation<InxWideStringTransformer> {
public:
  explicit TnxWideStringTransformerHub(std::vector<InxWideStringTransformerRef> aTransformers)
      : wsthTransformers(std::move(aTransformers)) {}
  void Transform(const TnxWideString& aSource, TnxWideString& aResult) const override;

protected:
  std::vector<InxWideStringTransformerRef> wsthTransformers;
};

}  // namespace revurov
