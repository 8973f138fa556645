// What dynamic invocation knows of an interface: one record per parameter,
// per method (inherited ones included, by slot) and per interface, made
// once from the interface's declaration (invoke_declare.h).
//
// Contract:
// - Parameters keep the order, directions and passing of the 32-bit x86
//   conventions the wire was made for: sizes come from the value kind,
//   never from sizeof; cdecl, stdcall and safecall reverse the declared
//   order; a safecall result becomes the first entry (out, by reference)
//   and the HRESULT "__SafeResult__" the result; results of string,
//   variant, interface and array kinds (and of sets and records of 5 bytes
//   or more) travel as a last out parameter elsewhere; pascal moves Self
//   last. imeSizeOnStack counts what goes on the stack (three register
//   parameters under the register convention).
// - imePos is the slot: 3 + the ancestors' methods + the position.
// - nxBuildMethod raises Exception "Parameter "p" on Method "m" of
//   Interface "u.i" has no RTTI" for a parameter without a type.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/guid.h"
#include "platform/interface.h"
#include "transport/remoting/invoke_interfaces.h"
#include "transport/remoting/type_descriptor.h"

namespace revurov {

enum TnxCallConv : uint8_t { ccReg, ccCdecl, ccPascal, ccStdCall, ccSafeCall };
enum TnxResultIn : uint8_t { riNone, riInParam, riEAX, riEAXHRESULT, riEAXEDX, riST0 };

// Parameter flags as the wire's peers know them.
inline constexpr uint8_t pfVar = 0x01, pfConst = 0x02, pfArray = 0x04, pfAddress = 0x08, pfReference = 0x10,
                         pfOut = 0x20, pfResult = 0x40;

inline constexpr int16_t nxOrgPosSelf = -1, nxOrgPosResult = -2, nxOrgPosSafeResult = -3;

struct TnxIntfParamEntry {
  std::u16string ipeName;
  std::u16string ipeTypeName;
  int16_t ipeOrgPos = 0;
  int16_t ipePos = 0;
  const TnxTypeInfo* ipeInfo = nullptr;
  int32_t ipeSize = 0;
  int32_t ipeAlignedSize = 0;
  int32_t ipeSizeOnStack = 0;
  uint8_t ipeFlags = 0;
  bool ipeByRef = false;
  bool ipeCanPassInRegister = false;

  bool IsIn() const noexcept { return ipeOrgPos != nxOrgPosSelf && !(ipeFlags & pfOut); }
  bool IsOut() const noexcept { return (ipeFlags & (pfOut | pfVar)) != 0 && ipeOrgPos != nxOrgPosSelf; }
};

// The calls a declaration provides for one method.
struct TnxMethodOps {
  // Calls the method on aObject with the values aParams points at; stores
  // the result in its place. A safecall method's exception becomes its
  // HRESULT and error information; other methods raise. E_NOINTERFACE when
  // the object does not have the method's interface.
  platform::HRESULT (*moCall)(platform::IInterface* aObject, const TnxIntfMethEntry& aMethod, void** aParams);
  // Values of every parameter and of the result, default-made, owned by
  // the answer; aParams gets their addresses.
  void* (*moAllocate)(const TnxIntfMethEntry& aMethod, void** aParams);
  void (*moFree)(void* aValues) noexcept;
};

struct TnxIntfMethEntry {
  std::u16string imeName;
  uint32_t imePos = 0;
  std::vector<TnxIntfParamEntry> imeParams;
  TnxIntfParamEntry imeResult;
  uint32_t imeSizeOnStack = 0;
  uint32_t imeParamCount = 0;
  uint32_t imeByRefFlags = 0;
  TnxResultIn imeResultIn = riNone;
  bool imeHasRTTI = true;
  TnxCallConv imeCC = ccReg;
  uint8_t imeSelfParam = 0;
  // Index in imeParams of declared parameter k; of the hidden result (-1:
  // none).
  std::vector<int16_t> imeDeclared;
  int16_t imeHiddenResult = -1;
  const TnxMethodOps* imeOps = nullptr;

  // The var and out parameters, then the in parameters, in the order of a
  // call of version aVersion (declaration order from 3 on).
  std::vector<const TnxIntfParamEntry*> WireParams(int32_t aVersion, bool aOut) const;
};

class TnxDynamicInvokeStub;

struct TnxIntfMetaData {
  std::u16string imdName;
  std::u16string imdUnitName;
  bool imdHasRTTI = false;
  std::vector<TnxIntfMethEntry> imdMethods;
  platform::TGUID imdInterfaceID{};
  const TnxIntfMetaData* imdParent = nullptr;
  int32_t imdNumAnc = 0;
  bool imdContainsSafeCall = false;
  platform::TInterfacePtr<InxInvokeStubFactory> imdInvokeStubFactory;
  platform::TInterfacePtr<InxInvokeProxyFactory> imdInvokeProxyFactory;
  // Makes the dynamic invoke stub of this interface (nil: none can be
  // made); a new object nobody holds yet.
  TnxDynamicInvokeStub* (*imdMakeStub)(const TnxIntfMetaData& aMeta, InxInvokeDispatcher* aDispatcher) = nullptr;

  // Braced interface ID, or "unit.name" for an interface without one.
  std::u16string Key() const;
};

// One declared parameter, before classification.
struct TnxParamDecl {
  std::u16string name;
  const TnxTypeInfo* type = nullptr;  // nil: no type information
  uint8_t flags = 0;
};

struct TnxMethodDecl {
  std::u16string name;
  TnxCallConv cc = ccReg;
  std::vector<TnxParamDecl> params;
  const TnxTypeInfo* result = nullptr;  // nil: a procedure
  const TnxMethodOps* ops = nullptr;
};

// The size of a value of the kind in aType (the classification's own).
int32_t nxTypeSize(const TnxTypeInfo& aType) noexcept;
std::u16string nxTypeName(const TnxTypeInfo& aType);
// aSelf: the interface's type. aResultIsHResult: the result is an HRESULT.
TnxIntfMethEntry nxBuildMethod(const TnxMethodDecl& aDecl, uint32_t aPos, const TnxTypeInfo& aSelf,
                               bool aResultIsHResult, const std::u16string& aInterface,
                               const std::u16string& aUnit);

}  // namespace revurov
