#include "server/engines/fulltext_engine_base.h"

#include "dictionary/fulltext_descriptors.h"
#include "dictionary/table_descriptors.h"
#include "platform/text.h"

namespace revurov {

constinit TnxClassRegistry nxFulltextTableEngines;
constinit TnxClassRegistry nxFulltextCursorEngines;

namespace {

constexpr std::u16string_view kFulltextWord = u"Fulltext";

}  // namespace

std::u16string nxReplaceEngineWord(std::u16string_view aName, std::u16string_view aFrom, std::u16string_view aTo) {
  std::u16string result;
  result.reserve(aName.size() + aTo.size());
  size_t i = 0;
  while (i < aName.size()) {
    if (!aFrom.empty() && aName.size() - i >= aFrom.size() &&
        platform::AsciiSameText(aName.substr(i, aFrom.size()), aFrom)) {
      result += aTo;
      i += aFrom.size();
    } else {
      result += aName[i++];
    }
  }
  return result;
}

std::unique_ptr<TnxBaseFulltextTableEngine> TnxBaseFulltextTableEngine::CreateFor(
    TnxBaseTableDescriptor& aDictionary, const TnxBlockAccessList& aFiles, TnxBaseIndicesEngine* aMainIndicesEngine,
    TnxBaseTransaction* aTrans) {
  TnxFulltextDescriptor* descriptor = nxGetFulltextDescriptor(aDictionary);
  if (!descriptor) return nullptr;
  return CreateFor(*descriptor, aFiles, aMainIndicesEngine, aTrans);
}

std::unique_ptr<TnxBaseFulltextTableEngine> TnxBaseFulltextTableEngine::CreateFor(
    TnxFulltextDescriptor& aDescriptor, const TnxBlockAccessList& aFiles, TnxBaseIndicesEngine* aMainIndicesEngine,
    TnxBaseTransaction* aTrans) {
  const std::u16string name = nxReplaceEngineWord(aDescriptor.ClassName(), u"Descriptor", u"TableEngine");
  const auto* engineClass = nxFindClassAs<TnxFulltextTableEngineClass>(ClassInfo(), name);
  if (!engineClass || !engineClass->Create)
    nxRaiseUnknownEngine<EnxBaseFulltextTableEngineException>(kFulltextWord, name);
  return engineClass->Create(aDescriptor, aFiles, aMainIndicesEngine, aTrans);
}

std::unique_ptr<TnxBaseFulltextCursorEngine> TnxBaseFulltextCursorEngine::CreateFor(
    TnxBaseFulltextTableEngine* aTableEngine, TnxAbstractCursor* aCursor) {
  if (!aTableEngine) return nullptr;
  const std::u16string name = nxReplaceEngineWord(aTableEngine->ClassName(), u"TableEngine", u"CursorEngine");
  const auto* engineClass = nxFindClassAs<TnxFulltextCursorEngineClass>(ClassInfo(), name);
  if (!engineClass || !engineClass->Create)
    nxRaiseUnknownEngine<EnxBaseFulltextCursorEngineException>(kFulltextWord, name);
  return engineClass->Create(*aTableEngine, aCursor);
}

}  // namespace revurov
