// TnxRemoteStatement: the client side of a statement the server allocated
// for a remote database ($241); it prepares, passes parameters, executes
// (a result set comes back as a remote cursor) and reads output values.
//
// Contract:
// - Requests go through the database's session with a source token of the
//   statement's own, its thread priority and its timeout.
// - Each operation's stream receives the server's report; Exec and
//   GetParams read theirs and leave the rest for the caller.
// - GetParams checks the server's count, data types and lengths against
//   the caller's list before anything is taken; a mismatch answers 9986
//   with the stream emptied.
// - Prepare, Exec, SetParams and GetParams are announced to extenders
//   before (a non-zero answer ends the call, nothing sent) and after a
//   success.
// - Freed, it closes the server's statement ($4FF, can-skip), failures
//   swallowed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/abstract_statement.h"
#include "engine/remote_session.h"

namespace revurov {

class TnxRemoteDatabase;
class TnxMemoryStream;
struct TnxRemoteRequestTarget;

inline constexpr TnxMsgID nxnmStatementPrepare = 0x401;
inline constexpr TnxMsgID nxnmStatementExec = 0x402;
inline constexpr TnxMsgID nxnmStatementSetParams = 0x403;
inline constexpr TnxMsgID nxnmStatementGetParams = 0x404;
inline constexpr TnxMsgID nxnmStatementSetTimeout = 0x4F0;
inline constexpr TnxMsgID nxnmStatementOptionBase = 0x4F0;
inline constexpr TnxMsgID nxnmStatementClose = 0x4FF;
// Below this version a server knows no omNone for a statement's cursor.
inline constexpr int32_t nxStatementOpenModeNoneMinServer = 45000;

class TnxRemoteStatement : public TnxAbstractStatement {
  REVUROV_SERVER_OBJECT_CLASS(TnxRemoteStatement, TnxAbstractStatement)
  TnxRemoteStatement(TnxRemoteDatabase* aDatabase, uint32_t aTimeout, TnxStatementID aStatementID);

  TnxBaseID RemoteID() const noexcept override { return rsStatementID; }
  // Paths the local walk does not take go to the server object.
  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  bool IsRemote() const noexcept override { return true; }
  int32_t RemoteThreadPriority() const override { return rsRemoteThreadPriority; }
  void SetRemoteThreadPriority(int32_t aValue) override { rsRemoteThreadPriority = aValue; }
  TnxStatementID StatementID() const noexcept { return rsStatementID; }

  uint32_t Prepare(TnxStatementType aStatementType, std::u16string_view aQueryText,
                   platform::TStream* aStream) override;
  uint32_t Exec(TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, platform::TStream* aStream) override;
  uint32_t SetParams(const TnxSqlParamList& aParams, platform::TStream* aStream) override;
  uint32_t GetParams(TnxSqlParamList& aParams, platform::TStream* aStream) override;
  void SetTimeout(uint32_t aValue) override;

  uint32_t OptionClear(std::u16string_view aName) override;
  uint32_t OptionSet(std::u16string_view aName, std::u16string_view aValue) override;
  uint32_t OptionGet(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t OptionGetEffective(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t OptionList(platform::TStringList& aList) override;
  uint32_t OptionListEffective(platform::TStringList& aList) override;

protected:
  ~TnxRemoteStatement() override;

private:
  TnxRemoteRequestTarget rsTarget() const noexcept;
  // A tagged request whose reply goes into aStream (when given).
  template <class F>
  uint32_t rsStreamRequest(TnxMsgID aMsgID, platform::TStream* aStream, F&& aWrite);

  TnxRemoteDatabase& rsDatabase;
  TnxRemoteSession& rsSession;
  TnxRemoteSource rsSource;
  TnxThreadPriority rsRemoteThreadPriority = 0;
  int32_t rsServerVersion = 0;
  TnxStatementID rsStatementID = 0;
};

// The parameters as $403 and $242 carry them: per parameter its name,
// type, data type and, for the values that go in, the data.
void nxWriteSqlParams(TnxWriter& aWriter, const TnxSqlParamList& aParams);
// Reads the values the server gave back into aParams after checking all of
// them; 9986 (nothing taken) for a count, type or length that does not fit.
uint32_t nxReadSqlParams(platform::TStream& aStream, TnxSqlParamList& aParams);
// The result set a statement's execution starts aStream with: nil for
// cursor ID 0, else a remote cursor that owns the dictionary read.
uint32_t nxReadResultSetCursor(platform::TStream& aStream, TnxRemoteDatabase* aDatabase, uint32_t aTimeout,
                               TnxThreadPriority aPriority, TnxAbstractCursor*& aCursor);

}  // namespace revurov
