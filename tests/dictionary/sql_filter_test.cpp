#include "dictionary/sql_filter.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "dictionary/startup.h"
#include "lowlevel/streams/memory_stream.h"
#include "tests/support/exception_message.h"
#include "tests/support/test_fields_source.h"

namespace revurov::testing {
namespace {

// Stands in for an SQL engine's statement: answers or raises as told and
// records what it saw.
struct StatementScript {
  bool Answer = true;
  bool Raise = false;
  int Calls = 0;
  const uint8_t* Seen = nullptr;
  std::u16string Text;
};
StatementScript* gScript = nullptr;

class ScriptedStatement : public TnxBaseSqlFilterStatement {
public:
  ScriptedStatement(const InxFieldsSource* aSource, const std::u16string& aText)
      : TnxBaseSqlFilterStatement(aSource, aText) {
    gScript->Text = aText;
  }

protected:
  bool Evaluate() override {
    ++gScript->Calls;
    gScript->Seen = bsfsBuffer;
    if (gScript->Raise) throw std::runtime_error("evaluation failed");
    return gScript->Answer;
  }
};

std::unique_ptr<TnxBaseSqlFilterStatement> NewScripted(const InxFieldsSource* aSource, const std::u16string& aText) {
  return std::make_unique<ScriptedStatement>(aSource, aText);
}

class SqlFilterTest : public ::testing::Test {
protected:
  SqlFilterTest() { gScript = &script_; }
  ~SqlFilterTest() override {
    nxSetSqlFilterStatementClass(nullptr);
    gScript = nullptr;
  }

  TnxDictionaryStartupGuard startup_;
  TestFieldsSource source_;
  StatementScript script_;
  uint8_t record_[4] = {};
};

TEST_F(SqlFilterTest, WithoutSqlEngineEnginesAreRefusedButDescriptorsStream) {
  TnxSqlFilterDescriptor descriptor(u"Qty > 5 AND Name LIKE '%son%'");
  try {
    TnxBaseFilterEngine::CreateFor(descriptor, &source_);
    FAIL() << "no exception";
  } catch (const EnxSqlFilterEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), 12289u);
    EXPECT_TRUE(Contains(e.Message(), u"SQL Filters require SqlFilterStatementClass to be assigned"));
  }
  TnxMemoryStream stream;
  ASSERT_EQ(descriptor.WriteToStream(stream, 47501), 0u);
  stream.SetPosition(0);
  std::unique_ptr<TnxBaseFilterDescriptor> read;
  ASSERT_EQ(TnxBaseFilterDescriptor::CreateFromStream(stream, read), 0u);
  EXPECT_EQ(dynamic_cast<TnxSqlFilterDescriptor&>(*read).Expression(), descriptor.Expression());
}

TEST_F(SqlFilterTest, StatementDecidesAndItsErrorsReject) {
  nxSetSqlFilterStatementClass(&NewScripted);
  TnxSqlFilterDescriptor descriptor(u"Qty > 5");
  auto engine = TnxBaseFilterEngine::CreateFor(descriptor, &source_);
  EXPECT_EQ(script_.Text, u"Qty > 5");
  EXPECT_TRUE(engine->MatchesBuffer(record_));
  EXPECT_EQ(script_.Calls, 0);  // inactive
  engine->SetActive(true);
  EXPECT_TRUE(engine->MatchesBuffer(nullptr));
  EXPECT_EQ(script_.Calls, 0);
  script_.Answer = false;
  EXPECT_FALSE(engine->MatchesBuffer(record_));
  EXPECT_EQ(script_.Seen, record_);
  script_.Answer = true;
  script_.Raise = true;
  EXPECT_FALSE(engine->MatchesBuffer(record_));
  EXPECT_EQ(script_.Calls, 2);
  auto copy = engine->CreateDescriptor();
  EXPECT_EQ(dynamic_cast<TnxSqlFilterDescriptor&>(*copy).Expression(), u"Qty > 5");
}

TEST_F(SqlFilterTest, StatementForgetsTheBufferAfterEachCall) {
  ScriptedStatement statement(&source_, u"x");
  for (bool raise : {false, true}) {
    script_.Raise = raise;
    EXPECT_EQ(statement.MatchesBuffer(record_), !raise);
    EXPECT_EQ(statement.Buffer(), nullptr);
  }
}

TEST_F(SqlFilterTest, StreamReadsBothKindsAndRefusesBadOnes) {
  std::string name = "TnxSqlFilterDescriptor";
  std::string head = char(name.size()) + name;
  struct Case {
    const char* what;
    std::string data;
    uint32_t code;
    std::u16string text;
  };
  const Case cases[] = {
      {"8-bit text", std::string("\x01\x03\x00\x00\x00" "a<b", 8), 0, u"a<b"},
      {"UTF-16 text", std::string("\x02\x02\x00\x00\x00" "a\0b\0", 9), 0, u"ab"},
      {"empty text", std::string("\x02\x00\x00\x00\x00", 5), 0, u""},
      {"kind 3", std::string("\x03\x00\x00\x00\x00", 5), 15498, u""},
      {"length missing", std::string("\x02\x01\x00", 3), 15498, u""},
      {"negative length", std::string("\x02\xff\xff\xff\xff", 5), 15498, u""},
      {"text shorter than announced", std::string("\x02\x03\x00\x00\x00" "a\0", 7), 15498, u""},
      {"huge length", std::string("\x02\xff\xff\xff\x7f", 5), 15498, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = head + c.data;
    TnxMemoryStream stream;
    stream.WriteBuffer(bytes.data(), int64_t(bytes.size()));
    stream.SetPosition(0);
    std::unique_ptr<TnxBaseFilterDescriptor> read;
    EXPECT_EQ(TnxBaseFilterDescriptor::CreateFromStream(stream, read), c.code);
    if (c.code == 0) {
      ASSERT_NE(read, nullptr);
      EXPECT_EQ(dynamic_cast<TnxSqlFilterDescriptor&>(*read).Expression(), c.text);
    }
  }
}

}  // namespace
}  // namespace revurov::testing
