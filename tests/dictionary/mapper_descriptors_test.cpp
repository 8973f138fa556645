#include "dictionary/mapper_descriptors.h"

#include <gtest/gtest.h>

#include <functional>

#include "dictionary/startup.h"
#include "dictionary_tree_fixture.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "tests/support/exception_message.h"
#include "tests/support/tagged_bytes.h"

namespace revurov::testing {
namespace {

using Bytes = std::vector<uint8_t>;

// A record mapper as the field-mapping subsystem would register one.
class FieldByNameMapper : public TnxBaseRecordMapperDescriptor {
  REVUROV_REGISTERABLE_RECORD(FieldByNameMapper, TnxBaseRecordMapperDescriptor, TnxRecordMapperDescriptorClass,
                              (&nxNewMapperDescriptor<TnxBaseRecordMapperDescriptor, FieldByNameMapper>))
};

class MapperDescriptorsTest : public ::testing::Test {
protected:
  MapperDescriptorsTest() { FieldByNameMapper::ClassInfo().Register(); }
  ~MapperDescriptorsTest() override { FieldByNameMapper::ClassInfo().Unregister(); }

  TnxDictionaryStartupGuard startup;
};

TEST_F(MapperDescriptorsTest, AFreshTableMappingWritesItsDefaults) {
  TnxBaseTableMapperDescriptor mapping;
  EXPECT_EQ(Written([&](TnxWriter& w) { mapping.SaveToWriter(w, 47501); }), Written([](TnxWriter& w) {
              w.WriteInteger(int32_t{1});
              w.WriteString(u".");
              w.WriteString(u".");
              w.WriteBoolean(false);
              w.WriteInteger(int32_t{0});
            }));
}

TEST_F(MapperDescriptorsTest, NestedMappingsKeepDistinctNames) {
  TnxBaseTableMapperDescriptor mapping;
  TnxBaseTableMapperDescriptor* orders = mapping.AddTable(u"Orders");
  EXPECT_EQ(orders->Parent(), &mapping);
  EXPECT_EQ(orders->MapTo(), u".");
  EXPECT_TRUE(Contains(MessageOf<EnxBaseTableMapperDescriptorException>([&] { mapping.AddTable(u"ORDERS"); }),
                       u"Duplicated table name: ORDERS"));
  EXPECT_EQ(mapping.GetTableDescriptorFromName(u"orders"), orders);
  EXPECT_EQ(CodeOf<EnxBaseTableMapperDescriptorException>([&] { mapping.GetTableDescriptorFromName(u"Lines"); }),
            nxeTableDoesNotExist);
  mapping.RemoveTable(3);
  mapping.RemoveTable(u"Lines");
  EXPECT_EQ(mapping.TableCount(), 1);
  mapping.RemoveTable(u"ORDERS");
  EXPECT_EQ(mapping.TableCount(), 0);
}

TEST_F(MapperDescriptorsTest, DuplicateCopiesTheTree) {
  TnxBaseTableMapperDescriptor mapping;
  mapping.SetMapTo(u"Target");
  mapping.AddRecordMapper(&FieldByNameMapper::ClassInfo());
  mapping.AddTable(u"Orders")->SetMapTo(u"Sales");
  mapping.AddTable(u"Lines")->AddRecordMapper(&FieldByNameMapper::ClassInfo());
  std::unique_ptr<TnxBaseTableMapperDescriptor> copy = mapping.Duplicate();
  auto bytes = [](const TnxBaseTableMapperDescriptor& m) {
    return Written([&](TnxWriter& w) { m.WriteToWriter(w, 47501); });
  };
  EXPECT_EQ(bytes(*copy), bytes(mapping));
  ASSERT_EQ(copy->TableCount(), 2);
  EXPECT_EQ(copy->Parent(), nullptr);
  for (int32_t i = 0; i < 2; ++i) EXPECT_EQ(copy->TableDescriptor(i)->Parent(), copy.get());
  EXPECT_NE(copy->TableDescriptor(1)->RecordMapper(), nullptr);

  std::unique_ptr<TnxBaseRecordMapperDescriptor> records = mapping.RecordMapper()->Duplicate();
  EXPECT_EQ(&records->ClassType(), &FieldByNameMapper::ClassInfo());
}

TEST_F(MapperDescriptorsTest, AnUnknownClassIsRefusedAfterItsIdentifier) {
  Bytes b = Written([](TnxWriter& w) {
    w.WriteIdent(u"TnxMysteryTableMapperDescriptor");
    w.WriteInteger(int32_t{1});
  });
  TnxStaticMemoryStream s(b.data(), static_cast<int64_t>(b.size()));
  TnxReader r(s);
  EXPECT_TRUE(Contains(MessageOf<EnxBaseTableMapperDescriptorException>(
                           [&] { TnxBaseTableMapperDescriptor::CreateFromReader(r); }),
                       u"TableMapperDescriptor class is not supported: TnxMysteryTableMapperDescriptor"));
  EXPECT_EQ(r.ReadInteger(), 1);
  EXPECT_EQ(r.BytesLeft(), 0);

  // Record mappers register nothing of their own here.
  Bytes rm = Written([](TnxWriter& w) { w.WriteIdent(u"TnxBaseRecordMapperDescriptor"); });
  TnxStaticMemoryStream rs(rm.data(), static_cast<int64_t>(rm.size()));
  TnxReader rr(rs);
  EXPECT_EQ(CodeOf<EnxBaseRecordMapperDescriptorException>([&] { TnxBaseRecordMapperDescriptor::CreateFromReader(rr); }),
            nxeUnsupportedDictionaryDescriptor);
}

TEST_F(MapperDescriptorsTest, ALayoutOtherThanTheFirstIsRefused) {
  Bytes b = Written([](TnxWriter& w) {
    w.WriteIdent(u"TnxBaseTableMapperDescriptor");
    w.WriteInteger(int32_t{2});
  });
  TnxStaticMemoryStream s(b.data(), static_cast<int64_t>(b.size()));
  TnxReader r(s);
  EXPECT_EQ(CodeOf<EnxBaseTableMapperDescriptorException>([&] { TnxBaseTableMapperDescriptor::CreateFromReader(r); }),
            nxeIncompatibleStream);
}

}  // namespace
}  // namespace revurov::testing
