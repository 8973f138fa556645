// The simple expression filter: a compact binary expression tree (the CAN
// expression a client's filter parser builds) with its source text and the
// code page of its 8-bit text constants, evaluated in place for every record.
//
// Contract:
// - The tree arrives from clients: building an engine checks every node and
//   literal offset, every operand count and every value length against the
//   tree's total size and refuses a bad tree with 10051 "Invalid Filter".
//   Evaluation then never reads outside the tree. Cycles, shared subtrees
//   that would blow up evaluation, and nesting deeper than kMaxDepth are
//   refused the same way.
// - Under AND and OR a Boolean operand counts by its value (null is False);
//   other fields count by their existence.
// - An integer compared with a floating-point value is compared as floating
//   point; any other pair the left operand's comparison cannot convert is
//   not comparable, and the comparison node is False.
// - A continue node stands for its truth value wherever a value is read.
// - The stream stores lengths in 16 bits: writing an expression of more than
//   65,535 bytes or a text of more than 65,535 characters is refused with
//   12289, never written with a wrapped length.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/filter_engines.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxSimpleExpressionFilterDescriptorException, EnxBaseFilterDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxSimpleExpressionFilterEngineException, EnxBaseFilterEngineException);

// The expression bytes, shared between descriptors and engines.
using TnxCANExpr = std::shared_ptr<const std::vector<uint8_t>>;

// Node classes and operators of the tree.
enum TnxCANNodeClass : uint32_t {
  nxcnUnary = 1, nxcnBinary = 2, nxcnCompare = 3, nxcnField = 4, nxcnConst = 5, nxcnContinue = 7,
};
enum TCANOperator : uint32_t {
  coNOTDEFINED, coISBLANK, coNOTBLANK, coEQ, coNE, coGT, coLT, coGE, coLE, coNOT, coAND, coOR, coTUPLE2,
  coFIELD2, coCONST2, coMINUS, coADD, coSUB, coMUL, coDIV, coMOD, coREM, coSUM, coCOUNT, coMIN, coMAX, coAVG,
  coCONT, coUDF2, coCONTINUE2, coLIKE, coIN, coLIST2, coUPPER, coLOWER, coFUNC2, coLISTELEM2, coASSIGN,
};
// Constant value types the evaluator interprets.
enum TnxCANConstType : uint16_t {
  nxccText = 1, nxccDate = 2, nxccBoolean = 4, nxccInt16 = 5, nxccInt32 = 6, nxccFloat = 7, nxccBcd = 8,
  nxccTime = 10, nxccTimeStamp = 11, nxccWord16 = 12, nxccWord32 = 13, nxccExtended = 14, nxccInt64 = 18,
  nxccSingle = 27, nxccWideText = 0x1007,
};

class TnxBaseSimpleExpressionFilterDescriptor : public TnxBaseFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxBaseSimpleExpressionFilterDescriptor, TnxBaseFilterDescriptor,
                              TnxFilterDescriptorClass, nullptr)

  // Takes aExpression's bytes as they are (null: empty); aCodePage -1 for
  // none.
  TnxBaseSimpleExpressionFilterDescriptor(TnxCANExpr aExpression, std::u16string aFilterText, int32_t aCodePage);
  TnxBaseSimpleExpressionFilterDescriptor(std::vector<uint8_t> aExpression, std::u16string aFilterText,
                                          int32_t aCodePage);

  const TnxCANExpr& Expression() const noexcept { return bsfdExpression; }
  int32_t CodePage() const noexcept { return bsfdCodePage; }
  const std::u16string& FilterText() const noexcept { return bsfdFilterText; }

protected:
  TnxCANExpr bsfdExpression;
  int32_t bsfdCodePage = -1;
  std::u16string bsfdFilterText;
};

class TnxSimpleExpressionFilterDescriptor : public TnxBaseSimpleExpressionFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxSimpleExpressionFilterDescriptor, TnxBaseSimpleExpressionFilterDescriptor,
                              TnxFilterDescriptorClass, &ReadStreamData)

  using TnxBaseSimpleExpressionFilterDescriptor::TnxBaseSimpleExpressionFilterDescriptor;

  // Kind 1 (no text), 3 (UTF-16 text) or, for readers above 30001 when a
  // code page is set, 4 (text and code page).
  uint32_t WriteToStream(platform::TStream& aStream, int32_t aVersion) const override;

private:
  static std::unique_ptr<TnxBaseFilterDescriptor> ReadStreamData(platform::TStream& aStream);
};

class TnxBaseSimpleExpressionFilterEngine : public TnxBaseFilterEngine {
  REVUROV_REGISTERABLE_RECORD(TnxBaseSimpleExpressionFilterEngine, TnxBaseFilterEngine, TnxFilterEngineClass,
                              nullptr)
  using TnxBaseFilterEngine::TnxBaseFilterEngine;
};

class TnxSimpleExpressionFilterEngine : public TnxBaseSimpleExpressionFilterEngine {
  REVUROV_REGISTERABLE_RECORD(TnxSimpleExpressionFilterEngine, TnxBaseSimpleExpressionFilterEngine,
                              TnxFilterEngineClass, &nxNewFilterEngine<TnxSimpleExpressionFilterEngine>)

  static constexpr int kMaxDepth = 256;

  // aDescriptor must be a TnxSimpleExpressionFilterDescriptor (else invalid
  // cast); 10051 for a bad tree.
  TnxSimpleExpressionFilterEngine(const TnxBaseFilterDescriptor* aDescriptor, const InxFieldsSource* aFieldsSource);

  std::unique_ptr<TnxBaseFilterDescriptor> CreateDescriptor() const override;
  bool MatchesBuffer(const uint8_t* aBuffer) override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) override;

  // One evaluated node's value.
  struct Operand {
    uint16_t Type = 0;  // a constant type when IsConst, else a field type
    uint16_t Size = 0;
    const void* Value = nullptr;
    uint16_t CodePage = 0;
    bool IsNull = false;
    bool IsConst = false;
  };

private:
  // A node of the tree decoded once: evaluation reads these instead of the
  // tree's bytes.
  struct PlanNode {
    uint32_t Class = 0;
    uint32_t Op = 0;
    int32_t Left = -1;  // plan indexes
    int32_t Right = -1;
    bool CaseInsensitive = false;
    uint16_t Partial = 0;
    uint16_t Continue = 0;
    int32_t Field = -1;
    const char* FieldName = nullptr;
    Operand Constant;
    // A comparison with a constant on the right: the constant as the
    // comparison reads it, worked out once.
    uint8_t ConstKind = 0;  // 0: none; else 1 + the kind
    int64_t ConstInt = 0;
    const char* ConstText = nullptr;
    uint32_t ConstTextSize = 0;
    // A field leaf at a fixed place of every record (Placed), and a
    // comparison of such a field with a constant of ConstKind (Fast): both
    // read the record directly.
    bool Placed = false;
    bool Fast = false;
    TnxFieldPlace Place;
    // LIKE of a placed null-terminated text with a short ASCII constant
    // (lower-cased when the comparison ignores case): a scan of the whole
    // field without a branch per byte.
    uint8_t ScanLength = 0;  // 0: no scan
    char ScanNeedle[16] = {};
  };

  void Validate() const;
  void ValidateNode(uint32_t aNode, int aDepth, uint32_t& aVisits) const;
  int32_t Compile(uint32_t aNode);
  bool EvaluateNode(int32_t aNode, Operand& aRecord, const uint8_t* aBuffer) const;
  bool EvaluateOperand(int32_t aNode, Operand& aRecord, const uint8_t* aBuffer) const;
  int CompareWithConstant(const PlanNode& aNode, const Operand& aLeft, const Operand& aRight) const;
  // The comparison of a Fast node for a non-null buffer; false when the
  // general way must answer.
  bool CompareInPlace(const PlanNode& aNode, const uint8_t* aBuffer, int& aResult) const;
  bool EvaluateCondition(int32_t aNode, const uint8_t* aBuffer) const;
  // What EvaluateNode answers for a node that is no leaf, without its value.
  bool EvaluateTruth(int32_t aNode, const uint8_t* aBuffer) const;
  // -1, 0, 1, or 2 when the two cannot be compared.
  int CompareOperands(const Operand& aLeft, const Operand& aRight, uint32_t aOperator, bool aCaseInsensitive,
                      uint16_t aPartialLen) const;

  TnxCANExpr sfeExpression;
  std::u16string sfeFilterText;
  bool sfeHasCodePage = false;
  uint16_t sfeCodePage = 0;
  // Checked at construction.
  const uint8_t* sfeBytes = nullptr;
  uint32_t sfeNodeStart = 0;
  uint32_t sfeLiteralStart = 0;
  std::vector<PlanNode> sfePlan;  // the root first
};

}  // namespace revurov
