// Alias handlers: the map from database alias names to folder paths that
// the in-process engine owns. TnxBaseAliasHandler holds the operation
// contract and the formats of the "Aliases" configuration key and of the
// settings stream; TnxSimpleAliasHandler keeps the list in memory.
//
// Contract:
// - Names compare without case (locale-aware), the list is sorted by them
//   and a name is there at most once; results are 0 or a library code.
// - The stored formats keep one alias as "name=path" followed by ";", so a
//   path holding ";", CR or LF is refused (9986) by Add and Modify: it
//   would read back as other aliases.
// - Modify checks everything it can refuse for (missing alias, taken new
//   name, refused path, a folder that cannot be made) before it changes
//   anything, so a refused Modify leaves the alias as it was.
// - Every operation, Clear included, runs under the handler's padlock;
//   Modify calls the others under it.
// - Configuration problems never fail a load: they are appended to the
//   configuration's error text. Reading a settings stream of another
//   version raises 15498 after the handler was cleared.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/abstract_session.h"
#include "lowlevel/components/component.h"
#include "lowlevel/components/component_notifications.h"
#include "lowlevel/sync/padlock.h"

namespace revurov {

// Told to everything linked to the handler after an alias was added,
// deleted or modified.
inline constexpr TnxNotifyOp nxn_AliasesChanged = 8;

class TnxBaseAliasHandler : public TnxComponent {
  REVUROV_COMPONENT_CLASS(TnxBaseAliasHandler, TnxComponent)
  using TnxComponent::TnxComponent;

  virtual void Clear() = 0;
  virtual uint32_t Add(std::u16string_view aAlias, std::u16string_view aPath, bool aEnforce) = 0;
  virtual uint32_t Delete(std::u16string_view aAlias) = 0;
  virtual uint32_t Modify(std::u16string_view aAlias, std::u16string_view aNewName, std::u16string_view aNewPath,
                          bool aEnforce) = 0;
  // Appends one descriptor per alias in sorted order; always 0.
  virtual uint32_t GetList(TnxAliasDescriptors& aList) = 0;
  virtual uint32_t GetPath(std::u16string_view aAlias, std::u16string& aPath) = 0;
  bool IsAlias(std::u16string_view aAlias);

  void GetConfigSettings(TnxBaseSettings& aSettings) override;
  void LoadConfig(TnxBaseComponentConfiguration& aConfig) override;
  void SaveConfig(TnxBaseComponentConfiguration& aConfig) override;
  void LoadSettingsFromStream(TnxReader& aReader) override;
  void SaveSettingsToStream(TnxWriter& aWriter) override;
};

// 0 when aPath can be kept in the stored formats, else 9986.
uint32_t nxCheckAliasPath(std::u16string_view aPath);

class TnxAliasItem : public TnxObject {
public:
  explicit TnxAliasItem(std::u16string aPath) : Path(std::move(aPath)) {}
  std::u16string Path;
};

class TnxSimpleAliasHandler : public TnxBaseAliasHandler {
  REVUROV_COMPONENT_CLASS(TnxSimpleAliasHandler, TnxBaseAliasHandler)
  explicit TnxSimpleAliasHandler(platform::TComponent* aOwner);
  ~TnxSimpleAliasHandler() override;

  void Clear() override;
  uint32_t Add(std::u16string_view aAlias, std::u16string_view aPath, bool aEnforce) override;
  uint32_t Delete(std::u16string_view aAlias) override;
  uint32_t Modify(std::u16string_view aAlias, std::u16string_view aNewName, std::u16string_view aNewPath,
                  bool aEnforce) override;
  uint32_t GetList(TnxAliasDescriptors& aList) override;
  uint32_t GetPath(std::u16string_view aAlias, std::u16string& aPath) override;

private:
  struct Entry {
    std::u16string Name;
    std::unique_ptr<TnxAliasItem> Item;
  };
  // The entry of aAlias, or where it would go.
  std::vector<Entry>::iterator Find(std::u16string_view aAlias, bool& aFound);

  mutable TnxPadlock sahPadlock{true};
  std::vector<Entry> sahList;
};

}  // namespace revurov
