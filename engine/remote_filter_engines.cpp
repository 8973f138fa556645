#include "engine/remote_filter_engines.h"

#include "engine/remote_cursor.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/format.h"

namespace revurov {

namespace {
template <class E>
[[noreturn]] void RaiseNoDescriptor(std::u16string_view aClassName) {
  throw E(nxeCapabilityNotSupported, platform::Format(u"%s not supported by %s", {u"CreateDescriptor", aClassName}));
}
}  // namespace

TnxRemoteFilterEngine::TnxRemoteFilterEngine(TnxRemoteCursor& aCursor, uint32_t aServerFilterID)
    : TnxBaseFilterEngine(nullptr, nullptr), rfCursor(aCursor), rfFilterID(aServerFilterID) {}

TnxRemoteFilterEngine::~TnxRemoteFilterEngine() {
  if (rfConnected) {
    rfConnected = false;
    Report(faRemove);
  }
}

std::unique_ptr<TnxBaseFilterEngine> TnxRemoteFilterEngine::Duplicate(const InxFieldsSource*) const {
  auto engine = std::make_unique<TnxRemoteFilterEngine>(rfCursor, rfFilterID);
  engine->bfActive = bfActive;
  engine->rfConnected = rfConnected;
  return engine;
}

std::unique_ptr<TnxBaseFilterDescriptor> TnxRemoteFilterEngine::CreateDescriptor() const {
  RaiseNoDescriptor<EnxRemoteFilterEngineException>(ClassName());
}

uint32_t TnxRemoteFilterEngine::ActivateFilter(TnxFilterID aFilterID) {
  const uint32_t result = TnxBaseFilterEngine::ActivateFilter(aFilterID);
  if (result == 0 && rfConnected && aFilterID != 0) return Report(faActivate);
  return result;
}

uint32_t TnxRemoteFilterEngine::DeactivateFilter(TnxFilterID aFilterID) {
  const uint32_t result = TnxBaseFilterEngine::DeactivateFilter(aFilterID);
  if (result == 0 && rfConnected && aFilterID != 0) return Report(faDeactivate);
  return result;
}

void TnxRemoteFilterEngine::Disconnect() {
  TnxBaseFilterEngine::Disconnect();
  rfConnected = false;
}

uint32_t TnxRemoteFilterEngine::Report(uint8_t aAction) {
  return rfCursor.ProcessFilterAction(static_cast<TnxFilterAction>(aAction), rfFilterID);
}

TnxRemoteKeyFilterEngine::TnxRemoteKeyFilterEngine(TnxRemoteCursor& aCursor, uint32_t aServerKeyFilterID)
    : TnxRemoteFilterEngine(aCursor, aServerKeyFilterID) {}

TnxRemoteKeyFilterEngine::~TnxRemoteKeyFilterEngine() {
  // Here, not in the base: only this class's report sends the key request.
  if (rfConnected) {
    rfConnected = false;
    Report(faRemove);
  }
}

std::unique_ptr<TnxBaseFilterEngine> TnxRemoteKeyFilterEngine::Duplicate(const InxFieldsSource*) const {
  auto engine = std::make_unique<TnxRemoteKeyFilterEngine>(rfCursor, rfFilterID);
  engine->bfActive = bfActive;
  engine->rfConnected = rfConnected;
  return engine;
}

std::unique_ptr<TnxBaseFilterDescriptor> TnxRemoteKeyFilterEngine::CreateDescriptor() const {
  RaiseNoDescriptor<EnxRemoteKeyFilterEngineException>(ClassName());
}

uint32_t TnxRemoteKeyFilterEngine::Report(uint8_t aAction) {
  return rfCursor.ProcessKeyFilterAction(static_cast<TnxFilterAction>(aAction), rfFilterID);
}

}  // namespace revurov
