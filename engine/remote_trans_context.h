// TnxRemoteTransContext: the client side of a server transaction context.
// A session makes one with TransContextCreate ($151), owning the server's
// ID; one that came with DatabaseOpen belongs to its database and does not
// own the ID.
//
// Contract:
// - Its requests go through its session with a source token of its own,
//   its own thread priority and its own timeout.
// - A timeout change joins an open timeout batch, else goes out as $9F0.
// - Freed while owning the ID, it closes the server's object ($9FF); the
//   close's failure is swallowed.
// - The transaction operations come with their requests; until then each
//   answers 12289.
#pragma once

#include <cstdint>
#include <span>

#include "dictionary/engine_types.h"
#include "engine/abstract_trans_context.h"
#include "engine/remote_session.h"

namespace revurov {

inline constexpr TnxMsgID nxnmTransContextSetTimeout = 0x9F0;
inline constexpr TnxMsgID nxnmTransContextClose = 0x9FF;

class TnxRemoteTransContext : public TnxAbstractTransContext {
  REVUROV_SERVER_OBJECT_CLASS(TnxRemoteTransContext, TnxAbstractTransContext)
  TnxRemoteTransContext(TnxRemoteSession* aSession, uint32_t aTimeout, bool aOwnsID,
                        TnxTransContextID aTransContextID);

  TnxBaseID RemoteID() const noexcept override { return rtcTransContextID; }
  bool IsRemote() const noexcept override { return true; }
  int32_t RemoteThreadPriority() const override { return rtcRemoteThreadPriority; }
  void SetRemoteThreadPriority(int32_t aValue) override { rtcRemoteThreadPriority = aValue; }
  int32_t ServerVersion() const noexcept { return rtcServerVersion; }
  bool OwnsID() const noexcept { return rtcOwnsID; }
  void SetTimeout(uint32_t aValue) override;

  uint32_t TransactionStart(bool, bool) override { return NotSupported(u"TransactionStart"); }
  uint32_t TransactionStartWith(bool, bool, std::span<TnxAbstractCursor* const>) override {
    return NotSupported(u"TransactionStartWith");
  }
  uint32_t TransactionCommit() override { return NotSupported(u"TransactionCommit"); }
  uint32_t TransactionRollback() override { return NotSupported(u"TransactionRollback"); }
  uint32_t TransactionCorrupted() override { return NotSupported(u"TransactionCorrupted"); }
  uint32_t TransactionGetLevel(int32_t& aTransLevel) override {
    aTransLevel = 0;
    return NotSupported(u"TransactionGetLevel");
  }
  uint32_t TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool) override {
    aTransInfo = {};
    return NotSupported(u"TransactionGetInfo");
  }

protected:
  ~TnxRemoteTransContext() override;

private:
  TnxRemoteSession& rtcSession;
  TnxRemoteSource rtcSource;
  TnxThreadPriority rtcRemoteThreadPriority = 0;
  int32_t rtcServerVersion = 0;
  bool rtcOwnsID = false;
  TnxTransContextID rtcTransContextID = 0;
};

}  // namespace revurov
