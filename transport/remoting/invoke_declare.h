// Declaring an interface for dynamic invocation: one list beside the
// interface names each method with its convention, result, parameters,
// parameter names and out parameters; the templates below derive the
// method records, the call of the real method from a pointer array and
// the dynamic invoke stub that implements the interface.
//
//   #define ICALC_METHODS(M)
//     M(Add, ccStdCall, platform::HRESULT, (int32_t a, int32_t b, int32_t& r), (a, b, r), u"r")
//     M(Name, ccSafeCall, std::u16string, (), (), u"")
//   (one line per method, each ending with a backslash)
//   REVUROV_INVOKABLE(ICalc, u"CalcUnit", platform::IInterface, REVUROV_NO_METHODS, ICALC_METHODS)
//
// Contract:
// - Use REVUROV_INVOKABLE at global scope, after the interface. Parent is
//   the interface it derives from (platform::IInterface, or an invokable
//   interface), ANCESTORS the methods of every invokable ancestor (their
//   lists joined, oldest first), OWN the interface's own methods in slot
//   order.
// - Directions: a parameter by value is in; a const reference is in with
//   the const flag; a reference is var unless the last field names it out.
// - A stdcall method answers an HRESULT; a safecall method answers its
//   result and raises EOleException / EOleSysError when the call failed
//   (the real method's exception travels as HRESULT and error
//   information).
// - A parameter or result type without a value kind (type_descriptor.h)
//   does not compile.
#pragma once

#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "transport/remoting/invoke_registry.h"
#include "transport/remoting/method_info.h"

namespace revurov {

// Specialised by REVUROV_INVOKABLE; the root has no declaration.
template <class I>
struct TnxInvokable;

template <>
struct TnxInvokable<platform::IInterface> {
  static const TnxInterfaceDecl* Decl() { return nullptr; }
};

namespace invoke_detail {

template <class M>
struct TMember;
template <class C, class R, class... A>
struct TMember<R (C::*)(A...)> {
  using Class = C;
  using Result = R;
  using Args = std::tuple<A...>;
};
template <class C, class R, class... A>
struct TMember<R (C::*)(A...) noexcept> : TMember<R (C::*)(A...)> {};

// Names from the stringized list "(a, b, c)".
std::vector<std::u16string> SplitNames(std::u16string_view aList);
bool Listed(std::u16string_view aList, std::u16string_view aName);

template <class A>
constexpr uint8_t Flags(bool aOut) {
  static_assert(!std::is_rvalue_reference_v<A>, "parameters are values or lvalue references");
  if constexpr (std::is_lvalue_reference_v<A>) {
    if constexpr (std::is_const_v<std::remove_reference_t<A>>) return pfConst;
    else return aOut ? pfOut : pfVar;
  } else {
    return 0;
  }
}

template <auto M>
struct TMethod {
  using Traits = TMember<decltype(M)>;
  using I = typename Traits::Class;
  using R = typename Traits::Result;
  using Args = typename Traits::Args;
  static constexpr size_t kArity = std::tuple_size_v<Args>;
  static constexpr bool kVoid = std::is_void_v<R>;
  using RStore = std::conditional_t<kVoid, char, R>;
  template <size_t K>
  using Value = std::remove_cvref_t<std::tuple_element_t<K, Args>>;

  struct TValues;
  template <size_t... K>
  static auto MakeValues(std::index_sequence<K...>) -> std::tuple<Value<K>...>;
  using ArgValues = decltype(MakeValues(std::make_index_sequence<kArity>()));

  struct TFrameValues {
    ArgValues args{};
    RStore result{};
    platform::HRESULT safeResult = 0;
    void* self = nullptr;
    alignas(16) unsigned char place[16] = {};
  };

  template <size_t... K>
  static R CallWith(I* aObject, const TnxIntfMethEntry& aMethod, void** aParams, std::index_sequence<K...>) {
    return (aObject->*M)(*static_cast<std::remove_reference_t<std::tuple_element_t<K, Args>>*>(
        aParams[aMethod.imeDeclared[K]])...);
  }

  static platform::HRESULT Call(platform::IInterface* aObject, const TnxIntfMethEntry& aMethod, void** aParams) {
    // An inherited method names its own interface: the object is asked for
    // that one, not for the interface the frame was made for.
    I* object = dynamic_cast<I*>(aObject);
    platform::TInterfacePtr<I> held;
    if (!object) {
      held = platform::Supports<I>(aObject);
      object = held.Get();
      if (!object) return platform::E_NOINTERFACE;
    }
    constexpr auto seq = std::make_index_sequence<kArity>();
    const uint32_t last = aMethod.imeParamCount;
    if (aMethod.imeCC == ccSafeCall) {
      platform::HRESULT result = platform::S_OK;
      try {
        if constexpr (kVoid) CallWith(object, aMethod, aParams, seq);
        else *static_cast<R*>(aParams[aMethod.imeHiddenResult]) = CallWith(object, aMethod, aParams, seq);
      } catch (...) {
        result = nxSafeCallFailure(object);
      }
      *static_cast<platform::HRESULT*>(aParams[last]) = result;
      return platform::S_OK;
    }
    if constexpr (kVoid) {
      CallWith(object, aMethod, aParams, seq);
    } else if (aMethod.imeHiddenResult >= 0) {
      *static_cast<R*>(aParams[aMethod.imeHiddenResult]) = CallWith(object, aMethod, aParams, seq);
    } else {
      *static_cast<R*>(aParams[last]) = CallWith(object, aMethod, aParams, seq);
    }
    return platform::S_OK;
  }

  template <size_t... K>
  static void Point(ArgValues& aValues, const TnxIntfMethEntry& aMethod, void** aParams, std::index_sequence<K...>) {
    ((aParams[aMethod.imeDeclared[K]] = &std::get<K>(aValues)), ...);
  }

  static void* Allocate(const TnxIntfMethEntry& aMethod, void** aParams) {
    auto* values = new TFrameValues();
    Point(values->args, aMethod, aParams, std::make_index_sequence<kArity>());
    aParams[aMethod.imeSelfParam] = &values->self;
    const uint32_t last = aMethod.imeParamCount;
    if (aMethod.imeHiddenResult >= 0) aParams[aMethod.imeHiddenResult] = &values->result;
    if (aMethod.imeCC == ccSafeCall) aParams[last] = &values->safeResult;
    else if (aMethod.imeHiddenResult < 0 && !kVoid) aParams[last] = &values->result;
    else aParams[last] = values->place;
    return values;
  }
  static void Free(void* aValues) noexcept { delete static_cast<TFrameValues*>(aValues); }

  static constexpr TnxMethodOps kOps{&Call, &Allocate, &Free};

  template <size_t... K>
  static void Describe(TnxMethodDecl& aDecl, const std::vector<std::u16string>& aNames,
                       [[maybe_unused]] std::u16string_view aOuts, std::index_sequence<K...>) {
    (aDecl.params.push_back(TnxParamDecl{K < aNames.size() ? aNames[K] : std::u16string(),
                                         &nxTypeInfo<Value<K>>(),
                                         Flags<std::tuple_element_t<K, Args>>(
                                             K < aNames.size() && Listed(aOuts, aNames[K]))}),
     ...);
  }

  static TnxMethodDecl Declare(const char16_t* aName, TnxCallConv aCC, std::u16string_view aNames,
                               std::u16string_view aOuts) {
    TnxMethodDecl decl;
    decl.name = aName;
    decl.cc = aCC;
    decl.ops = &kOps;
    const std::vector<std::u16string> names = SplitNames(aNames);
    if (names.size() != kArity)
      throw platform::Exception(u"Method \"" + decl.name + u"\" names " + std::u16string(aNames) +
                                u", not one name per parameter");
    Describe(decl, names, aOuts, std::make_index_sequence<kArity>());
    if constexpr (!kVoid) decl.result = &nxTypeInfo<R>();
    return decl;
  }

  // The stub's side: the caller's arguments become a pointer array.
  template <class Tuple, size_t... K>
  static void PointArgs(const TnxIntfMethEntry& aMethod, void** aParams, Tuple& aArgs, std::index_sequence<K...>) {
    ((aParams[aMethod.imeDeclared[K]] = const_cast<void*>(static_cast<const void*>(&std::get<K>(aArgs)))), ...);
  }

  template <class Tuple>
  static R Invoke(TnxDynamicInvokeStub& aStub, const TnxIntfMethEntry& aMethod, I* aSelf, Tuple aArgs) {
    void* params[34] = {};
    void* self = aSelf;
    params[aMethod.imeSelfParam] = &self;
    PointArgs(aMethod, params, aArgs, std::make_index_sequence<kArity>());
    const uint32_t last = aMethod.imeParamCount;
    platform::HRESULT safeResult = platform::S_OK;
    alignas(16) unsigned char place[16] = {};
    RStore result{};
    if (aMethod.imeHiddenResult >= 0) params[aMethod.imeHiddenResult] = &result;
    if (aMethod.imeCC == ccSafeCall) params[last] = &safeResult;
    else if (aMethod.imeHiddenResult < 0 && !kVoid) params[last] = &result;
    else params[last] = place;
    aStub.DispatchCall(aMethod, params);
    if (aMethod.imeCC == ccSafeCall && safeResult < 0) nxRaiseSafeCallError(safeResult);
    if constexpr (!kVoid) return result;
  }
};

template <class I, class Parent>
TnxInterfaceDecl MakeDecl(const char16_t* aName, const char16_t* aUnit, std::vector<TnxMethodDecl> aOwn,
                          TnxDynamicInvokeStub* (*aMakeStub)(const TnxIntfMetaData&, InxInvokeDispatcher*)) {
  TnxInterfaceDecl decl;
  decl.idParent = TnxInvokable<Parent>::Decl();
  TnxIntfMetaData& meta = decl.idMeta;
  meta.imdName = aName;
  meta.imdUnitName = aUnit;
  meta.imdInterfaceID = I::IID;
  meta.imdHasRTTI = true;
  meta.imdMakeStub = aMakeStub;
  if (decl.idParent) {
    meta.imdParent = &decl.idParent->idMeta;
    meta.imdMethods = decl.idParent->idMeta.imdMethods;
  } else {
    meta.imdMethods.resize(3);  // the root's three, without information
    for (uint32_t i = 0; i < 3; ++i) meta.imdMethods[i].imePos = i;
  }
  meta.imdNumAnc = int32_t(meta.imdMethods.size());
  for (const TnxMethodDecl& method : aOwn) {
    meta.imdMethods.push_back(nxBuildMethod(method, uint32_t(meta.imdMethods.size()),
                                            nxTypeInfo<platform::TInterfacePtr<I>>(), method.cc == ccStdCall,
                                            meta.imdName, meta.imdUnitName));
  }
  for (const TnxIntfMethEntry& method : meta.imdMethods)
    if (method.imeOps && method.imeCC == ccSafeCall) meta.imdContainsSafeCall = true;
  return decl;
}

}  // namespace invoke_detail
}  // namespace revurov

#define REVUROV_NO_METHODS(M)
#define REVUROV_INVOKE_UNPAREN(...) __VA_ARGS__

#define REVUROV_INVOKE_DECLARE_METHOD(Name, Conv, Result, Params, Names, Outs) \
  ::revurov::invoke_detail::TMethod<&Self::Name>::Declare(u"" #Name, ::revurov::Conv, u"" #Names, Outs),

#define REVUROV_INVOKE_OVERRIDE(Name, Conv, Result, Params, Names, Outs)                                    \
  Result Name Params override {                                                                             \
    /* Slots are the same in every copy of the interface's metadata. */                                     \
    static const uint32_t slot = MethodNamed(u"" #Name).imePos;                                             \
    return ::revurov::invoke_detail::TMethod<&Self::Name>::Invoke(                                          \
        *this, disMetaData->imdMethods[slot], static_cast<Self*>(this), std::forward_as_tuple Names);       \
  }

#define REVUROV_INVOKABLE(I, Unit, Parent, ANCESTORS, OWN)                                                     \
  template <>                                                                                                  \
  struct revurov::TnxInvokable<I> {                                                                            \
    static const ::revurov::TnxInterfaceDecl* Decl();                                                          \
    class Stub;                                                                                                \
  };                                                                                                           \
  class revurov::TnxInvokable<I>::Stub final : public ::revurov::TnxDynamicInvokeStub, public I {              \
    using Self = I;                                                                                            \
                                                                                                               \
  public:                                                                                                      \
    using ::revurov::TnxDynamicInvokeStub::TnxDynamicInvokeStub;                                               \
    void* ImplementedInterface() noexcept override { return static_cast<I*>(this); }                         \
    static ::revurov::TnxDynamicInvokeStub* Make(const ::revurov::TnxIntfMetaData& aMeta,                      \
                                                 ::revurov::InxInvokeDispatcher* aDispatcher) {                \
      return ::revurov::nxCreate<Stub>(aMeta, aDispatcher);                                                    \
    }                                                                                                          \
    ANCESTORS(REVUROV_INVOKE_OVERRIDE)                                                                         \
    OWN(REVUROV_INVOKE_OVERRIDE)                                                                               \
  };                                                                                                           \
  inline const ::revurov::TnxInterfaceDecl* revurov::TnxInvokable<I>::Decl() {                                 \
    using Self = I;                                                                                            \
    static const ::revurov::TnxInterfaceDecl decl = ::revurov::invoke_detail::MakeDecl<I, Parent>(             \
        u"" #I, Unit, {OWN(REVUROV_INVOKE_DECLARE_METHOD)}, &Stub::Make);                                      \
    return &decl;                                                                                              \
  }
