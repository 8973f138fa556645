#include <gtest/gtest.h>

#include "platform/bcd.h"
#include "platform/variant.h"

namespace revurov::platform {
namespace {

TBcd Bcd(std::u16string_view text) {
  TBcd b;
  EXPECT_TRUE(TryStrToBcd(text, b, u'.'));
  return b;
}

TEST(BcdVariant, ConvertsThroughItsTextAndCurrency) {
  const TnxVariant v = TnxVariant::FromBcd(Bcd(u"-12.345"));
  EXPECT_EQ(v.VarType(), varFMTBcd);
  EXPECT_EQ(v.AsString(), u"-12.345");
  EXPECT_DOUBLE_EQ(v.AsDouble(), -12.345);
  EXPECT_EQ(v.AsInt64(), -12);
  EXPECT_EQ(v.AsCurrency(), -123450);
  EXPECT_TRUE(v.AsBoolean());
  EXPECT_TRUE(v == TnxVariant::FromBcd(Bcd(u"-12.345")));
  EXPECT_FALSE(v == TnxVariant::FromBcd(Bcd(u"-12.3450")));  // another precision
  EXPECT_THROW(TnxVariant::FromBcd(Bcd(std::u16string(30, u'9'))).AsCurrency(), EVariantTypeCastError);
  EXPECT_THROW(TnxVariant::FromBcd(Bcd(std::u16string(30, u'9'))).AsInt64(), EVariantTypeCastError);
  EXPECT_THROW(TnxVariant::FromBcd(TBcd{}).AsString(), EBcdOverflowException);
}

}  // namespace
}  // namespace revurov::platform
