#include "server/alias_handler.h"

#include <algorithm>

#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/sync/lock_guard.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/locale_text.h"
#include "platform/paths.h"
#include "platform/variant.h"

namespace revurov {

namespace {

constexpr std::u16string_view kAliasesKey = u"Aliases";

bool IsInMemoryPath(std::u16string_view aPath) { return !aPath.empty() && aPath.front() == u'#'; }

}  // namespace

uint32_t nxCheckAliasPath(std::u16string_view aPath) {
  return aPath.find_first_of(u";\r\n") == std::u16string_view::npos ? 0 : nxeInvalidParameter;
}

// ---- base ----

bool TnxBaseAliasHandler::IsAlias(std::u16string_view aAlias) {
  std::u16string path;
  return GetPath(aAlias, path) == 0;
}

void TnxBaseAliasHandler::GetConfigSettings(TnxBaseSettings& aSettings) {
  TnxComponent::GetConfigSettings(aSettings);
  aSettings.AddSetting(std::make_unique<TnxBaseSetting>(std::u16string(kAliasesKey), nxstAliases,
                                                        platform::TnxVariant::FromString(u""),
                                                        std::u16string(kAliasesKey)));
}

void TnxBaseAliasHandler::SaveConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxComponent::SaveConfig(aConfig);
  TnxAliasDescriptors aliases;
  GetList(aliases);
  std::u16string text;
  for (const auto& alias : aliases) {
    text += alias->adAlias;
    text += u'=';
    text += alias->adPath;
    text += u';';
  }
  aConfig.SetValue(kAliasesKey, platform::TnxVariant::FromString(std::move(text)));
}

void TnxBaseAliasHandler::LoadConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxComponent::LoadConfig(aConfig);
  const platform::TnxVariant value = aConfig.GetValue(kAliasesKey, platform::TnxVariant::FromString(u""));
  const std::u16string text = value.IsEmpty() || value.IsNull() ? std::u16string() : value.AsString();
  std::u16string errors;
  Clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of(u";\r\n", start);
    if (end == std::u16string::npos) end = text.size();
    const std::u16string_view line = std::u16string_view(text).substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    const size_t equals = line.find(u'=');
    const std::u16string name(line.substr(0, equals));
    const std::u16string path(equals == std::u16string_view::npos ? std::u16string_view() : line.substr(equals + 1));
    if (nxCheckIdentifier(name, nxeInvalidAliasName, false, true) != 0) {
      errors += u"ERROR: AliasName \"" + name + u"\" is not valid. Alias has not been activated in the server engine.\r\n";
      continue;
    }
    if (!path.empty() && !IsInMemoryPath(path) && !platform::DirectoryExists(path))
      errors += u"WARNING: Database folder for \"" + name + u"\" does not exist: \"" + path + u"\"\r\n";
    Add(name, path, false);
  }
  if (!errors.empty() && aConfig.Config()) aConfig.Config()->fConfigErrors += errors;
}

void TnxBaseAliasHandler::SaveSettingsToStream(TnxWriter& aWriter) {
  TnxComponent::SaveSettingsToStream(aWriter);
  aWriter.WriteInteger(int32_t{1});
  TnxAliasDescriptors aliases;
  GetList(aliases);
  aWriter.WriteListBegin();
  for (auto it = aliases.rbegin(); it != aliases.rend(); ++it) {
    aWriter.WriteString((*it)->adAlias);
    aWriter.WriteString((*it)->adPath);
  }
  aWriter.WriteListEnd();
}

void TnxBaseAliasHandler::LoadSettingsFromStream(TnxReader& aReader) {
  TnxComponent::LoadSettingsFromStream(aReader);
  Clear();
  if (aReader.ReadInteger() != 1) RaiseError(nxeIncompatibleStream);
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const std::u16string name = aReader.ReadString();
    const std::u16string path = aReader.ReadString();
    Add(name, path, false);
  }
  aReader.ReadListEnd();
}

// ---- simple handler ----

TnxSimpleAliasHandler::TnxSimpleAliasHandler(platform::TComponent* aOwner) : TnxBaseAliasHandler(aOwner) {}

TnxSimpleAliasHandler::~TnxSimpleAliasHandler() { Clear(); }

std::vector<TnxSimpleAliasHandler::Entry>::iterator TnxSimpleAliasHandler::Find(std::u16string_view aAlias,
                                                                               bool& aFound) {
  auto it = std::lower_bound(sahList.begin(), sahList.end(), aAlias, [](const Entry& aEntry, std::u16string_view aName) {
    return platform::AnsiCompareText(aEntry.Name, aName) < 0;
  });
  aFound = it != sahList.end() && platform::AnsiCompareText(it->Name, aAlias) == 0;
  return it;
}

void TnxSimpleAliasHandler::Clear() {
  TnxPadlockGuard guard(sahPadlock);
  sahList.clear();
}

uint32_t TnxSimpleAliasHandler::Add(std::u16string_view aAlias, std::u16string_view aPath, bool aEnforce) {
  TnxPadlockGuard guard(sahPadlock);
  bool found;
  auto it = Find(aAlias, found);
  if (found) return nxeNameNotUnique;
  if (uint32_t result = nxCheckAliasPath(aPath)) return result;
  if (aEnforce && !platform::ForceDirectories(aPath)) return nxeCannotAccessDirectory;
  sahList.insert(it, Entry{std::u16string(aAlias), std::make_unique<TnxAliasItem>(std::u16string(aPath))});
  return 0;
}

uint32_t TnxSimpleAliasHandler::Delete(std::u16string_view aAlias) {
  TnxPadlockGuard guard(sahPadlock);
  bool found;
  auto it = Find(aAlias, found);
  if (!found) return nxeUnknownDatabase;
  sahList.erase(it);
  return 0;
}

uint32_t TnxSimpleAliasHandler::GetPath(std::u16string_view aAlias, std::u16string& aPath) {
  TnxPadlockGuard guard(sahPadlock);
  bool found;
  auto it = Find(aAlias, found);
  if (!found) return nxeUnknownDatabase;
  aPath = it->Item->Path;
  return 0;
}

uint32_t TnxSimpleAliasHandler::GetList(TnxAliasDescriptors& aList) {
  TnxPadlockGuard guard(sahPadlock);
  aList.reserve(aList.size() + sahList.size());
  for (const Entry& entry : sahList) aList.push_back(std::make_unique<TnxAliasDescriptor>(entry.Name, entry.Item->Path));
  return 0;
}

uint32_t TnxSimpleAliasHandler::Modify(std::u16string_view aAlias, std::u16string_view aNewName,
                                       std::u16string_view aNewPath, bool aEnforce) {
  TnxPadlockGuard guard(sahPadlock);
  bool found;
  auto it = Find(aAlias, found);
  if (!found) return nxeUnknownDatabase;
  const std::u16string path(aNewPath.empty() ? std::u16string_view(it->Item->Path) : aNewPath);
  const bool rename = !aNewName.empty() && aNewName != aAlias;
  if (rename) {
    bool taken;
    Find(aNewName, taken);
    if (taken) return nxeNameNotUnique;
  }
  if (uint32_t result = nxCheckAliasPath(path)) return result;
  if (aEnforce && !platform::ForceDirectories(path)) return nxeCannotAccessDirectory;
  if (!rename) {
    it->Item->Path = path;
    return 0;
  }
  sahList.erase(it);
  auto at = Find(aNewName, found);
  sahList.insert(at, Entry{std::u16string(aNewName), std::make_unique<TnxAliasItem>(path)});
  return 0;
}

}  // namespace revurov
