#include "dictionary/sql_filter.h"

#include <atomic>
#include <string>
#include <utility>

#include "lowlevel/errors/error_codes.h"
#include "platform/nls.h"
#include "platform/stream.h"

namespace revurov {

namespace {

std::atomic<TnxSqlFilterStatementFactory> gSqlFilterStatementClass{nullptr};

constexpr uint8_t kAnsiText = 1;
constexpr uint8_t kWideText = 2;

}  // namespace

void nxSetSqlFilterStatementClass(TnxSqlFilterStatementFactory aFactory) noexcept {
  gSqlFilterStatementClass.store(aFactory, std::memory_order_release);
}

TnxSqlFilterStatementFactory nxSqlFilterStatementClass() noexcept {
  return gSqlFilterStatementClass.load(std::memory_order_acquire);
}

bool TnxBaseSqlFilterStatement::MatchesBuffer(const uint8_t* aBuffer) noexcept {
  bsfsBuffer = aBuffer;
  bool result = false;
  try {
    result = Evaluate();
  } catch (...) {
    result = false;
  }
  bsfsBuffer = nullptr;
  return result;
}

uint32_t TnxSqlFilterDescriptor::WriteToStream(platform::TStream& aStream, int32_t) const {
  WriteClassName(aStream);
  uint8_t kind = kWideText;
  int32_t length = static_cast<int32_t>(bsfdExpression.size());
  aStream.WriteBuffer(&kind, 1);
  aStream.WriteBuffer(&length, 4);
  if (length > 0) aStream.WriteBuffer(bsfdExpression.data(), int64_t(length) * 2);
  return 0;
}

std::unique_ptr<TnxBaseFilterDescriptor> TnxSqlFilterDescriptor::ReadStreamData(platform::TStream& aStream) {
  auto incompatible = [] { throw EnxSqlFilterDescriptorException(nxeIncompatibleStream); };
  uint8_t kind = 0;
  int32_t length = 0;
  if (aStream.Read(&kind, 1) != 1 || (kind != kAnsiText && kind != kWideText)) incompatible();
  if (aStream.Read(&length, 4) != 4 || length < 0) incompatible();
  // The length is untrusted: never allocate more than the stream holds.
  int64_t bytes = int64_t(length) * (kind == kWideText ? 2 : 1);
  if (bytes > aStream.GetSize() - aStream.Position()) incompatible();
  std::u16string text;
  if (kind == kWideText) {
    text.assign(size_t(length), u'\0');
    if (length > 0 && aStream.Read(text.data(), bytes) != bytes) incompatible();
  } else if (length > 0) {
    std::string ansi(size_t(length), '\0');
    if (aStream.Read(ansi.data(), bytes) != bytes) incompatible();
    int need = platform::MultiByteToWideChar(platform::CP_ACP, 0, ansi.data(), length, nullptr, 0);
    if (need <= 0) nxRaiseLastOSError(u"TnxSqlFilterDescriptor/MultiByteToWideChar", 0);
    text.assign(size_t(need), u'\0');
    platform::MultiByteToWideChar(platform::CP_ACP, 0, ansi.data(), length, text.data(), need);
  }
  return std::make_unique<TnxSqlFilterDescriptor>(std::move(text));
}

TnxSqlFilterEngine::TnxSqlFilterEngine(const TnxBaseFilterDescriptor* aDescriptor,
                                       const InxFieldsSource* aFieldsSource)
    : TnxBaseSqlFilterEngine(aDescriptor, aFieldsSource) {
  sfeExpression = dynamic_cast<const TnxSqlFilterDescriptor&>(*aDescriptor).Expression();
  TnxSqlFilterStatementFactory factory = nxSqlFilterStatementClass();
  if (!factory)
    throw EnxSqlFilterEngineException(nxeCapabilityNotSupported,
                                      u"SQL Filters require SqlFilterStatementClass to be assigned");
  sfeStatement = factory(aFieldsSource, sfeExpression);
}

std::unique_ptr<TnxBaseFilterDescriptor> TnxSqlFilterEngine::CreateDescriptor() const {
  return std::make_unique<TnxSqlFilterDescriptor>(sfeExpression);
}

bool TnxSqlFilterEngine::MatchesBuffer(const uint8_t* aBuffer) {
  if (!GetActive() || !aBuffer) return true;
  if (!sfeStatement)
    throw EnxSqlFilterEngineException(nxeCapabilityNotSupported,
                                      u"TnxSqlFilterEngine.MatchesBuffer requires sfeStatement to be assigned");
  return sfeStatement->MatchesBuffer(aBuffer);
}

void TnxSqlFilterEngine::GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) {
  TnxBaseSqlFilterEngine::GetExceptionData(aContainer, aFlag);
  aContainer.AddString(u"Expression", sfeExpression);
}

}  // namespace revurov
