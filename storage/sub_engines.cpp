#include "storage/sub_engines.h"

#include <algorithm>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/storage_descriptors.h"
#include "dictionary/table_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/heap/memory_manager.h"
#include "storage/block_access.h"
#include "storage/files.h"
#include "storage/heap_engines.h"

namespace revurov {

constinit TnxClassRegistry nxStreamEngines;
constinit TnxClassRegistry nxAutoIncEngines;
constinit TnxClassRegistry nxRecordEngines;

namespace {

// Written only by start-up and shut-down, read without a lock afterwards.
std::unique_ptr<std::vector<const TnxSubEngineClass*>> gFamilies;

// Sub-engine records stop at TnxBaseSubEngine; above it the records are
// plain ones.
const TnxSubEngineClass* SubEngineParent(const TnxSubEngineClass* aClass) {
  if (aClass == &TnxBaseSubEngine::ClassInfo()) return nullptr;
  return static_cast<const TnxSubEngineClass*>(aClass->Parent);
}

template <class E>
const TnxSubEngineClass& FindOrRaise(const TnxSubEngineClass& aFamily, std::u16string_view aWord,
                                     std::u16string_view aName) {
  const TnxSubEngineClass* c = aFamily.FindEngineClass(aName);
  if (!c) nxRaiseUnknownEngine<E>(aWord, aName);
  return *c;
}

// The family's virtual constructor, the result as the family's base.
template <class Base, class E>
std::unique_ptr<Base> CreateAs(const TnxSubEngineClass& aClass, const TnxSubEngineArgs& aArgs,
                               std::u16string_view aWord, std::u16string_view aName) {
  std::unique_ptr<TnxBaseSubEngine> engine = aClass.DoCreate(aArgs);
  if (!engine) throw E(nxeSubEngineNotSupported, nxsUnknownEngine, {aWord, aName});
  return std::unique_ptr<Base>(static_cast<Base*>(engine.release()));
}

}  // namespace

void TnxSubEngineClass::DoCheckValidDescriptor(TnxDictionaryItem& aDescriptor) const {
  for (const TnxSubEngineClass* c = this; c; c = SubEngineParent(c))
    if (c->CheckValidDescriptor) return c->CheckValidDescriptor(aDescriptor);
}

std::unique_ptr<TnxBaseSubEngine> TnxSubEngineClass::DoCreate(const TnxSubEngineArgs& aArgs) const {
  return Create ? Create(aArgs) : nullptr;
}

void TnxSubEngineClass::RegisterFamily() const {
  if (!gFamilies) gFamilies = std::make_unique<std::vector<const TnxSubEngineClass*>>();
  gFamilies->push_back(this);
}

void TnxSubEngineClass::UnregisterFamily() const noexcept {
  if (!gFamilies) return;
  std::erase(*gFamilies, this);
  if (gFamilies->empty()) gFamilies.reset();
}

std::vector<const TnxSubEngineClass*> TnxBaseSubEngine::Families() {
  return gFamilies ? *gFamilies : std::vector<const TnxSubEngineClass*>{};
}

void TnxBaseSubEngine::CheckValidAll(TnxBaseTableDescriptor& aDictionary) {
  if (!gFamilies) return;
  for (const TnxSubEngineClass* family : *gFamilies)
    if (family->CheckValid) family->CheckValid(aDictionary);
  TnxTablesDescriptor& tables = aDictionary.TablesDescriptor();
  for (int32_t i = 0; i < tables.TableCount(); ++i) CheckValidAll(*tables.TableDescriptor(i));
}

// ---- stream engines ----

namespace {
constexpr std::u16string_view kStreamWord = u"stream";
constexpr std::u16string_view kAutoIncWord = u"autoinc";
constexpr std::u16string_view kRecordWord = u"Record";
}  // namespace

TnxBaseStreamEngine::TnxBaseStreamEngine(const TnxSubEngineArgs& aArgs)
    : TnxBaseSubEngine(aArgs.Descriptor ? aArgs.Descriptor->ID() : 0, aArgs.DataFile->File().fiZirezVersion),
      bseDataFile(*aArgs.DataFile) {}

std::unique_ptr<TnxBaseStreamEngine> TnxBaseStreamEngine::CreateEngine(TnxBaseStreamDescriptor* aDescriptor,
                                                                       TnxBlockAccess& aDataFile,
                                                                       TnxBaseTransaction* aTrans) {
  const std::u16string& name = aDataFile.File().fiStreamEngineName;
  const TnxSubEngineClass& c = FindOrRaise<EnxStreamEngineException>(ClassInfo(), kStreamWord, name);
  return CreateAs<TnxBaseStreamEngine, EnxStreamEngineException>(c, {aDescriptor, aTrans, &aDataFile, nullptr},
                                                                 kStreamWord, name);
}

std::unique_ptr<TnxBaseStreamEngine> TnxBaseStreamEngine::CreateEngine(TnxBaseTableDescriptor& aDictionary,
                                                                       TnxBlockAccess& aDataFile,
                                                                       TnxBaseTransaction* aTrans) {
  auto* dict = dynamic_cast<TnxDataDictionary*>(&aDictionary);
  return CreateEngine(dict ? dict->StreamDescriptor() : nullptr, aDataFile, aTrans);
}

void TnxBaseStreamEngine::CheckValidFromDescriptor(TnxBaseStreamDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  FindOrRaise<EnxStreamEngineException>(ClassInfo(), kStreamWord, aDescriptor->StreamEngine())
      .DoCheckValidDescriptor(*aDescriptor);
}

void TnxBaseStreamEngine::CheckValid(TnxBaseTableDescriptor& aDictionary) {
  if (auto* dict = dynamic_cast<TnxDataDictionary*>(&aDictionary))
    CheckValidFromDescriptor(dict->StreamDescriptor());
}

void TnxBaseStreamEngine::Initialize(TnxBaseTableDescriptor& aDictionary) {
  auto* dict = dynamic_cast<TnxDataDictionary*>(&aDictionary);
  Initialize(dict ? dict->StreamDescriptor() : nullptr);
}

void TnxBaseStreamEngine::Initialize(TnxBaseStreamDescriptor* aDescriptor) {
  if (aDescriptor) bseID = aDescriptor->ID();
}

// ---- autoinc engines ----

namespace {
TnxBlockAccess& FileOf(const TnxBlockAccessList& aFiles, int32_t aNumber) {
  if (aNumber < 0 || static_cast<size_t>(aNumber) >= aFiles.size() || !aFiles[static_cast<size_t>(aNumber)])
    throw EnxBaseSubEngineException(nxeInvalidParameter, u"Invalid file number: %d", {aNumber});
  return *aFiles[static_cast<size_t>(aNumber)];
}
}  // namespace

TnxBaseAutoIncEngine::TnxBaseAutoIncEngine(const TnxSubEngineArgs& aArgs)
    : TnxBaseSubEngine(aArgs.Descriptor->ID(), FileOf(*aArgs.Files, 0).File().fiZirezVersion),
      baieDataFile(FileOf(*aArgs.Files, static_cast<TnxBaseAutoIncDescriptor*>(aArgs.Descriptor)->FileNumber())) {}

std::unique_ptr<TnxBaseAutoIncEngine> TnxBaseAutoIncEngine::CreateEngine(TnxBaseAutoIncDescriptor* aDescriptor,
                                                                         const TnxBlockAccessList& aFiles,
                                                                         TnxBaseTransaction* aTrans) {
  if (!aDescriptor) return nullptr;
  const std::u16string& name = aDescriptor->AutoIncEngine();
  const TnxSubEngineClass& c = FindOrRaise<EnxBaseAutoIncEngineException>(ClassInfo(), kAutoIncWord, name);
  return CreateAs<TnxBaseAutoIncEngine, EnxBaseAutoIncEngineException>(c, {aDescriptor, aTrans, nullptr, &aFiles},
                                                                       kAutoIncWord, name);
}

std::unique_ptr<TnxBaseAutoIncEngine> TnxBaseAutoIncEngine::CreateEngine(TnxBaseTableDescriptor& aDataDict,
                                                                         const TnxBlockAccessList& aFiles,
                                                                         TnxBaseTransaction* aTrans) {
  return CreateEngine(aDataDict.AutoIncDescriptor(), aFiles, aTrans);
}

void TnxBaseAutoIncEngine::CheckValidFromDescriptor(TnxBaseAutoIncDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  FindOrRaise<EnxBaseAutoIncEngineException>(ClassInfo(), kAutoIncWord, aDescriptor->AutoIncEngine())
      .DoCheckValidDescriptor(*aDescriptor);
}

void TnxBaseAutoIncEngine::CheckValid(TnxBaseTableDescriptor& aDictionary) {
  CheckValidFromDescriptor(aDictionary.AutoIncDescriptor());
}

// ---- record engines ----

namespace {
TnxBaseRecordDescriptor& RecordDescriptorOf(const TnxSubEngineArgs& aArgs) {
  return *static_cast<TnxBaseRecordDescriptor*>(aArgs.Descriptor);
}
TnxBaseTableDescriptor* TableOf(TnxBaseRecordDescriptor& aDescriptor) {
  return dynamic_cast<TnxBaseTableDescriptor*>(aDescriptor.DirectParent());
}
TnxFieldsDescriptor& FieldsOf(TnxBaseRecordDescriptor& aDescriptor) {
  TnxBaseTableDescriptor* table = TableOf(aDescriptor);
  if (!table) throw EnxBaseRecordEngineException(nxeInvalidParameter, u"Record descriptor without a table");
  return table->FieldsDescriptor();
}
}  // namespace

TnxBaseRecordEngine::TnxBaseRecordEngine(const TnxSubEngineArgs& aArgs)
    : TnxBaseSubEngine(aArgs.Descriptor->ID(), FileOf(*aArgs.Files, 0).File().fiZirezVersion),
      breDataFile(FileOf(*aArgs.Files, RecordDescriptorOf(aArgs).FileNumber())),
      breRecordLength(static_cast<uint16_t>(FieldsOf(RecordDescriptorOf(aArgs)).RecordLength())),
      breRecordAllocator(FieldsOf(RecordDescriptorOf(aArgs)).RecordAllocator()),
      breFieldsDescriptor(FieldsOf(RecordDescriptorOf(aArgs))) {
  TnxBaseTableDescriptor* table = TableOf(RecordDescriptorOf(aArgs));
  int32_t field = -1;
  if (table->CachingState() != tcsIsCache && breFieldsDescriptor.HasRefNrField(field)) breRefNrField = field;
  TempRecBuf = static_cast<PnxRecordBuffer>(TnxMemoryPool::Alloc(breRecordAllocator));
}

TnxBaseRecordEngine::~TnxBaseRecordEngine() {
  void* buf = TempRecBuf;
  if (buf) TnxMemoryPool::Dispose(breRecordAllocator, buf);
}

std::unique_ptr<TnxBaseRecordEngine> TnxBaseRecordEngine::CreateEngine(TnxBaseRecordDescriptor* aDescriptor,
                                                                       const TnxBlockAccessList& aFiles,
                                                                       TnxBaseTransaction* aTrans) {
  if (!aDescriptor) return nullptr;
  const std::u16string& name = aDescriptor->RecordEngine();
  const TnxSubEngineClass& c = FindOrRaise<EnxBaseRecordEngineException>(ClassInfo(), kRecordWord, name);
  return CreateAs<TnxBaseRecordEngine, EnxBaseRecordEngineException>(c, {aDescriptor, aTrans, nullptr, &aFiles},
                                                                     kRecordWord, name);
}

std::unique_ptr<TnxBaseRecordEngine> TnxBaseRecordEngine::CreateEngine(TnxBaseTableDescriptor& aDataDict,
                                                                       const TnxBlockAccessList& aFiles,
                                                                       TnxBaseTransaction* aTrans) {
  return CreateEngine(aDataDict.RecordDescriptor(), aFiles, aTrans);
}

void TnxBaseRecordEngine::CheckValid(TnxBaseTableDescriptor& aDictionary) {
  TnxBaseRecordDescriptor* record = aDictionary.RecordDescriptor();
  if (!record) return;
  FindOrRaise<EnxBaseRecordEngineException>(ClassInfo(), kRecordWord, record->RecordEngine())
      .DoCheckValidDescriptor(aDictionary);
}

void TnxBaseRecordEngine::breSetRefNr(PnxRecordBuffer aRecData, TnxRefNr aRefNr) const {
  if (breRefNrField >= 0 && aRecData) breFieldsDescriptor.SetRecordField(breRefNrField, aRecData, &aRefNr);
}

// ---- start-up ----

void nxSubEngineFamiliesStartup() {
  TnxBaseStreamEngine::ClassInfo().RegisterFamily();
  TnxBaseAutoIncEngine::ClassInfo().RegisterFamily();
  nxHeapFamiliesStartup();
  TnxBaseRecordEngine::ClassInfo().RegisterFamily();
}

void nxSubEngineFamiliesShutdown() noexcept {
  TnxBaseRecordEngine::ClassInfo().UnregisterFamily();
  nxHeapFamiliesShutdown();
  TnxBaseAutoIncEngine::ClassInfo().UnregisterFamily();
  TnxBaseStreamEngine::ClassInfo().UnregisterFamily();
}

}  // namespace revurov
