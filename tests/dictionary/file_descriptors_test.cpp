#include "dictionary/file_descriptors.h"

#include <gtest/gtest.h>

#include <random>

#include "dictionary/dictionary_tree_fixture.h"
#include "support/tagged_bytes.h"

namespace revurov {
namespace {

using testing::CodeOf;
using testing::FileRef;
using testing::LoadBytes;
using testing::SavedBytes;
using testing::TestRoot;

// A root with files "", a, b, c.
class FilesTest : public testing::DictionaryTreeTest {
protected:
  FilesTest() {
    root.Files = std::make_unique<TnxFilesDescriptor>(&root);
    for (auto ext : {u"", u"a", u"b", u"c"}) files().AddFile(ext, nxbs4k, u"");
  }
  TnxFilesDescriptor& files() { return *root.Files; }
  std::vector<std::u16string> Extensions() {
    std::vector<std::u16string> exts;
    for (int32_t i = 0; i < files().FileCount(); ++i) {
      EXPECT_EQ(files().FileDescriptor(i)->Number(), i);
      exts.push_back(files().FileDescriptor(i)->Extension());
    }
    return exts;
  }

  TestRoot root;
};

TEST(FileDescriptor, BlockSizeBytesSelectsASizeClass) {
  TnxFileDescriptor file(nullptr, u"");
  EXPECT_EQ(file.InitialSize(), 4);
  EXPECT_EQ(file.GrowSize(), 1);
  EXPECT_EQ(file.BlockSizeBytes(), 4096u);
  const std::pair<uint32_t, TnxBlockSize> sizes[] = {
      {4096, nxbs4k}, {8192, nxbs8k}, {16384, nxbs16k}, {32768, nxbs32k}, {65536, nxbs64k}};
  for (auto [bytes, size] : sizes) {
    file.SetBlockSizeBytes(bytes);
    EXPECT_EQ(file.BlockSize(), size);
    EXPECT_EQ(file.BlockSizeBytes(), bytes);
  }
  for (uint32_t bad : {0u, 5000u, 4194304u, 4095u}) {
    try {
      file.SetBlockSizeBytes(bad);
      FAIL() << bad;
    } catch (const EnxFileDescriptorException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeInvalidDescriptor);
      EXPECT_NE(e.Message().find(platform::Format(u"%d is not a valid BlockSize", {int64_t{bad}})),
                std::u16string::npos);
    }
  }
  EXPECT_EQ(file.BlockSize(), nxbs64k);
  EXPECT_THROW(file.SetInitialSize(0), EnxFileDescriptorException);
  EXPECT_THROW(file.SetGrowSize(-1), EnxFileDescriptorException);
}

TEST(FileDescriptor, UsableBlockSizeAndFileIDComeFromAboveAndFromCustomStrings) {
  TnxFileDescriptor loose(nullptr, u"");
  EXPECT_EQ(CodeOf<EnxFileDescriptorException>([&] { loose.UsableBlockSize(); }), nxeObjectNotFound);
  EXPECT_EQ(loose.FileID(), u"");
  loose.SetFileID(u"{1}");
  EXPECT_EQ(loose.CustomStrings().Values(u"$FileID"), u"{1}");
  EXPECT_EQ(loose.FileID(), u"{1}");

  TestRoot root;
  TnxFilesDescriptor files(&root);
  TnxFileDescriptor* file = files.AddFile(u"", nxbs8k, u"");
  EXPECT_EQ(file->UsableBlockSize(), 8192u - 32u);
}

TEST_F(FilesTest, AddFileChecksExtensions) {
  TnxFilesDescriptor fresh(&root);
  EXPECT_EQ(CodeOf<EnxFilesDescriptorException>([&] { fresh.AddFile(u"x", nxbs4k, u""); }), nxeInvalidFileExtension);
  fresh.AddFile(u"", nxbs4k, u"");
  EXPECT_EQ(CodeOf<EnxFilesDescriptorException>([&] { fresh.AddFile(u"", nxbs4k, u""); }), nxeInvalidFileExtension);
  EXPECT_EQ(CodeOf<EnxFilesDescriptorException>([&] { fresh.AddFile(u"a.b/", nxbs4k, u""); }),
            nxeInvalidFileExtension);
  fresh.AddFile(u"idx", nxbs16k, u"index");
  try {
    fresh.AddFile(u"IDX", nxbs4k, u"");
    FAIL();
  } catch (const EnxFilesDescriptorException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeNameNotUnique);
    EXPECT_NE(e.Message().find(u"Duplicated file extension: \"IDX\""), std::u16string::npos);
  }
  fresh.AddFile(u"$blob", nxbs4k, u"");
  EXPECT_EQ(fresh.FileCount(), 3);
  EXPECT_EQ(fresh.FileDescriptor(1)->Desc(), u"index");
  EXPECT_EQ(fresh.FileDescriptor(1)->BlockSize(), nxbs16k);
  EXPECT_EQ(fresh.GetFileFromExt(u"IdX"), 1);
  EXPECT_EQ(fresh.GetFileFromExt(u""), 0);
  EXPECT_EQ(fresh.GetFileFromExt(u"none"), -1);
}

TEST_F(FilesTest, RefusesBadPositionsBeforeAnythingChanges) {
  FileRef ref(&root, 2);
  struct Case {
    const char* what;
    std::function<void()> call;
    uint32_t code;
  };
  const Case cases[] = {
      {"move from the base file", [&] { files().MoveFile(0, 2); }, nxeInvalidDescriptorNumber},
      {"move onto the base file", [&] { files().MoveFile(2, 0); }, nxeInvalidDescriptorNumber},
      {"move beyond the end", [&] { files().MoveFile(1, 4); }, nxeInvalidDescriptorNumber},
      {"insert before the base file", [&] { files().InsertFileAt(0, u"x", nxbs4k, u""); }, nxeInvalidDescriptorNumber},
      {"insert beyond the end", [&] { files().InsertFileAt(5, u"x", nxbs4k, u""); }, nxeInvalidDescriptorNumber},
      {"insert a duplicate", [&] { files().InsertFileAt(1, u"B", nxbs4k, u""); }, nxeNameNotUnique},
      {"insert a bad extension", [&] { files().InsertFileAt(1, u"", nxbs4k, u""); }, nxeInvalidFileExtension},
      {"insert a bad block size", [&] { files().InsertFileAt(1, u"x", static_cast<TnxBlockSize>(5), u""); },
       nxeInvalidDescriptor},
      {"remove the base file", [&] { files().RemoveFile(0); }, nxeObjectInUse},
      {"remove a negative position", [&] { files().RemoveFile(-1); }, nxeInvalidDescriptorNumber},
      {"rename the base file", [&] { files().RenameFile(0, u"x"); }, nxeInvalidDescriptorNumber},
      {"rename an absent extension", [&] { files().RenameFile(u"zz", u"x"); }, nxeInvalidDescriptorNumber},
      {"rename to a duplicate", [&] { files().RenameFile(1, u"C"); }, nxeNameNotUnique},
      {"rename to a bad extension", [&] { files().RenameFile(1, u"a?"); }, nxeInvalidFileExtension},
      {"file beyond the end", [&] { files().FileDescriptor(4); }, nxeInvalidDescriptorNumber},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CodeOf<EnxFilesDescriptorException>(c.call), c.code) << c.what;
    EXPECT_EQ(Extensions(), (std::vector<std::u16string>{u"", u"a", u"b", u"c"})) << c.what;
    EXPECT_EQ(ref.Befores, 0) << c.what;  // no listener heard of a refused change
  }
  files().RemoveFile(4);  // beyond the list: nothing
  files().MoveFile(2, 2);
  EXPECT_EQ(ref.Befores, 0);
  EXPECT_EQ(Extensions(), (std::vector<std::u16string>{u"", u"a", u"b", u"c"}));
}

TEST_F(FilesTest, ListenersFollowAndRefuseTheRemovalOfTheirFile) {
  FileRef onB(&root, 2);
  FileRef onC(&root, 3);
  EXPECT_EQ(files().FileChangeListenerCount(), 2);
  try {
    files().RemoveFile(2);
    FAIL();
  } catch (const EnxIndexDescriptorException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeObjectInUse);
  }
  EXPECT_EQ(Extensions(), (std::vector<std::u16string>{u"", u"a", u"b", u"c"}));
  EXPECT_EQ(onC.File, 3);

  files().RemoveFile(1);
  EXPECT_EQ(Extensions(), (std::vector<std::u16string>{u"", u"b", u"c"}));
  EXPECT_EQ(onB.File, 1);
  EXPECT_EQ(onC.File, 2);

  files().InsertFileAt(1, u"n", nxbs4k, u"");
  files().InsertFileAt(4, u"end", nxbs4k, u"");  // at the end: before and after too
  EXPECT_EQ(onB.Befores - onB.Afters, 1);   // only the refused removal is unpaired
  EXPECT_EQ(Extensions(), (std::vector<std::u16string>{u"", u"n", u"b", u"c", u"end"}));
  EXPECT_EQ(onB.File, 2);
  files().MoveFile(3, 1);
  EXPECT_EQ(onC.File, 1);
  EXPECT_EQ(onB.File, 3);
  files().RenameFile(u"b", u"B");  // its own extension in another case
  EXPECT_EQ(files().FileDescriptor(3)->Extension(), u"B");
}

TEST_F(FilesTest, ClearTellsListenersAboutEveryFileFromTheLast) {
  struct Recorder : FileRef {
    using FileRef::FileRef;
    void FileChangeNotification(bool aBefore, int32_t aOld, int32_t aNew) override {
      calls.push_back({aBefore, aOld, aNew});
    }
    std::vector<std::tuple<bool, int32_t, int32_t>> calls;
  };
  Recorder recorder(&root, -1);
  files().Clear(true);
  EXPECT_EQ(files().FileCount(), 0);
  const std::vector<std::tuple<bool, int32_t, int32_t>> expected = {
      {true, 3, -1}, {true, 2, -1}, {true, 1, -1}, {true, 0, -1},
      {false, 3, -1}, {false, 2, -1}, {false, 1, -1}, {false, 0, -1}};
  EXPECT_EQ(recorder.calls, expected);
  files().Clear(false);
  EXPECT_EQ(recorder.calls.size(), expected.size());
}

// The bytes of a files descriptor with its base part, its version, and per
// file a class name, an extension and the file's own part (version given).
std::vector<uint8_t> FilesStream(int32_t aVersion, std::u16string_view aClass, int32_t aFileVersion,
                                 int32_t aBlockBytes = 4096,
                                 std::vector<std::u16string> aExtensions = {u"ignored"}) {
  return testing::Written([&](TnxWriter& w) {
    testing::WriteItemHeader(w);
    w.WriteInteger(aVersion);
    w.WriteInteger(static_cast<int32_t>(aExtensions.size()));
    for (const auto& extension : aExtensions) {
      w.WriteString(aClass);
      w.WriteString(extension);  // the base file's is dropped
      testing::WriteItemHeader(w);
      w.WriteInteger(aFileVersion);
      w.WriteString(u"d");
      w.WriteInteger(aBlockBytes);
      w.WriteInteger(int32_t{4});
      w.WriteInteger(int32_t{1});
    }
  });
}

TEST_F(FilesTest, ValidationNumbersFilesAndRefusesDuplicatesAndAnEmptyList) {
  files().CheckValid(true);
  TnxFilesDescriptor empty(&root);
  EXPECT_EQ(CodeOf<EnxFilesDescriptorException>([&] { empty.CheckValid(false); }), nxeInvalidRecordStructure);

  // A stream may carry what AddFile refuses; validation finds it.
  TnxFilesDescriptor duplicated(&root);
  LoadBytes(duplicated, FilesStream(1, u"TnxFileDescriptor", 1, 4096, {u"", u"x", u"X"}));
  EXPECT_EQ(CodeOf<EnxFilesDescriptorException>([&] { duplicated.CheckValid(false); }), nxeNameNotUnique);
  TnxFilesDescriptor badExtension(&root);
  LoadBytes(badExtension, FilesStream(1, u"TnxFileDescriptor", 1, 4096, {u"", u"x?"}));
  EXPECT_EQ(CodeOf<EnxFileDescriptorException>([&] { badExtension.CheckValid(false); }), nxeInvalidFileExtension);
}

TEST_F(FilesTest, CopyingAFileLeavesItsExtensionToTheList) {
  files().FileDescriptor(2)->SetFileID(u"x");
  files().FileDescriptor(2)->SetDesc(u"two");
  TnxFileDescriptor& c = *files().FileDescriptor(3);
  c.Assign(files().FileDescriptor(2));
  EXPECT_EQ(c.Extension(), u"c");
  EXPECT_EQ(c.Number(), 3);
  EXPECT_EQ(c.FileID(), u"x");
  EXPECT_EQ(c.Desc(), u"two");
}

TEST_F(FilesTest, RoundTripsThroughItsStream) {
  files().FileDescriptor(1)->SetDesc(u"Index file");
  files().FileDescriptor(1)->SetBlockSize(nxbs32k);
  files().FileDescriptor(2)->SetInitialSize(100);
  files().FileDescriptor(2)->SetGrowSize(7);
  files().FileDescriptor(3)->SetFileID(u"{F3}");
  files().SetConstraintName(u"Files");
  for (uint32_t version : {20000u, 47005u, nxLibraryVersion}) {
    TestRoot other;
    TnxFilesDescriptor copy(&other);
    LoadBytes(copy, SavedBytes(files(), version));
    EXPECT_TRUE(copy.IsEqual(&files())) << version;
    EXPECT_EQ(copy.FileDescriptor(3)->FileID(), u"{F3}");
    EXPECT_EQ(copy.FileDescriptor(2)->Number(), 2);
    EXPECT_EQ(copy.ConstraintName(), u"Files");
  }
  EXPECT_EQ(CodeOf<EnxFilesDescriptorException>([&] { SavedBytes(files(), 19999); }), nxeIncompatibleVersion);

  TestRoot other;
  TnxFilesDescriptor copy(&other);
  LoadBytes(copy, SavedBytes(files(), nxLibraryVersion));
  copy.FileDescriptor(1)->SetDesc(u"changed");
  EXPECT_FALSE(copy.IsEqual(&files()));
  copy.FileDescriptor(1)->SetDesc(u"Index file");
  copy.FileDescriptor(1)->SetGrowSize(2);
  EXPECT_FALSE(copy.IsEqual(&files()));
}

TEST_F(FilesTest, ReaderRefusesUnknownLayoutsAndClasses) {
  TnxFilesDescriptor good(&root);
  LoadBytes(good, FilesStream(1, u"TnxFileDescriptor", 1));
  EXPECT_EQ(good.FileDescriptor(0)->Extension(), u"");
  EXPECT_EQ(good.FileDescriptor(0)->Desc(), u"d");

  TnxFilesDescriptor bad(&root);
  EXPECT_EQ(CodeOf<EnxFilesDescriptorException>([&] { LoadBytes(bad, FilesStream(2, u"TnxFileDescriptor", 1)); }),
            nxeIncompatibleStream);
  EXPECT_EQ(CodeOf<EnxFileDescriptorException>([&] { LoadBytes(bad, FilesStream(1, u"TnxFileDescriptor", 2)); }),
            nxeIncompatibleStream);
  EXPECT_EQ(CodeOf<EnxFileDescriptorException>(
                [&] { LoadBytes(bad, FilesStream(1, u"TnxFileDescriptor", 1, 5000)); }),
            nxeInvalidDescriptor);
  try {
    LoadBytes(bad, FilesStream(1, u"TnxMissingDescriptor", 1));
    FAIL();
  } catch (const EnxFilesDescriptorException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeUnsupportedDictionaryDescriptor);
    EXPECT_NE(e.Message().find(u"FileDescriptor class is not supported: TnxMissingDescriptor"), std::u16string::npos);
  }
}

// Damaged streams end in an exception, never in a crash, a hang or a
// read out of bounds.
TEST_F(FilesTest, DamagedStreamsAreRefusedCleanly) {
  files().FileDescriptor(1)->SetFileID(u"id");
  const auto good = SavedBytes(files(), nxLibraryVersion);
  std::mt19937 rng(1234);
  int refused = 0;
  for (int round = 0; round < 3000; ++round) {
    auto bytes = good;
    if (round % 4 == 0) {
      bytes.resize(rng() % bytes.size());
    } else {
      for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k) bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
    }
    TestRoot other;
    TnxFilesDescriptor copy(&other);
    TnxStaticMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    try {
      TnxReader r(s);
      copy.LoadFromReader(r);
    } catch (const platform::Exception&) {
      ++refused;
    }
  }
  EXPECT_GT(refused, 1000);
}

// 10^4 random insertions, moves, removals and renames against a model that
// names every file by its extension; each listener must keep pointing at
// the file it chose, and refused changes must leave everything as it was.
TEST_F(FilesTest, ListenersFollowTheirFilesThroughRandomChanges) {
  std::mt19937 rng(20261209);
  std::vector<std::u16string> model = {u"", u"a", u"b", u"c"};
  struct Listener {
    std::unique_ptr<FileRef> ref;
    std::u16string follows;
  };
  std::vector<Listener> listeners;
  int nextName = 0;
  auto newName = [&] {
    const std::string digits = std::to_string(nextName++);
    return u"e" + std::u16string(digits.begin(), digits.end());
  };
  auto pick = [&](int32_t n) { return static_cast<int32_t>(rng() % static_cast<uint32_t>(n)); };
  auto referenced = [&](int32_t file) {
    for (const auto& l : listeners)
      if (l.ref->File == file) return true;
    return false;
  };

  int refusals = 0, changes = 0;
  for (int step = 0; step < 10000; ++step) {
    const int32_t count = static_cast<int32_t>(model.size());
    switch (pick(6)) {
      case 0: {  // insert, sometimes at a position that is refused
        const int32_t at = pick(count + 2);
        const std::u16string name = newName();
        if (at < 1 || at > count) {
          EXPECT_EQ(CodeOf<EnxFilesDescriptorException>([&] { files().InsertFileAt(at, name, nxbs4k, u""); }),
                    nxeInvalidDescriptorNumber);
          ++refusals;
        } else {
          files().InsertFileAt(at, name, nxbs4k, u"");
          model.insert(model.begin() + at, name);
          ++changes;
        }
        break;
      }
      case 1: {  // move
        const int32_t from = pick(count + 1), to = pick(count + 1);
        if (from < 1 || from >= count || to < 1 || to >= count) {
          EXPECT_EQ(CodeOf<EnxFilesDescriptorException>([&] { files().MoveFile(from, to); }),
                    nxeInvalidDescriptorNumber);
          ++refusals;
        } else {
          files().MoveFile(from, to);
          const std::u16string moved = model[static_cast<size_t>(from)];
          model.erase(model.begin() + from);
          model.insert(model.begin() + to, moved);
          ++changes;
        }
        break;
      }
      case 2: {  // remove
        const int32_t at = pick(count + 1);
        if (at == 0) {
          EXPECT_EQ(CodeOf<EnxFilesDescriptorException>([&] { files().RemoveFile(at); }), nxeObjectInUse);
        } else if (at < count && referenced(at)) {
          EXPECT_EQ(CodeOf<EnxIndexDescriptorException>([&] { files().RemoveFile(at); }), nxeObjectInUse);
          ++refusals;
        } else {
          files().RemoveFile(at);
          if (at < count) model.erase(model.begin() + at), ++changes;
        }
        break;
      }
      case 3: {  // rename
        if (count < 2) break;
        const int32_t at = 1 + pick(count - 1);
        const std::u16string name = newName();
        files().RenameFile(model[static_cast<size_t>(at)], name);
        for (auto& l : listeners)
          if (l.follows == model[static_cast<size_t>(at)]) l.follows = name;
        model[static_cast<size_t>(at)] = name;
        break;
      }
      case 4: {  // a new listener on some file
        if (listeners.size() >= 12) break;
        const int32_t at = pick(count);
        listeners.push_back({std::make_unique<FileRef>(&root, at), model[static_cast<size_t>(at)]});
        break;
      }
      case 5: {  // a listener leaves
        if (listeners.empty()) break;
        listeners.erase(listeners.begin() + pick(static_cast<int32_t>(listeners.size())));
        break;
      }
    }
    ASSERT_EQ(files().FileCount(), static_cast<int32_t>(model.size())) << "step " << step;
    for (int32_t i = 0; i < files().FileCount(); ++i) {
      ASSERT_EQ(files().FileDescriptor(i)->Extension(), model[static_cast<size_t>(i)]) << "step " << step;
      ASSERT_EQ(files().FileDescriptor(i)->Number(), i) << "step " << step;
    }
    for (const auto& l : listeners) {
      ASSERT_GE(l.ref->File, 0) << "step " << step;
      ASSERT_LT(l.ref->File, files().FileCount()) << "step " << step;
      ASSERT_EQ(model[static_cast<size_t>(l.ref->File)], l.follows) << "step " << step;
    }
    ASSERT_EQ(files().FileChangeListenerCount(), static_cast<int32_t>(listeners.size()));
  }
  EXPECT_GT(changes, 3000);
  EXPECT_GT(refusals, 200);
}

}  // namespace
}  // namespace revurov
