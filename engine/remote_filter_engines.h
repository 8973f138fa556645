// The stand-ins a remote cursor keeps for filters the server evaluates:
// they match every record locally and pass activation, deactivation and
// removal of their filter on to the server by the server's filter ID.
//
// Contract:
// - The cursor must outlive its engines (it owns them).
// - While connected, freeing an engine removes the server's filter; a
//   disconnected engine (or its duplicate) reports nothing.
// - ID 0 (all filters) reports nothing from the engine: the cursor sends
//   one action for all.
#pragma once

#include <cstdint>
#include <memory>

#include "dictionary/filter_engines.h"

namespace revurov {

class TnxRemoteCursor;

REVUROV_EXCEPTION_CLASS(EnxRemoteFilterEngineException, EnxBaseFilterEngineException);
REVUROV_EXCEPTION_CLASS(EnxRemoteKeyFilterEngineException, EnxBaseFilterEngineException);

class TnxRemoteFilterEngine : public TnxBaseFilterEngine {
  REVUROV_REGISTERABLE_RECORD(TnxRemoteFilterEngine, TnxBaseFilterEngine, TnxFilterEngineClass, nullptr)

  TnxRemoteFilterEngine(TnxRemoteCursor& aCursor, uint32_t aServerFilterID);
  ~TnxRemoteFilterEngine() override;

  uint32_t ServerFilterID() const noexcept { return rfFilterID; }
  bool Connected() const noexcept { return rfConnected; }

  std::unique_ptr<TnxBaseFilterEngine> Duplicate(const InxFieldsSource* aFieldsSource) const override;
  std::unique_ptr<TnxBaseFilterDescriptor> CreateDescriptor() const override;
  bool MatchesBuffer(const uint8_t*) override { return true; }
  uint32_t ActivateFilter(TnxFilterID aFilterID) override;
  uint32_t DeactivateFilter(TnxFilterID aFilterID) override;
  void Disconnect() override;
  bool IsEvalLocal() const override { return false; }

protected:
  // Tells the server; the result of the request.
  virtual uint32_t Report(uint8_t aAction);

  TnxRemoteCursor& rfCursor;  // not owned
  uint32_t rfFilterID;
  bool rfConnected = true;
};

class TnxRemoteKeyFilterEngine : public TnxRemoteFilterEngine {
  REVUROV_REGISTERABLE_RECORD(TnxRemoteKeyFilterEngine, TnxRemoteFilterEngine, TnxFilterEngineClass, nullptr)

  TnxRemoteKeyFilterEngine(TnxRemoteCursor& aCursor, uint32_t aServerKeyFilterID);
  ~TnxRemoteKeyFilterEngine() override;

  std::unique_ptr<TnxBaseFilterEngine> Duplicate(const InxFieldsSource* aFieldsSource) const override;
  std::unique_ptr<TnxBaseFilterDescriptor> CreateDescriptor() const override;

protected:
  uint32_t Report(uint8_t aAction) override;
};

}  // namespace revurov
