// Builds expression trees in the byte layout clients send for the simple
// expression filter: nodes are made bottom-up and laid out root first.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dictionary/simple_expression_filter.h"

namespace revurov::testing {

class CanExpressionBuilder {
public:
  using Node = int;

  Node Field(uint16_t aNumber, const std::string& aName) { return Add(nxcnField, 0, {aNumber}, {}, aName + '\0'); }
  Node Const(uint16_t aType, const void* aValue, uint16_t aSize) {
    std::string bytes(static_cast<const char*>(aValue), aSize);
    return Add(nxcnConst, 0, {aType, aSize}, {}, bytes);
  }
  Node Int32(int32_t aValue) { return Const(nxccInt32, &aValue, 4); }
  Node Int64(int64_t aValue) { return Const(nxccInt64, &aValue, 8); }
  Node Float(double aValue) { return Const(nxccFloat, &aValue, 8); }
  Node Bool(bool aValue) {
    uint16_t v = aValue ? 1 : 0;
    return Const(nxccBoolean, &v, 2);
  }
  Node Date(int32_t aDays) { return Const(nxccDate, &aDays, 4); }
  Node TimeStamp(double aMs) { return Const(nxccTimeStamp, &aMs, 8); }
  Node Text(const std::string& aText) {
    std::string z = aText + '\0';
    return Const(nxccText, z.data(), static_cast<uint16_t>(z.size()));
  }
  Node WideText(const std::u16string& aText) {
    std::string bytes(2 + aText.size() * 2, '\0');
    uint16_t count = static_cast<uint16_t>(aText.size() * 2);
    std::memcpy(bytes.data(), &count, 2);
    std::memcpy(bytes.data() + 2, aText.data(), aText.size() * 2);
    return Const(nxccWideText, bytes.data(), static_cast<uint16_t>(bytes.size()));
  }
  Node Unary(uint32_t aOp, Node aOperand) { return Add(nxcnUnary, aOp, {}, {aOperand}, {}); }
  Node Binary(uint32_t aOp, Node aLeft, Node aRight) { return Add(nxcnBinary, aOp, {}, {aLeft, aRight}, {}); }
  Node Compare(uint32_t aOp, Node aLeft, Node aRight, bool aCaseInsensitive = false, uint16_t aPartial = 0) {
    return Add(nxcnCompare, aOp, {uint16_t(aCaseInsensitive ? 1 : 0), aPartial}, {aLeft, aRight}, {});
  }
  Node Continue(uint16_t aValue) { return Add(nxcnContinue, 0, {aValue}, {}, {}); }
  // A node of any class with raw 16-bit operands.
  Node Raw(uint32_t aClass, uint32_t aOp, std::vector<uint16_t> aOperands) {
    return Add(aClass, aOp, std::move(aOperands), {}, {});
  }

  // The tree with aRoot at node offset 0.
  std::vector<uint8_t> Build(Node aRoot) const {
    std::vector<uint32_t> offsets(nodes_.size(), 0);
    std::vector<Node> order;
    uint32_t next = 0;
    Place(aRoot, offsets, order, next);
    std::string literals;
    std::vector<uint32_t> literalAt(nodes_.size(), 0);
    for (Node n : order) {
      literalAt[size_t(n)] = uint32_t(literals.size());
      literals += nodes_[size_t(n)].literal;
    }
    const uint32_t nodeStart = 10, literalStart = nodeStart + next;
    std::vector<uint8_t> out(literalStart + literals.size(), 0);
    Put16(out, 0, 1);
    Put16(out, 2, uint16_t(out.size()));
    Put16(out, 4, uint16_t(order.size()));
    Put16(out, 6, uint16_t(nodeStart));
    Put16(out, 8, uint16_t(literalStart));
    for (Node n : order) {
      const NodeData& d = nodes_[size_t(n)];
      uint32_t at = nodeStart + offsets[size_t(n)];
      std::memcpy(out.data() + at, &d.cls, 4);
      std::memcpy(out.data() + at + 4, &d.op, 4);
      std::vector<uint16_t> operands = d.head;
      for (Node k : d.kids) operands.push_back(uint16_t(offsets[size_t(k)]));
      if (d.cls == nxcnField || d.cls == nxcnConst) operands.push_back(uint16_t(literalAt[size_t(n)]));
      for (size_t i = 0; i < operands.size(); ++i) Put16(out, at + 8 + uint32_t(i) * 2, operands[i]);
    }
    std::memcpy(out.data() + literalStart, literals.data(), literals.size());
    return out;
  }

  static void Put16(std::vector<uint8_t>& aOut, uint32_t aAt, uint16_t aValue) {
    std::memcpy(aOut.data() + aAt, &aValue, 2);
  }

private:
  struct NodeData {
    uint32_t cls, op;
    std::vector<uint16_t> head;
    std::vector<Node> kids;
    std::string literal;
  };

  Node Add(uint32_t aClass, uint32_t aOp, std::vector<uint16_t> aHead, std::vector<Node> aKids,
           std::string aLiteral) {
    nodes_.push_back({aClass, aOp, std::move(aHead), std::move(aKids), std::move(aLiteral)});
    return Node(nodes_.size() - 1);
  }
  uint32_t SizeOf(const NodeData& d) const {
    uint32_t operands = uint32_t(d.head.size() + d.kids.size());
    if (d.cls == nxcnField || d.cls == nxcnConst) ++operands;
    return 8 + 2 * operands;
  }
  void Place(Node n, std::vector<uint32_t>& aOffsets, std::vector<Node>& aOrder, uint32_t& aNext) const {
    aOffsets[size_t(n)] = aNext;
    aNext += SizeOf(nodes_[size_t(n)]);
    aOrder.push_back(n);
    for (Node k : nodes_[size_t(n)].kids) Place(k, aOffsets, aOrder, aNext);
  }

  std::vector<NodeData> nodes_;
};

}  // namespace revurov::testing
