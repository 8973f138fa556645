// The queue of replies a transport delivered to a remote session, until the
// object that asked for each collects it; multi-replies are split into
// their parts when they are popped.
//
// Contract:
// - No lock: the requesting thread pushes (from its reply callback) and pops.
// - The queue owns every queued message and its data; Pop hands both to
//   the caller. Push copies the caller's data; PushTakeOwnership takes the
//   caller's library-heap block (the caller's variable is exchanged with nil
//   atomically).
// - A message holds data exactly when dmDataLen > 0; a push with a negative
//   length or without a block stores none and a length of 0.
// - A multi-reply (dmMsg 255) whose data is not a run of whole parts (none,
//   a part length below 12, a part past the data) pops as one message of
//   its source, session and sequence with error 11276 and no data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "lowlevel/heap/memory_manager.h"
#include "transport/heap_block.h"
#include "transport/wire_header.h"

namespace revurov {

// The object a message is addressed to; compared, never dereferenced.
using TnxMessageSource = const void*;

// dmMsg of a message that carries several replies.
inline constexpr TnxMsgID nxMultiReplyMsgID = 255;
// Part header of a multi-reply: ID (bit 31: cannot be skipped), length
// (header included), error code; u32 each.
inline constexpr uint32_t nxMultiReplyPartHeaderSize = 12;
inline constexpr uint32_t nxMultiReplyCantSkipBit = 0x80000000u;

struct TnxDataMessage {
  TnxMsgID dmMsg = 0;
  TnxMessageSource dmSource = nullptr;
  TnxSessionID dmSessionID = 0;
  uint32_t dmErrorCode = 0;
  TnxHeapBlock dmData;
  intptr_t dmDataLen = 0;
  uint32_t dmSequenceID = 0;

  static void* operator new(std::size_t aSize) { return nxGetMem(aSize); }
  static void operator delete(void* aBlock) noexcept { nxFreeMem(aBlock); }
};
using PnxDataMessage = std::unique_ptr<TnxDataMessage>;

struct TnxDataMessageNode {
  PnxDataMessage dmnMsg;
  bool dmnCantSkip = false;
  std::unique_ptr<TnxDataMessageNode> dmnNext;
  TnxDataMessageNode* dmnPrev = nullptr;

  TnxDataMessageNode() = default;
  TnxDataMessageNode(const TnxDataMessageNode&) = delete;
  TnxDataMessageNode& operator=(const TnxDataMessageNode&) = delete;
  // Frees the nodes behind it one by one: a long chain must not recurse.
  ~TnxDataMessageNode();

  static void* operator new(std::size_t aSize) { return nxGetMem(aSize); }
  static void operator delete(void* aBlock) noexcept { nxFreeMem(aBlock); }
};

class TnxDataMessageQueue : public TnxObject {
public:
  TnxDataMessageQueue() = default;

  // aSequenceID 0 takes the next number of the queue's counter (1, 2, ...,
  // wrapping); any other is kept and leaves the counter alone. aTimeOut is
  // not kept. aFront puts the message before all others.
  void Push(TnxMessageSource aSource, TnxMsgID aMsg, TnxSessionID aSessionID, uint32_t aTimeOut,
            uint32_t aError, const void* aData, intptr_t aDataLen, bool aFront, uint32_t aSequenceID);
  // As Push; when aDataLen > 0 and aData holds a block, the queue takes the
  // block and aData becomes nil; otherwise aData stays with the caller.
  void PushTakeOwnership(TnxMessageSource aSource, TnxMsgID aMsg, TnxSessionID aSessionID,
                         uint32_t aTimeOut, uint32_t aError, void*& aData, intptr_t aDataLen,
                         bool aFront, uint32_t aSequenceID);
  // The first message addressed to aSource (a multi-reply split first), or
  // null; aCantSkip is the message's cannot-skip flag.
  PnxDataMessage Pop(bool& aCantSkip, TnxMessageSource aSource);
  // Every message of aFrom with aSequenceID is addressed to aTo instead.
  void SwapSourceForSequence(uint32_t aSequenceID, TnxMessageSource aFrom, TnxMessageSource aTo) noexcept;

private:
  std::unique_ptr<TnxDataMessageNode> NewNode(TnxMessageSource aSource, TnxMsgID aMsg,
                                              TnxSessionID aSessionID, uint32_t aError,
                                              uint32_t aSequenceID);
  void Link(std::unique_ptr<TnxDataMessageNode> aNode, bool aFront) noexcept;
  void LinkChainAfter(TnxDataMessageNode* aPrev, std::unique_ptr<TnxDataMessageNode> aFirst,
                      TnxDataMessageNode* aLast) noexcept;
  std::unique_ptr<TnxDataMessageNode> Unlink(TnxDataMessageNode* aNode) noexcept;
  // The node that takes the multi-reply's place for Pop.
  TnxDataMessageNode* SplitMultiReply(TnxDataMessageNode* aNode);

  uint32_t dmqSequenceID = 0;
  TnxDataMessageNode dmqHead;  // sentinel: never holds a message
  TnxDataMessageNode* dmqTail = &dmqHead;
};

}  // namespace revurov
