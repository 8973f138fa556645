#include "transport/data_message_queue.h"

#include <atomic>
#include <cstring>

#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"

namespace revurov {

TnxDataMessageNode::~TnxDataMessageNode() {
  std::unique_ptr<TnxDataMessageNode> next = std::move(dmnNext);
  // Each step detaches the follower before the node is freed.
  while (next) next = std::move(next->dmnNext);
}

std::unique_ptr<TnxDataMessageNode> TnxDataMessageQueue::NewNode(TnxMessageSource aSource, TnxMsgID aMsg,
                                                                 TnxSessionID aSessionID, uint32_t aError,
                                                                 uint32_t aSequenceID) {
  auto node = std::make_unique<TnxDataMessageNode>();
  node->dmnMsg = std::make_unique<TnxDataMessage>();
  TnxDataMessage& msg = *node->dmnMsg;
  msg.dmSource = aSource;
  msg.dmSequenceID = aSequenceID;
  msg.dmMsg = aMsg;
  msg.dmSessionID = aSessionID;
  msg.dmErrorCode = aError;
  return node;
}

void TnxDataMessageQueue::Push(TnxMessageSource aSource, TnxMsgID aMsg, TnxSessionID aSessionID,
                               uint32_t, uint32_t aError, const void* aData, intptr_t aDataLen,
                               bool aFront, uint32_t aSequenceID) {
  if (aSequenceID == 0) aSequenceID = ++dmqSequenceID;
  auto node = NewNode(aSource, aMsg, aSessionID, aError, aSequenceID);
  if (aDataLen > 0 && aData) {
    TnxDataMessage& msg = *node->dmnMsg;
    msg.dmData = nxAllocHeapBlock(static_cast<size_t>(aDataLen));
    std::memcpy(msg.dmData.get(), aData, static_cast<size_t>(aDataLen));
    msg.dmDataLen = aDataLen;
  }
  Link(std::move(node), aFront);
}

void TnxDataMessageQueue::PushTakeOwnership(TnxMessageSource aSource, TnxMsgID aMsg, TnxSessionID aSessionID,
                                            uint32_t, uint32_t aError, void*& aData, intptr_t aDataLen,
                                            bool aFront, uint32_t aSequenceID) {
  if (aSequenceID == 0) aSequenceID = ++dmqSequenceID;
  // Allocated before the block is taken: a failure leaves it with the caller.
  auto node = NewNode(aSource, aMsg, aSessionID, aError, aSequenceID);
  if (aDataLen > 0 && aData) {
    TnxDataMessage& msg = *node->dmnMsg;
    msg.dmData.reset(static_cast<uint8_t*>(std::atomic_ref<void*>(aData).exchange(nullptr)));
    if (msg.dmData) msg.dmDataLen = aDataLen;
  }
  Link(std::move(node), aFront);
}

void TnxDataMessageQueue::Link(std::unique_ptr<TnxDataMessageNode> aNode, bool aFront) noexcept {
  TnxDataMessageNode* node = aNode.get();
  LinkChainAfter(aFront ? &dmqHead : dmqTail, std::move(aNode), node);
}

void TnxDataMessageQueue::LinkChainAfter(TnxDataMessageNode* aPrev, std::unique_ptr<TnxDataMessageNode> aFirst,
                                         TnxDataMessageNode* aLast) noexcept {
  aFirst->dmnPrev = aPrev;
  aLast->dmnNext = std::move(aPrev->dmnNext);
  if (aLast->dmnNext)
    aLast->dmnNext->dmnPrev = aLast;
  else
    dmqTail = aLast;
  aPrev->dmnNext = std::move(aFirst);
}

std::unique_ptr<TnxDataMessageNode> TnxDataMessageQueue::Unlink(TnxDataMessageNode* aNode) noexcept {
  TnxDataMessageNode* prev = aNode->dmnPrev;
  std::unique_ptr<TnxDataMessageNode> owned = std::move(prev->dmnNext);
  prev->dmnNext = std::move(owned->dmnNext);
  if (prev->dmnNext)
    prev->dmnNext->dmnPrev = prev;
  else
    dmqTail = prev;
  owned->dmnPrev = nullptr;
  return owned;
}

namespace {

// Whether the data is a run of one or more whole parts that fill it exactly.
bool IsWholeRunOfParts(const uint8_t* aData, intptr_t aDataLen) noexcept {
  if (!aData || aDataLen <= 0) return false;
  const auto size = static_cast<size_t>(aDataLen);
  size_t offset = 0;
  while (offset < size) {
    if (size - offset < nxMultiReplyPartHeaderSize) return false;
    const uint32_t length = platform::LoadU32(aData + offset + 4);
    if (length < nxMultiReplyPartHeaderSize || length > size - offset) return false;
    offset += length;
  }
  return true;
}

}  // namespace

TnxDataMessageNode* TnxDataMessageQueue::SplitMultiReply(TnxDataMessageNode* aNode) {
  TnxDataMessage& multi = *aNode->dmnMsg;
  const uint8_t* data = multi.dmData.get();
  if (!IsWholeRunOfParts(data, multi.dmDataLen)) {
    // Handed out as it stands, never split again: a requester sees a
    // broken reply instead of a part read from outside the data.
    multi.dmData.reset();
    multi.dmDataLen = 0;
    multi.dmErrorCode = nxeLostConnection;
    aNode->dmnCantSkip = false;
    return aNode;
  }

  std::unique_ptr<TnxDataMessageNode> first;
  TnxDataMessageNode* last = nullptr;
  const auto size = static_cast<size_t>(multi.dmDataLen);
  for (size_t offset = 0; offset < size;) {
    const uint32_t id = platform::LoadU32(data + offset);
    const uint32_t length = platform::LoadU32(data + offset + 4);
    auto node = NewNode(multi.dmSource, id & ~nxMultiReplyCantSkipBit, multi.dmSessionID,
                        platform::LoadU32(data + offset + 8), multi.dmSequenceID);
    node->dmnCantSkip = (id & nxMultiReplyCantSkipBit) != 0;
    const size_t partDataLen = length - nxMultiReplyPartHeaderSize;
    if (partDataLen > 0) {
      TnxDataMessage& msg = *node->dmnMsg;
      msg.dmData = nxAllocHeapBlock(partDataLen);
      std::memcpy(msg.dmData.get(), data + offset + nxMultiReplyPartHeaderSize, partDataLen);
      msg.dmDataLen = static_cast<intptr_t>(partDataLen);
    }
    TnxDataMessageNode* raw = node.get();
    if (last) {
      raw->dmnPrev = last;
      last->dmnNext = std::move(node);
    } else {
      first = std::move(node);
    }
    last = raw;
    offset += length;
  }

  TnxDataMessageNode* prev = aNode->dmnPrev;
  Unlink(aNode);  // frees the multi-reply with its data
  TnxDataMessageNode* firstPart = first.get();
  LinkChainAfter(prev, std::move(first), last);
  return firstPart;
}

PnxDataMessage TnxDataMessageQueue::Pop(bool& aCantSkip, TnxMessageSource aSource) {
  aCantSkip = false;
  TnxDataMessageNode* match = dmqHead.dmnNext.get();
  while (match && match->dmnMsg->dmSource != aSource) match = match->dmnNext.get();
  if (!match) return nullptr;
  if (match->dmnMsg->dmMsg == nxMultiReplyMsgID) match = SplitMultiReply(match);
  std::unique_ptr<TnxDataMessageNode> node = Unlink(match);
  aCantSkip = node->dmnCantSkip;
  return std::move(node->dmnMsg);
}

void TnxDataMessageQueue::SwapSourceForSequence(uint32_t aSequenceID, TnxMessageSource aFrom,
                                                TnxMessageSource aTo) noexcept {
  for (TnxDataMessageNode* node = dmqHead.dmnNext.get(); node; node = node->dmnNext.get()) {
    TnxDataMessage& msg = *node->dmnMsg;
    if (msg.dmSequenceID == aSequenceID && msg.dmSource == aFrom) msg.dmSource = aTo;
  }
}

}  // namespace revurov
