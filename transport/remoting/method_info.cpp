#include "transport/remoting/method_info.h"

#include <algorithm>

#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov {

namespace {

bool IsFloat(const TnxTypeInfo& aType) noexcept { return aType.tiKind == tkFloat; }

void Classify(TnxIntfParamEntry& aParam, TnxCallConv aCC) {
  const TnxTypeInfo& type = *aParam.ipeInfo;
  aParam.ipeSize = nxTypeSize(type);
  aParam.ipeAlignedSize = (aParam.ipeSize + 3) & ~3;
  const bool regOrPascal = aCC == ccReg || aCC == ccPascal;
  if (aParam.ipeFlags & (pfVar | pfReference | pfOut)) {
    aParam.ipeByRef = true;
  } else {
    switch (type.tiKind) {
      case tkString: aParam.ipeByRef = true; break;
      case tkSet:
      case tkArray: aParam.ipeByRef = aParam.ipeAlignedSize > 4; break;
      case tkVariant: aParam.ipeByRef = regOrPascal; break;
      case tkRecord: aParam.ipeByRef = regOrPascal && aParam.ipeAlignedSize > 4; break;
      default: aParam.ipeByRef = false; break;
    }
  }
  aParam.ipeCanPassInRegister =
      aCC == ccReg && (aParam.ipeByRef || (aParam.ipeAlignedSize <= 4 && !IsFloat(type)));
}

// Results that a caller passes as a hidden out parameter.
bool ResultTravelsAsParam(const TnxIntfParamEntry& aResult) {
  switch (aResult.ipeInfo->tiKind) {
    case tkString:
    case tkMethod:
    case tkLString:
    case tkWString:
    case tkVariant:
    case tkInterface:
    case tkDynArray:
    case tkUString: return true;
    case tkSet:
    case tkArray:
    case tkRecord: return aResult.ipeAlignedSize >= 5;
    default: return false;
  }
}

const TnxTypeInfo kHResultType{.tiKind = tkInteger, .tiOrdType = otSLong, .tiMinValue = INT32_MIN,
                               .tiMaxValue = INT32_MAX};

}  // namespace

int32_t nxTypeSize(const TnxTypeInfo& aType) noexcept {
  switch (aType.tiKind) {
    case tkInteger:
    case tkChar:
    case tkEnumeration:
    case tkWChar:
      switch (aType.tiOrdType) {
        case otSByte:
        case otUByte: return 1;
        case otSWord:
        case otUWord: return 2;
        case otSLong:
        case otULong: return 4;
      }
      return 1;
    case tkFloat:
      switch (aType.tiFloatType) {
        case ftSingle: return 4;
        case ftDouble: return 8;
        case ftExtended: return 10;
        case ftComp:
        case ftCurr: return 8;
      }
      return 1;
    case tkString: return aType.tiMaxLength + 1;
    case tkSet: return int32_t((aType.tiMaxValue - aType.tiMinValue + 8) / 8);
    case tkMethod:
    case tkInt64: return 8;
    case tkVariant: return 16;
    case tkRecord: return std::u16string_view(aType.tiName) == u"TGUID" ? 16 : 1;
    case tkClass:
    case tkLString:
    case tkWString:
    case tkInterface:
    case tkDynArray:
    case tkUString: return 4;
    default: return 1;
  }
}

std::u16string nxTypeName(const TnxTypeInfo& aType) {
  switch (aType.tiKind) {
    case tkInteger: {
      static constexpr const char16_t* kNames[] = {u"ShortInt", u"Byte", u"SmallInt", u"Word", u"Integer", u"Cardinal"};
      return kNames[aType.tiOrdType];
    }
    case tkChar: return u"AnsiChar";
    case tkWChar: return u"WideChar";
    case tkEnumeration: return aType.tiMaxValue == 1 && aType.tiMinValue == 0 ? u"Boolean" : u"Enumeration";
    case tkFloat: {
      static constexpr const char16_t* kNames[] = {u"Single", u"Double", u"Extended", u"Comp", u"Currency"};
      return kNames[aType.tiFloatType];
    }
    case tkString: return u"ShortString";
    case tkSet: return u"Set";
    case tkClass: return u"TObject";
    case tkMethod: return u"Method";
    case tkLString: return u"AnsiString";
    case tkWString: return u"WideString";
    case tkVariant: return u"Variant";
    case tkArray: return u"Array";
    case tkRecord: return aType.tiName;
    case tkInterface: return u"IInterface";
    case tkInt64: return u"Int64";
    case tkDynArray: return u"DynArray";
    case tkUString: return u"UnicodeString";
    default: return u"Unknown";
  }
}

namespace invoke_detail {

std::vector<std::u16string> SplitNames(std::u16string_view aList) {
  aList = platform::Trim(aList);
  if (!aList.empty() && aList.front() == u'(') aList.remove_prefix(1);
  if (!aList.empty() && aList.back() == u')') aList.remove_suffix(1);
  std::vector<std::u16string> names;
  if (platform::Trim(aList).empty()) return names;
  for (;;) {
    const size_t comma = aList.find(u',');
    names.emplace_back(platform::Trim(aList.substr(0, comma)));
    if (comma == std::u16string_view::npos) return names;
    aList.remove_prefix(comma + 1);
  }
}

bool Listed(std::u16string_view aList, std::u16string_view aName) {
  for (const std::u16string& name : SplitNames(aList))
    if (name == aName) return true;
  return false;
}

}  // namespace invoke_detail

std::u16string TnxIntfMetaData::Key() const {
  if (imdInterfaceID == platform::GUID_NULL) return imdUnitName + u"." + imdName;
  return platform::GUIDToString(imdInterfaceID);
}

std::vector<const TnxIntfParamEntry*> TnxIntfMethEntry::WireParams(int32_t aVersion, bool aOut) const {
  std::vector<const TnxIntfParamEntry*> list;
  for (const TnxIntfParamEntry& p : imeParams)
    if (aOut ? p.IsOut() : p.IsIn()) list.push_back(&p);
  if (aVersion >= 3)
    std::stable_sort(list.begin(), list.end(),
                     [](const TnxIntfParamEntry* a, const TnxIntfParamEntry* b) { return a->ipeOrgPos < b->ipeOrgPos; });
  return list;
}

TnxIntfMethEntry nxBuildMethod(const TnxMethodDecl& aDecl, uint32_t aPos, const TnxTypeInfo& aSelf,
                               bool aResultIsHResult, const std::u16string& aInterface, const std::u16string& aUnit) {
  TnxIntfMethEntry m;
  m.imeName = aDecl.name;
  m.imePos = aPos;
  m.imeCC = aDecl.cc;
  m.imeOps = aDecl.ops;

  // Self first, as the type information lists it.
  TnxIntfParamEntry self;
  self.ipeName = u"Self";
  self.ipeTypeName = aInterface;
  self.ipeOrgPos = nxOrgPosSelf;
  self.ipeInfo = &aSelf;
  Classify(self, aDecl.cc);
  m.imeParams.push_back(self);
  for (size_t i = 0; i < aDecl.params.size(); ++i) {
    const TnxParamDecl& decl = aDecl.params[i];
    if (!decl.type)
      throw platform::Exception(u"Parameter \"" + decl.name + u"\" on Method \"" + aDecl.name + u"\" of Interface \"" +
                                aUnit + u"." + aInterface + u"\" has no RTTI");
    TnxIntfParamEntry p;
    p.ipeName = decl.name;
    p.ipeTypeName = nxTypeName(*decl.type);
    p.ipeOrgPos = int16_t(i);
    p.ipeInfo = decl.type;
    p.ipeFlags = decl.flags;
    Classify(p, aDecl.cc);
    m.imeParams.push_back(p);
  }
  if (aDecl.cc == ccCdecl || aDecl.cc == ccStdCall || aDecl.cc == ccSafeCall)
    std::reverse(m.imeParams.begin(), m.imeParams.end());

  if (aDecl.result) {
    m.imeResult.ipeName = u"__Result__";
    m.imeResult.ipeTypeName = aResultIsHResult ? u"HRESULT" : nxTypeName(*aDecl.result);
    m.imeResult.ipeOrgPos = nxOrgPosResult;
    m.imeResult.ipeInfo = aResultIsHResult ? &kHResultType : aDecl.result;
    Classify(m.imeResult, aDecl.cc);
  }
  const bool hasResult = m.imeResult.ipeInfo != nullptr;
  if (aDecl.cc == ccSafeCall) {
    if (hasResult) {
      TnxIntfParamEntry hidden = m.imeResult;
      hidden.ipeFlags = pfOut;
      Classify(hidden, aDecl.cc);
      m.imeParams.insert(m.imeParams.begin(), hidden);
    }
    m.imeResult = TnxIntfParamEntry{};
    m.imeResult.ipeName = u"__SafeResult__";
    m.imeResult.ipeTypeName = u"HRESULT";
    m.imeResult.ipeOrgPos = nxOrgPosSafeResult;
    m.imeResult.ipeInfo = &kHResultType;
    m.imeResult.ipeFlags = pfOut;
    Classify(m.imeResult, aDecl.cc);
    m.imeResultIn = riEAXHRESULT;
  } else if (hasResult && ResultTravelsAsParam(m.imeResult)) {
    TnxIntfParamEntry hidden = m.imeResult;
    hidden.ipeFlags = pfOut;
    Classify(hidden, aDecl.cc);
    m.imeParams.push_back(hidden);
    m.imeResult = TnxIntfParamEntry{};
    m.imeResultIn = riInParam;
  }
  if (aDecl.cc == ccPascal && m.imeParams.size() > 1) {
    std::rotate(m.imeParams.begin(), m.imeParams.begin() + 1, m.imeParams.end());
  }
  if (m.imeResult.ipeInfo && m.imeResultIn == riNone) {
    if (m.imeResult.ipeInfo->tiKind == tkFloat) {
      m.imeResultIn = riST0;
    } else if (m.imeResult.ipeInfo->tiKind == tkInt64) {
      m.imeResultIn = riEAXEDX;
    } else if (platform::AsciiSameText(m.imeResult.ipeTypeName, u"HRESULT")) {
      m.imeResultIn = riEAXHRESULT;
    } else {
      m.imeResultIn = riEAX;
    }
    m.imeResult.ipeFlags = pfOut;
  }

  // The first three register-fit parameters go in registers.
  std::vector<bool> inRegister(m.imeParams.size(), false);
  if (aDecl.cc == ccReg) {
    int registers = 0;
    for (size_t i = 0; i < m.imeParams.size() && registers < 3; ++i)
      if (m.imeParams[i].ipeCanPassInRegister) {
        inRegister[i] = true;
        ++registers;
      }
  }
  if (m.imeParams.size() > 32)
    throw platform::Exception(u"Method \"" + aDecl.name + u"\" of Interface \"" + aUnit + u"." + aInterface +
                              u"\" has more than 32 parameters");
  m.imeDeclared.assign(aDecl.params.size(), -1);
  for (size_t i = m.imeParams.size(); i-- > 0;) {
    TnxIntfParamEntry& p = m.imeParams[i];
    p.ipeSizeOnStack = p.ipeByRef ? 4 : p.ipeAlignedSize;
    if (!inRegister[i]) m.imeSizeOnStack += uint32_t(p.ipeSizeOnStack);
    if (p.ipeByRef) m.imeByRefFlags |= 1u << i;
  }
  for (size_t i = 0; i < m.imeParams.size(); ++i) {
    TnxIntfParamEntry& p = m.imeParams[i];
    p.ipePos = int16_t(i);
    if (p.ipeOrgPos == nxOrgPosSelf) m.imeSelfParam = uint8_t(i);
    else if (p.ipeOrgPos == nxOrgPosResult) m.imeHiddenResult = int16_t(i);
    else m.imeDeclared[size_t(p.ipeOrgPos)] = int16_t(i);
  }
  m.imeParamCount = uint32_t(m.imeParams.size());
  if (m.imeResult.ipeSize > 0) m.imeResult.ipePos = int16_t(m.imeParamCount);
  return m;
}

}  // namespace revurov
