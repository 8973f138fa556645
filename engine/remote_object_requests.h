// The requests that the remote database, transaction context and task info
// send alike: their server ID first, through the session's ProcessRequest
// with the object's own queue source, priority and timeout, and the six
// option requests at $xF3 to $xF8 of each class.
//
// Contract:
// - Nothing here raises out of a request: failures come back as codes. The
//   readers of replies raise the reader's error for a reply that breaks
//   off; the callers convert it.
// - A raw reply is handed back whole; its length is the caller's to check.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine_types.h"
#include "engine/remote_session.h"

namespace revurov {

class TnxMemoryStream;

// Where and how one remote object sends; made afresh for each request.
struct TnxRemoteRequestTarget {
  TnxRemoteSession* rrtSession = nullptr;
  TnxMessageSource rrtSource = nullptr;
  TnxThreadPriority rrtPriority = 0;
  uint32_t rrtTimeout = 0;
  TnxBaseID rrtID = 0;
};

// A writer whose first value is the Integer ID, unless aIDFirst is False
// (requests that carry the ID further on).
std::unique_ptr<TnxRequestWriter> nxRemoteCreateRequest(const TnxRemoteRequestTarget& aTarget, bool aIDFirst = true);
// The raw u32 ID followed by aExtra; the reply's bytes into aReply when
// given (left empty on failure).
uint32_t nxRemoteRawRequest(const TnxRemoteRequestTarget& aTarget, TnxMsgID aMsgID,
                            std::span<const uint8_t> aExtra = {}, std::vector<uint8_t>* aReply = nullptr,
                            bool aCanSkipCantSkip = false) noexcept;
// The raw u32 ID followed by aExtra; the reply (nmdStream) into aReply,
// emptied first.
uint32_t nxRemoteRawStreamRequest(const TnxRemoteRequestTarget& aTarget, TnxMsgID aMsgID, TnxMemoryStream& aReply,
                                  std::span<const uint8_t> aExtra = {}) noexcept;

// The option requests; aBase is the class's $xF0.
uint32_t nxRemoteOptionClear(const TnxRemoteRequestTarget& aTarget, TnxMsgID aBase, std::u16string_view aName);
uint32_t nxRemoteOptionSet(const TnxRemoteRequestTarget& aTarget, TnxMsgID aBase, std::u16string_view aName,
                           std::u16string_view aValue);
// aValue is emptied first; aEffective picks $xF6 over $xF5.
uint32_t nxRemoteOptionGet(const TnxRemoteRequestTarget& aTarget, TnxMsgID aBase, bool aEffective,
                           std::u16string_view aName, std::u16string& aValue);
// The server's list is added to aList; aEffective picks $xF8 over $xF7.
uint32_t nxRemoteOptionList(const TnxRemoteRequestTarget& aTarget, TnxMsgID aBase, bool aEffective,
                            platform::TStringList& aList);

inline constexpr TnxMsgID nxnmOptionClearOffset = 3;
inline constexpr TnxMsgID nxnmOptionSetOffset = 4;
inline constexpr TnxMsgID nxnmOptionGetOffset = 5;
inline constexpr TnxMsgID nxnmOptionGetEffectiveOffset = 6;
inline constexpr TnxMsgID nxnmOptionListOffset = 7;
inline constexpr TnxMsgID nxnmOptionListEffectiveOffset = 8;

}  // namespace revurov
