#include "engine/remote_statement.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "engine/remote_cursor.h"
#include "engine/remote_database.h"
#include "engine/remote_object_requests.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"

namespace revurov {

namespace {

template <class F>
uint32_t Guarded(TnxAbstractServerObject& aObject, F&& aOperation) noexcept {
  try {
    return aOperation();
  } catch (const std::exception& e) {
    return aObject.asoConvertException(e);
  } catch (...) {
    return nxeExceptionWithoutCode;
  }
}

bool CarriesValueIn(TnxParamType aType) noexcept {
  return aType == nxptUnknown || aType == nxptInput || aType == nxptInputOutput;
}
bool CarriesValueOut(TnxParamType aType) noexcept {
  return aType == nxptOutput || aType == nxptInputOutput || aType == nxptResult;
}

// What the caller handed in goes to extenders by its address.
TnxEngineArg AddressArg(const void* aAddress) noexcept {
  return int64_t(reinterpret_cast<intptr_t>(aAddress));
}

void Empty(platform::TStream& aStream) {
  aStream.SetSize(0);
  aStream.SetPosition(0);
}

}  // namespace

void nxWriteSqlParams(TnxWriter& aWriter, const TnxSqlParamList& aParams) {
  for (const TnxSqlParamDesc& param : aParams) {
    aWriter.WriteString(param.piParamName);
    aWriter.WriteInteger(static_cast<int32_t>(param.piParamType));
    aWriter.WriteInteger(static_cast<int32_t>(param.piDataType));
    if (!CarriesValueIn(param.piParamType)) {
      aWriter.WriteInteger(0);
      continue;
    }
    aWriter.WriteInteger(static_cast<int32_t>(param.piData.size()));
    if (param.piData.empty()) continue;
    aWriter.WriteListBegin();
    aWriter.Write(param.piData.data(), static_cast<int64_t>(param.piData.size()));
    aWriter.WriteListEnd();
  }
}

uint32_t nxReadSqlParams(platform::TStream& aStream, TnxSqlParamList& aParams) {
  // Everything is read and checked first: a reply that does not fit the
  // caller's list leaves it as it was.
  std::vector<std::vector<uint8_t>> values(aParams.size());
  uint32_t result = 0;
  try {
    TnxReader reader(aStream);
    if (reader.ReadInteger() != static_cast<int32_t>(aParams.size())) {
      result = nxeInvalidParameter;
    } else {
      for (size_t i = 0; i < aParams.size() && result == 0; ++i) {
        const TnxSqlParamDesc& param = aParams[i];
        if (reader.ReadInteger() != static_cast<int32_t>(param.piDataType)) {
          result = nxeInvalidParameter;
          break;
        }
        const int32_t len = reader.ReadInteger();
        if (!CarriesValueOut(param.piParamType)) {
          if (len != 0) result = nxeInvalidParameter;
          continue;
        }
        // The length is checked against what came before anything is sized by it.
        if (len < 0 || len > reader.BytesLeft()) {
          result = nxeInvalidParameter;
          break;
        }
        if (len == 0) continue;
        values[i].resize(static_cast<size_t>(len));
        reader.ReadListBegin();
        reader.Read(values[i].data(), len);
        reader.ReadListEnd();
      }
    }
  } catch (const std::exception&) {
    result = nxeInvalidParameter;
  }
  if (result != 0) {
    Empty(aStream);
    return result;
  }
  for (size_t i = 0; i < aParams.size(); ++i)
    if (CarriesValueOut(aParams[i].piParamType)) aParams[i].piData = std::move(values[i]);
  return 0;
}

uint32_t nxReadResultSetCursor(platform::TStream& aStream, TnxRemoteDatabase* aDatabase, uint32_t aTimeout,
                               TnxThreadPriority aPriority, TnxAbstractCursor*& aCursor) {
  aCursor = nullptr;
  uint8_t id[4];
  if (aStream.Read(id, 4) != 4) return nxeMessageUnrecognized;
  const TnxCursorID cursorID = platform::LoadU32(id);
  if (cursorID == 0) return 0;
  auto dictionary = std::make_unique<TnxDataDictionary>();
  dictionary->ReadFromStream(aStream, u"");
  int32_t indexID = -1;
  if (dictionary->IndicesDescriptor()) {
    // Peeked only: the rest of the stream is the caller's.
    const int64_t at = aStream.Position();
    uint8_t peek[5];
    if (aStream.Read(peek, 5) == 5) indexID = static_cast<int32_t>(platform::LoadU32(peek + 1));
    aStream.SetPosition(at);
  }
  auto cursor = nxCreateServerObject<TnxRemoteCursor>(aDatabase, aTimeout, cursorID, indexID, nullptr,
                                                      std::move(dictionary), u"", -1);
  cursor->SetRemoteThreadPriority(aPriority);
  aCursor = cursor.release();
  return 0;
}

TnxRemoteStatement::TnxRemoteStatement(TnxRemoteDatabase* aDatabase, uint32_t aTimeout, TnxStatementID aStatementID)
    : TnxAbstractStatement(aDatabase, aTimeout),
      rsDatabase(*aDatabase),
      rsSession(aDatabase->Session()),
      rsSource(aDatabase->Session()),
      rsRemoteThreadPriority(aDatabase->RemoteThreadPriority()),
      rsServerVersion(aDatabase->ServerVersion()),
      rsStatementID(aStatementID) {}

TnxRemoteStatement::~TnxRemoteStatement() {
  // The request path does not raise; its result has nobody to go to.
  nxRemoteRawRequest(rsTarget(), nxnmStatementClose, {}, nullptr, true);
}

TnxRemoteRequestTarget TnxRemoteStatement::rsTarget() const noexcept {
  return {&rsSession, rsSource.Token(), rsRemoteThreadPriority, Timeout(), rsStatementID};
}

template <class F>
uint32_t TnxRemoteStatement::rsStreamRequest(TnxMsgID aMsgID, platform::TStream* aStream, F&& aWrite) {
  const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rsTarget());
  aWrite(*writer);
  TnxMemoryStream reply(-1);
  TnxMemoryStream* into = &reply;
  const uint32_t result = writer->RequestIntoStream(aMsgID, into);
  if (aStream && into && into->GetSize() > 0) {
    aStream->Write(into->Memory(), into->GetSize());
    aStream->SetPosition(0);
  }
  return result;
}

uint32_t TnxRemoteStatement::Prepare(TnxStatementType aStatementType, std::u16string_view aQueryText,
                                     platform::TStream* aStream) {
  return Guarded(*this, [&]() -> uint32_t {
    const TnxEngineArg args[] = {int32_t(aStatementType), aQueryText, AddressArg(aStream)};
    if (const uint32_t veto = NotifyExtenders(eaStatementPrepare, true, args)) return veto;
    const uint32_t result = rsStreamRequest(nxnmStatementPrepare, aStream, [&](TnxWriter& w) {
      w.WriteInteger(static_cast<int32_t>(aStatementType));
      w.WriteWideString_(aQueryText);
    });
    if (result == 0) NotifyExtenders(eaStatementPrepare, false, args);
    return result;
  });
}

uint32_t TnxRemoteStatement::Exec(TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, platform::TStream* aStream) {
  aCursor = nullptr;
  return Guarded(*this, [&]() -> uint32_t {
    TnxMemoryStream own(-1);
    platform::TStream& stream = aStream ? *aStream : own;
    Empty(stream);
    if (aOpenMode == omNone && rsServerVersion < nxStatementOpenModeNoneMinServer) aOpenMode = omReadOnly;
    const TnxEngineArg args[] = {AddressArg(&aCursor), int32_t(aOpenMode), AddressArg(&stream)};
    if (const uint32_t veto = NotifyExtenders(eaStatementExec, true, args)) return veto;
    TnxMemoryStream reply(-1);
    const uint8_t mode = static_cast<uint8_t>(aOpenMode);
    uint32_t result = nxRemoteRawStreamRequest(rsTarget(), nxnmStatementExec, reply, {&mode, 1});
    if (reply.GetSize() > 0) stream.Write(reply.Memory(), reply.GetSize());
    stream.SetPosition(0);
    if (result != 0) return result;
    result = nxReadResultSetCursor(stream, &rsDatabase, Timeout(), rsRemoteThreadPriority, aCursor);
    if (result == 0) NotifyExtenders(eaStatementExec, false, args);
    return result;
  });
}

uint32_t TnxRemoteStatement::SetParams(const TnxSqlParamList& aParams, platform::TStream* aStream) {
  return Guarded(*this, [&]() -> uint32_t {
    const TnxEngineArg args[] = {AddressArg(&aParams), AddressArg(aStream)};
    if (const uint32_t veto = NotifyExtenders(eaStatementSetParams, true, args)) return veto;
    const uint32_t result = rsStreamRequest(nxnmStatementSetParams, aStream, [&](TnxWriter& w) {
      w.WriteInteger(static_cast<int32_t>(aParams.size()));
      if (!aParams.empty()) w.WriteInteger(2);
      nxWriteSqlParams(w, aParams);
    });
    if (result == 0) NotifyExtenders(eaStatementSetParams, false, args);
    return result;
  });
}

uint32_t TnxRemoteStatement::GetParams(TnxSqlParamList& aParams, platform::TStream* aStream) {
  return Guarded(*this, [&]() -> uint32_t {
    const TnxEngineArg args[] = {AddressArg(&aParams), AddressArg(aStream)};
    if (const uint32_t veto = NotifyExtenders(eaStatementGetParams, true, args)) return veto;
    if (aParams.empty()) return 0;
    TnxMemoryStream own(-1);
    platform::TStream& stream = aStream ? *aStream : own;
    Empty(stream);
    const uint32_t result = rsStreamRequest(nxnmStatementGetParams, &stream, [&](TnxWriter& w) {
      w.WriteInteger(static_cast<int32_t>(aParams.size()));
      for (const TnxSqlParamDesc& param : aParams) {
        w.WriteString(param.piParamName);
        w.WriteInteger(static_cast<int32_t>(param.piParamType));
        w.WriteInteger(static_cast<int32_t>(param.piDataType));
      }
    });
    if (result != 0) return result;
    const uint32_t read = nxReadSqlParams(stream, aParams);
    if (read == 0) NotifyExtenders(eaStatementGetParams, false, args);
    return read;
  });
}

void TnxRemoteStatement::SetTimeout(uint32_t aValue) {
  if (aValue == Timeout()) return;
  TnxAbstractStatement::SetTimeout(aValue);
  if (AddToTimeoutBatch(this)) return;
  uint8_t extra[4];
  platform::StoreU32(extra, aValue);
  // Nobody is told of a failure: the value is kept here either way.
  nxRemoteRawRequest(rsTarget(), nxnmStatementSetTimeout, extra);
}

uint32_t TnxRemoteStatement::OptionClear(std::u16string_view aName) {
  return Guarded(*this, [&] { return nxRemoteOptionClear(rsTarget(), nxnmStatementOptionBase, aName); });
}

uint32_t TnxRemoteStatement::OptionSet(std::u16string_view aName, std::u16string_view aValue) {
  return Guarded(*this, [&] { return nxRemoteOptionSet(rsTarget(), nxnmStatementOptionBase, aName, aValue); });
}

uint32_t TnxRemoteStatement::OptionGet(std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  return Guarded(*this, [&] { return nxRemoteOptionGet(rsTarget(), nxnmStatementOptionBase, false, aName, aValue); });
}

uint32_t TnxRemoteStatement::OptionGetEffective(std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  return Guarded(*this, [&] { return nxRemoteOptionGet(rsTarget(), nxnmStatementOptionBase, true, aName, aValue); });
}

uint32_t TnxRemoteStatement::OptionList(platform::TStringList& aList) {
  return Guarded(*this, [&] { return nxRemoteOptionList(rsTarget(), nxnmStatementOptionBase, false, aList); });
}

uint32_t TnxRemoteStatement::OptionListEffective(platform::TStringList& aList) {
  return Guarded(*this, [&] { return nxRemoteOptionList(rsTarget(), nxnmStatementOptionBase, true, aList); });
}

}  // namespace revurov
