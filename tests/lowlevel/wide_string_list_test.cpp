#include "lowlevel/wide_strings/wide_string_list.h"
#include "lowlevel/streams/exception_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/nls.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"
#include "support/exception_message.h"
#include "support/temp_dir.h"
#include "support/wide_string_refs.h"

namespace revurov {

using platform::IInterface;
using platform::TInterfacePtr;
namespace {

using platform::TDuplicates;

using testing::Comparer;
using testing::Transformer;

std::vector<std::u16string> Items(const TnxWideStrings& l) {
  std::vector<std::u16string> v;
  for (int32_t i = 0; i < l.Count(); ++i) v.push_back(l.Strings(i));
  return v;
}

template <class F>
std::u16string ListErrorOf(F&& f) {
  return testing::MessageOf<platform::EStringListError>(std::forward<F>(f));
}

// Sorting and matching through each comparer and transformer: the list sorts
// its inputs into the expected order and finds each probe where expected.
TEST(WideStringList, SortsAndMatchesThroughEachComparerAndTransformer) {
  struct Case {
    const char* name;
    InxWideStringComparerRef comparer;
    InxWideStringTransformerRef transformer;
    std::vector<std::u16string> input;
    std::vector<std::u16string> sorted;
    std::u16string probe;
    int32_t probe_index;
  };
  const auto upper = Transformer<TnxWideStringLocaleMappingTransformer>(1031u, platform::LCMAP_UPPERCASE);
  const Case cases[] = {
      {"byte, null", nullptr, nullptr, {u"BA", u"B", u"AB", u"\u00FF", u"\u0100"},
       {u"\u0100", u"AB", u"B", u"BA", u"\u00FF"}, u"B", 2},
      {"locale, null", Comparer<TnxWideStringCompareStringWComparer>(1031u, 0u), nullptr,
       {u"Birne", u"Äpfel", u"apfel", u"Zitrone"}, {u"apfel", u"Äpfel", u"Birne", u"Zitrone"}, u"Birne", 2},
      {"locale ignoring case, null",
       Comparer<TnxWideStringCompareStringWComparer>(1031u, platform::NORM_IGNORECASE), nullptr,
       {u"b", u"C", u"a"}, {u"a", u"b", u"C"}, u"c", 2},
      {"byte, fold", nullptr, Transformer<TnxWideStringPreComposeTransformer>(),
       {u"o\u0308", u"a\u0308", u"z"}, {u"z", u"ä", u"ö"}, u"a\u0308", 1},
      {"byte, compatibility fold", nullptr,
       Transformer<TnxWideStringFoldStringTransformer>(platform::MAP_FOLDCZONE),
       {u"\uFF22", u"\uFF21"}, {u"A", u"B"}, u"B", 1},
      {"byte, locale mapping", nullptr, upper, {u"b", u"a", u"c"}, {u"A", u"B", u"C"}, u"b", 1},
      {"byte, truncate", nullptr, Transformer<TnxWideStringTruncateTransformer>(2),
       {u"zzz", u"abc", u"mno"}, {u"ab", u"mn", u"zz"}, u"mnopq", 1},
      {"byte, hub", nullptr,
       Transformer<TnxWideStringTransformerHub>(std::vector<InxWideStringTransformerRef>{
           Transformer<TnxWideStringPreComposeTransformer>(), upper,
           Transformer<TnxWideStringTruncateTransformer>(2)}),
       {u"zzz", u"a\u0308bc", u"mno"}, {u"MN", u"ZZ", u"ÄB"}, u"äbxyz", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TnxWideStringList unsorted(c.comparer, c.transformer);
    for (const auto& s : c.input) unsorted.Add(s);
    TnxWideStringList list(c.comparer, c.transformer);
    list.SetSorted(true);
    for (const auto& s : c.input) list.Add(s);
    EXPECT_EQ(Items(list), c.sorted);
    EXPECT_EQ(list.IndexOf(c.probe), c.probe_index);
    int32_t at = -1;
    EXPECT_TRUE(list.Find(c.probe, at));
    EXPECT_EQ(at, c.probe_index);
    // The same items, sorted afterwards, and found by scanning.
    unsorted.Sort();
    EXPECT_EQ(Items(unsorted), c.sorted);
    EXPECT_EQ(unsorted.IndexOf(c.probe), c.probe_index);
  }
}

TEST(WideStringList, SortedFoldListFindsEveryFormAndStoresTheFoldedOne) {
  TnxWideStringList list(nullptr, Transformer<TnxWideStringPreComposeTransformer>());
  list.SetSorted(true);
  list.Add(u"Mu\u0308ller");
  EXPECT_EQ(list.Strings(0), u"Müller");
  EXPECT_EQ(list.IndexOf(u"Müller"), 0);
  EXPECT_EQ(list.IndexOf(u"Mu\u0308ller"), 0);
  EXPECT_EQ(list.Add(u"Müller"), 0);  // dupIgnore: the existing index
  EXPECT_EQ(list.Count(), 1);
}

TEST(WideStringList, Duplicates) {
  TnxWideStringList list;
  list.SetSorted(true);
  list.Add(u"b");
  list.Add(u"a");
  EXPECT_EQ(list.Add(u"b"), 1);
  EXPECT_EQ(list.Count(), 2);
  list.SetDuplicates(TDuplicates::dupAccept);
  list.Add(u"a");
  EXPECT_EQ(Items(list), (std::vector<std::u16string>{u"a", u"a", u"b"}));
  list.SetDuplicates(TDuplicates::dupError);
  EXPECT_EQ(ListErrorOf([&] { list.Add(u"b"); }), u"In der String-Liste sind Duplikate nicht zulässig");
  EXPECT_EQ(list.Count(), 3);
}

TEST(WideStringList, Errors) {
  TnxWideStringList list;
  list.Add(u"x");
  const std::u16string index3 = u"Listenindex außerhalb des gültigen Bereichs (3)";
  EXPECT_EQ(ListErrorOf([&] { list.Strings(3); }), index3);
  EXPECT_EQ(ListErrorOf([&] { list.Delete(-1); }), u"Listenindex außerhalb des gültigen Bereichs (-1)");
  EXPECT_EQ(ListErrorOf([&] { list.Insert(3, u"y"); }), index3);
  EXPECT_EQ(ListErrorOf([&] { list.Insert(-1, u"y"); }), u"Listenindex außerhalb des gültigen Bereichs (-1)");
  EXPECT_EQ(ListErrorOf([&] { list.wsPutObject(1, nullptr); }), u"Listenindex außerhalb des gültigen Bereichs (1)");
  EXPECT_EQ(ListErrorOf([&] { list.Exchange(0, 1); }), u"Listenindex außerhalb des gültigen Bereichs (1)");
  list.Insert(1, u"y");  // at Count is allowed
  list.SetSorted(true);
  const std::u16string sorted = u"Operation für sortierte Listen nicht zulässig";
  EXPECT_EQ(ListErrorOf([&] { list.Insert(0, u"z"); }), sorted);
  EXPECT_EQ(ListErrorOf([&] { list.wsPutString(0, u"z"); }), sorted);
  EXPECT_EQ(Items(list), (std::vector<std::u16string>{u"x", u"y"}));
}

TEST(WideStringList, Text) {
  struct Case {
    std::u16string text;
    std::vector<std::u16string> items;
  };
  const Case cases[] = {
      {u"a\r\n\rb", {u"a", u"", u"b"}},
      {u"a\nb\n", {u"a", u"b"}},
      {u"a\n\nb", {u"a", u"", u"b"}},
      {std::u16string(u"a\0b", 3), {u"a", u"b"}},
      {u"a\u000Bb\u000Cc\u2028d\u2029e", {u"a", u"b", u"c", u"d", u"e"}},
      {u"\n", {u""}},
      {u"", {}},
      {u"single", {u"single"}},
  };
  for (const Case& c : cases) {
    TnxWideStringList list;
    list.Add(u"old");
    list.SetText(c.text);
    EXPECT_EQ(Items(list), c.items);
  }
  TnxWideStringList list;
  list.SetText(u"a\nb\nc");
  EXPECT_EQ(list.GetText(), u"a\u2028b\u2028c");
  EXPECT_EQ(list.GetSeparatedText(u", "), u"a, b, c");
  EXPECT_EQ(list.GetSeparatedText(u';'), u"a;b;c");
}

TEST(WideStringList, LoadFromStream) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool force_unicode;
    uint16_t code_page;
    std::vector<std::u16string> items;
  };
  const Case cases[] = {
      {"big-endian mark", {0xFE, 0xFF, 0x00, 0x41}, false, 0xFFFF, {u"A"}},
      {"little-endian mark", {0xFF, 0xFE, 0x41, 0x00, 0x0A, 0x00, 0xC4, 0x00}, false, 0xFFFF, {u"A", u"Ä"}},
      {"odd last byte", {0xFF, 0xFE, 0x41, 0x00, 0x42}, false, 0xFFFF, {u"A"}},
      {"forced unicode", {0x41, 0x00, 0x42, 0x00}, true, 0xFFFF, {u"AB"}},
      {"8-bit, default", {'G', 0xE4, 'r', '\r', '\n', 0x80}, false, 0xFFFF, {u"Gär", u"€"}},
      {"8-bit, 850", {0x8E, 'x'}, false, 850, {u"Äx"}},
      {"empty", {}, false, 0xFFFF, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TnxBytesStream stream(c.bytes);
    TnxWideStringList list;
    list.LoadFromStream(stream, c.force_unicode, c.code_page);
    EXPECT_EQ(Items(list), c.items);
  }
  // Only the rest of the stream is read.
  TnxBytesStream stream(std::vector<uint8_t>{'s', 'k', 'i', 'p', 'x'});
  stream.SetPosition(4);
  TnxWideStringList list;
  list.LoadFromStream(stream, false, 1252);
  EXPECT_EQ(Items(list), (std::vector<std::u16string>{u"x"}));
}

TEST(WideStringList, SaveToStreamAndFile) {
  TnxWideStringList list;
  list.SetText(u"Ä\nb");
  struct Case {
    bool unicode, bom;
    uint16_t code_page;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {true, true, 0, {0xFF, 0xFE, 0xC4, 0x00, 0x28, 0x20, 'b', 0x00}},
      {true, false, 0, {0xC4, 0x00, 0x28, 0x20, 'b', 0x00}},
      {false, true, 850, {0x8E, '?', 'b'}},  // no mark in front of 8-bit text
  };
  for (const Case& c : cases) {
    TnxBytesStream out;
    list.SaveToStream(out, c.unicode, c.bom, c.code_page);
    EXPECT_EQ(out.Bytes(), c.bytes);
  }
  const testing::TempDir dir;
  const std::u16string path = platform::Utf8ToUtf16(dir.Path("list.txt"));
  list.SaveToFile(path, true, true, 0);
  TnxWideStringList back;
  back.LoadFromFile(path, false, 0);
  EXPECT_TRUE(back.Equals(list));
  EXPECT_THROW(back.LoadFromFile(path + u".missing", false, 0), platform::EFOpenError);
}

TEST(WideStringList, ChangeNotificationsOncePerUpdate) {
  TnxWideStringList list;
  int changing = 0, changed = 0;
  list.SetOnChanging([&](TnxWideStringList&) { ++changing; });
  list.SetOnChange([&](TnxWideStringList&) { ++changed; });
  list.Add(u"a");
  EXPECT_EQ(changing, 1);
  EXPECT_EQ(changed, 1);
  list.SetText(u"x\ny\nz");  // one update
  EXPECT_EQ(changing, 2);
  EXPECT_EQ(changed, 2);
  list.BeginUpdate();
  list.BeginUpdate();
  list.Add(u"q");
  list.Delete(0);
  list.EndUpdate();
  EXPECT_EQ(changed, 2);
  list.EndUpdate();
  EXPECT_EQ(changing, 3);
  EXPECT_EQ(changed, 3);
  // An update ends also when its work raises.
  list.SetSorted(true);
  list.SetDuplicates(TDuplicates::dupError);
  const int before = changed;
  EXPECT_THROW(list.SetText(u"p\np"), platform::EStringListError);
  EXPECT_EQ(changed, before + 1);
  list.Add(u"w");
  EXPECT_EQ(changed, before + 2);
}

TEST(WideStringList, NamesValuesObjectsAndMoves) {
  TnxWideStringList list;
  int o1 = 1, o2 = 2;
  list.AddObject(u"alpha=1", &o1);
  list.Add(u"plain");
  list.InsertObject(1, u"beta=2=x", &o2);
  EXPECT_EQ(list.IndexOfName(u"beta"), 1);
  EXPECT_EQ(list.IndexOfName(u"plain"), -1);
  EXPECT_EQ(list.wsGetName(1), u"beta");
  EXPECT_EQ(list.wsGetName(2), u"");
  EXPECT_EQ(list.wsGetValue(u"beta"), u"2=x");
  EXPECT_EQ(list.wsGetValue(u"none"), u"");
  EXPECT_EQ(list.IndexOfObject(&o2), 1);
  list.wsSetValue(u"alpha", u"9");
  list.wsSetValue(u"gamma", u"3");
  EXPECT_EQ(Items(list), (std::vector<std::u16string>{u"alpha=9", u"beta=2=x", u"plain", u"gamma=3"}));
  EXPECT_EQ(list.Objects(0), &o1);  // setting a value keeps the object
  list.wsSetValue(u"beta", u"");
  EXPECT_EQ(list.IndexOfName(u"beta"), -1);
  list.Move(0, 2);
  EXPECT_EQ(Items(list), (std::vector<std::u16string>{u"plain", u"gamma=3", u"alpha=9"}));
  EXPECT_EQ(list.Objects(2), &o1);
  list.Exchange(0, 2);
  EXPECT_EQ(list.Objects(0), &o1);
  EXPECT_EQ(list.Strings(2), u"plain");
  list.Move(1, 1);
  EXPECT_EQ(list.Strings(1), u"gamma=3");
  // A bad target raises before the item is taken out.
  EXPECT_THROW(list.Move(0, 3), platform::EStringListError);
  EXPECT_EQ(list.Count(), 3);
  list.Add("\xC4rger", 0xFFFF);
  list.Append("\x8E", 850);
  EXPECT_EQ(list.Strings(3), u"Ärger");
  EXPECT_EQ(list.Strings(4), u"Ä");
}

TEST(WideStringList, AssignAndPlatformLists) {
  int o = 7;
  platform::TStringList source;
  source.AddObject(u"eins", &o);
  source.Add(u"zwei");
  TnxWideStringList list;
  list.Add(u"old");
  list.Assign(source);
  EXPECT_EQ(Items(list), (std::vector<std::u16string>{u"eins", u"zwei"}));
  EXPECT_EQ(list.Objects(0), &o);
  list.AddStrings(source, 1252);
  EXPECT_EQ(list.Count(), 4);
  platform::TStringList dest;
  dest.Add(u"gone");
  list.AssignTo(dest);
  ASSERT_EQ(dest.Count(), 4);
  EXPECT_EQ(dest.Strings(2), u"eins");
  EXPECT_EQ(dest.Objects(2), &o);
  TnxWideStringList copy;
  copy.Assign(list);
  EXPECT_TRUE(copy.Equals(list));
  copy.AddStrings(copy);  // to itself: each item once more
  EXPECT_EQ(copy.Count(), 8);
  EXPECT_FALSE(copy.Equals(list));
  TnxWideStringList other;
  list.AssignTo(other);
  EXPECT_TRUE(other.Equals(list));
  list.Assign(list);
  EXPECT_EQ(list.Count(), 4);
}

// A persistent that lists cannot take, and one that can fill a list itself.
class TStranger : public TnxPersistent {
  REVUROV_PERSISTENT_CLASS(TStranger)
};
class TLineSource : public TnxPersistent {
  REVUROV_PERSISTENT_CLASS(TLineSource)
  void AssignTo(TnxPersistent* aDest) const override {
    if (auto* list = dynamic_cast<TnxWideStrings*>(aDest)) {
      list->Clear();
      list->Add(u"from source");
    } else {
      TnxPersistent::AssignTo(aDest);
    }
  }
};

TEST(WideStringList, IsAPersistentObject) {
  TnxWideStringList list;
  list.Add(u"a");
  IInterface* unknown = static_cast<IInterface*>(&list);
  EXPECT_EQ(unknown->AddRef(), -1);
  EXPECT_EQ(unknown->Release(), -1);
  {
    // Counted pointers neither free the list nor keep it: its owner frees it.
    TInterfacePtr<IInterface> held = platform::Supports<IInterface>(unknown);
    ASSERT_TRUE(held);
  }
  EXPECT_EQ(list.Count(), 1);
  TnxPersistent* back = TnxPersistent::FromInterface(unknown);
  EXPECT_EQ(back, static_cast<TnxPersistent*>(&list));
  EXPECT_EQ(dynamic_cast<TnxWideStrings*>(back), &list);
  void* out = &list;
  EXPECT_EQ(unknown->QueryInterface(InxWideStringComparer::IID, &out), platform::E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);

  TnxExceptionDataRef data = nxCreateExceptionDataContainer(u"ExceptionData");
  list.GetExceptionData(*data, false);
  ASSERT_EQ(data->Count(), 2);
  EXPECT_EQ(data->Values(1)->AsString(), u"TnxWideStringList");
  EXPECT_EQ(list.NotSupported(u"Sort"), nxeCapabilityNotSupported);
  EnxBaseException e(static_cast<int64_t>(nxeCapabilityNotSupported));
  EXPECT_EQ(e.Message(), u"RevurOV: Sort not supported by TnxWideStringList [$3001/12289]");
}

TEST(WideStringList, AssignThroughThePersistentBase) {
  int o = 3;
  TnxWideStringList source;
  source.AddObject(u"x", &o);
  source.Add(u"y");
  TnxWideStringList target;
  target.Add(u"old");
  int changing = 0, changed = 0;
  target.SetOnChanging([&](TnxWideStringList&) { ++changing; });
  target.SetOnChange([&](TnxWideStringList&) { ++changed; });
  TnxPersistent& asTarget = target;
  asTarget.Assign(&source);
  EXPECT_EQ(Items(target), (std::vector<std::u16string>{u"x", u"y"}));
  EXPECT_EQ(target.Objects(0), &o);
  EXPECT_EQ(changing, 1);  // one update
  EXPECT_EQ(changed, 1);

  // AssignTo another list through the base; the target keeps its own
  // transformer, so the items are stored transformed.
  TnxWideStringList truncated(nullptr, Transformer<TnxWideStringTruncateTransformer>(1));
  truncated.Add(u"zz");
  const TnxPersistent& asSource = source;
  source.Add(u"long");
  asSource.AssignTo(&truncated);
  EXPECT_EQ(Items(truncated), (std::vector<std::u16string>{u"x", u"y", u"l"}));
  EXPECT_EQ(truncated.Objects(0), &o);

  // Onto itself through the base: nothing is lost.
  asTarget.Assign(&target);
  target.AssignTo(static_cast<TnxPersistent*>(&target));
  EXPECT_EQ(Items(target), (std::vector<std::u16string>{u"x", u"y"}));

  // A source the list does not know may fill it itself.
  TLineSource lines;
  target.Assign(&lines);
  EXPECT_EQ(Items(target), (std::vector<std::u16string>{u"from source"}));
}

TEST(WideStringList, AssignFromOrToAnUnknownClassRaisesAndKeepsTheItems) {
  TnxWideStringList list;
  list.Add(u"keep");
  TStranger stranger;
  TLineSource lines;
  struct Case {
    const char* what;
    std::function<void()> call;
    std::u16string message;
  } cases[] = {
      {"null source", [&] { list.Assign(nullptr); }, u"nil kann nicht zu TnxWideStringList zugewiesen werden"},
      {"unknown source", [&] { list.Assign(&stranger); },
       u"TStranger kann nicht zu TnxWideStringList zugewiesen werden"},
      {"null target", [&] { list.AssignTo(static_cast<TnxPersistent*>(nullptr)); },
       u"TnxWideStringList kann nicht zu nil zugewiesen werden"},
      {"unknown target", [&] { list.AssignTo(&stranger); },
       u"TnxWideStringList kann nicht zu TStranger zugewiesen werden"},
      // The source only knows how to fill lists, not how to be filled.
      {"target that only gives", [&] { list.AssignTo(&lines); },
       u"TnxWideStringList kann nicht zu TLineSource zugewiesen werden"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(testing::MessageOf<platform::EConvertError>(c.call), c.message) << c.what;
    EXPECT_EQ(Items(list), (std::vector<std::u16string>{u"keep"})) << c.what;
  }
}

TEST(WideStringList, CapacityGrowsAndShrinks) {
  TnxWideStringList list;
  std::vector<int32_t> capacities;
  for (int i = 0; i < 80; ++i) {
    list.Add(u"x");
    if (capacities.empty() || capacities.back() != list.GetCapacity()) capacities.push_back(list.GetCapacity());
  }
  EXPECT_EQ(capacities, (std::vector<int32_t>{4, 8, 12, 28, 44, 60, 76, 95}));
  list.SetCapacity(10);
  EXPECT_EQ(list.Count(), 10);
  EXPECT_EQ(list.GetCapacity(), 10);
  EXPECT_THROW(list.SetCapacity(-1), platform::EStringListError);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.GetCapacity(), 0);
}

// The quicksort and the sorted insert against std::sort on random data
// with many duplicates.
TEST(WideStringList, SortMatchesAModel) {
  std::mt19937 rng(12);
  for (int round = 0; round < 20; ++round) {
    const int n = static_cast<int>(rng() % 200);
    std::vector<std::u16string> model;
    TnxWideStringList list, sorted;
    sorted.SetSorted(true);
    sorted.SetDuplicates(TDuplicates::dupAccept);
    for (int i = 0; i < n; ++i) {
      std::u16string s;
      for (unsigned k = rng() % 3; k > 0; --k) s += static_cast<char16_t>(u'a' + rng() % 4);
      model.push_back(s);
      list.Add(s);
      sorted.Add(s);
    }
    std::sort(model.begin(), model.end(), [](const std::u16string& a, const std::u16string& b) {
      return Comparer<TnxWideStringByteComparer>()->Compare(a, b) < 0;
    });
    list.Sort();
    EXPECT_EQ(Items(list), model);
    EXPECT_EQ(Items(sorted), model);
  }
}

}  // namespace
}  // namespace revurov
