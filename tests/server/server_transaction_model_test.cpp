// Table transaction locks against a reference model: a seeded scheduler
// drives five transaction contexts of four sessions (two contexts share a
// session) over three tables one step at a time (starts, nested starts,
// snapshot starts, commits, rollbacks, shared, exclusive and upgrade
// requests, conditional or not) and compares every step with the model:
// the answer, each table's granted, snapshot and pending lists in order,
// its pending upgrade, and each transaction's levels, state and links. A
// blocked request is seen through the wait hook; it ends granted, or timed
// out when the scheduler lets it go.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/text.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_table.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "storage/deadline.h"
#include "support/fake_deadline_clock.h"
#include "support/server_fixture.h"
#include "support/temp_dir.h"
#include "support/test_size.h"
#include "support/trans_link_request.h"

namespace revurov::testing {
namespace {

constexpr int kContexts = 5;
constexpr int kTables = 3;
// Context i works in session kSessionOf[i].
constexpr int kSessionOf[kContexts] = {0, 1, 2, 3, 0};

// ---- the reference model ----

enum MState { msPending, msPendingUpgrade, msGranted, msFailed };

struct MLink {
  int Ctx = 0;
  int Table = 0;
  bool Exclusive = false;
  bool Snapshot = false;
  int Level = 0;
  int From = -1;
  int To = -1;
  MState State = msPending;
  bool InMap = false, InLevel = false, InTable = false;
  bool Alive = true;
};

struct MTable {
  std::vector<int> Granted, Pending, SnapshotGranted;
  int PendingUpgrade = -1;
};

struct MCtx {
  bool Active = false;
  bool Snapshot = false;
  std::vector<std::vector<int>> Levels;  // links per level, in order
  std::vector<bool> Deadlocked;
  std::map<int, int> Map;  // table -> link
  int Blocked = -1;
};

class Model {
public:
  std::vector<MLink> L;
  MTable T[kTables];
  MCtx C[kContexts];
  int SameSessionRefusals = 0;

  uint32_t CheckState(int c) const {
    const MCtx& x = C[c];
    return !x.Deadlocked.empty() && x.Deadlocked.back() ? nxeDeadlock : 0;
  }

  uint32_t Start(int c, bool aSnapshot) {
    MCtx& x = C[c];
    if (x.Active) {
      if (uint32_t code = CheckState(c)) return code;
      x.Levels.emplace_back();
      x.Deadlocked.push_back(false);
      return 0;
    }
    x = MCtx();
    x.Active = true;
    x.Snapshot = aSnapshot;
    x.Levels.emplace_back();
    x.Deadlocked.push_back(false);
    return 0;
  }

  uint32_t Commit(int c) {
    MCtx& x = C[c];
    if (!x.Active) return nxeNoTransaction;
    if (uint32_t code = CheckState(c)) return code;
    const int level = static_cast<int>(x.Levels.size()) - 1;
    if (level > 0) {
      std::vector<int> moved = x.Levels[level];
      for (int id : moved) {
        Erase(x.Levels[level], id);
        L[id].Level = level - 1;
        x.Levels[level - 1].push_back(id);
        const int from = L[id].From;
        if (from >= 0 && L[from].Level == level - 1) {
          L[from].To = -1;
          L[id].From = -1;
          Erase(x.Levels[level - 1], from);
          L[from].InLevel = false;
          Delete(from);
        }
      }
      x.Levels.pop_back();
      x.Deadlocked.pop_back();
      return 0;
    }
    std::vector<int> exclusive;
    for (int id : std::vector<int>(x.Levels[0])) {
      if (L[id].Exclusive && L[id].State == msGranted && !L[id].Snapshot) {
        exclusive.push_back(id);
      } else {
        RemoveFromTable(id);
        Process(L[id].Table);
        Delete(id);
      }
    }
    for (int id : exclusive) {
      RemoveFromTable(id);
      Process(L[id].Table);
    }
    for (int id : exclusive) Delete(id);
    x = MCtx();
    return 0;
  }

  uint32_t Rollback(int c) {
    MCtx& x = C[c];
    if (!x.Active) return nxeNoTransaction;
    Release(c, static_cast<int>(x.Levels.size()) - 1);
    x.Levels.pop_back();
    x.Deadlocked.pop_back();
    if (x.Levels.empty()) x = MCtx();
    return 0;
  }

  // The cursor's request; aWaiting when it blocks.
  uint32_t Request(int c, int t, bool aExclusive, bool aConditional, bool& aWaiting) {
    aWaiting = false;
    MCtx& x = C[c];
    if (uint32_t code = CheckState(c)) return code;
    const int level = static_cast<int>(x.Levels.size()) - 1;
    auto it = x.Map.find(t);
    int own = it == x.Map.end() ? -1 : it->second;
    int link = -1;
    if (own >= 0 && L[own].Snapshot) return 0;
    if (own >= 0 && L[own].State == msGranted && (L[own].Exclusive || !aExclusive)) return 0;
    if (own >= 0 && L[own].State == msGranted) {
      if (T[t].Granted == std::vector<int>{own} && L[own].Level == level) {
        L[own].Exclusive = true;
        return 0;
      }
      if (T[t].PendingUpgrade >= 0) {
        Release(c, level);
        x.Deadlocked[level] = true;
        return nxeDeadlock;
      }
      link = NewLink(c, t, true, level, own);
    } else {
      link = NewLink(c, t, aExclusive, level, -1);
    }
    if (L[link].State == msGranted) return 0;
    if (aConditional || L[link].State == msFailed) {
      Delete(link);
      return nxeLockTimeOut;
    }
    aWaiting = true;
    x.Blocked = link;
    return 0;
  }

  uint32_t Finish(int c) {
    MCtx& x = C[c];
    const int link = x.Blocked;
    x.Blocked = -1;
    if (L[link].State == msGranted) return 0;
    Delete(link);
    return nxeLockTimeOut;
  }

private:
  static void Erase(std::vector<int>& aList, int aId) {
    for (auto i = aList.begin(); i != aList.end(); ++i)
      if (*i == aId) {
        aList.erase(i);
        return;
      }
  }

  int Check(int id) {
    MLink& k = L[id];
    const std::vector<int>& granted = T[k.Table].Granted;
    if (granted.empty()) return 0;
    if (!k.Exclusive) return L[granted.front()].Exclusive ? 1 : 0;
    if (granted.size() == 1 && granted.front() == k.From) return 0;
    for (int other : granted) {
      if (other == k.From) continue;
      if (kSessionOf[L[other].Ctx] == kSessionOf[k.Ctx]) {
        ++SameSessionRefusals;
        return 2;
      }
    }
    return 1;
  }

  int NewLink(int c, int t, bool aExclusive, int aLevel, int aFrom) {
    const int id = static_cast<int>(L.size());
    L.push_back(MLink{c, t, aExclusive, false, aLevel});
    if (C[c].Snapshot) {
      L[id].State = msGranted;
      L[id].Snapshot = true;
      AddAll(id);
      return id;
    }
    if (aFrom >= 0) {
      L[id].From = aFrom;
      L[aFrom].To = id;
      L[id].State = msPendingUpgrade;
      switch (Check(id)) {
        case 0:
          L[id].State = msGranted;
          CompleteUpgrade(id);
          break;
        case 1:
          AddToTable(id);
          break;
        default:
          L[id].State = msFailed;
      }
      return id;
    }
    switch (Check(id)) {
      case 0:
        L[id].State = msGranted;
        AddAll(id);
        break;
      case 1:
        L[id].State = msPending;
        AddAll(id);
        break;
      default:
        L[id].State = msFailed;
    }
    return id;
  }

  void AddAll(int id) {
    AddToMap(id);
    AddToLevel(id);
    AddToTable(id);
  }
  void AddToMap(int id) {
    if (L[id].InMap) return;
    C[L[id].Ctx].Map[L[id].Table] = id;
    L[id].InMap = true;
  }
  void RemoveFromMap(int id) {
    if (!L[id].InMap) return;
    L[id].InMap = false;
    auto& map = C[L[id].Ctx].Map;
    auto it = map.find(L[id].Table);
    if (it != map.end() && it->second == id) map.erase(it);
  }
  void AddToLevel(int id) {
    if (L[id].InLevel) return;
    C[L[id].Ctx].Levels[L[id].Level].push_back(id);
    L[id].InLevel = true;
  }
  void RemoveFromLevel(int id) {
    if (!L[id].InLevel) return;
    Erase(C[L[id].Ctx].Levels[L[id].Level], id);
    L[id].InLevel = false;
  }
  void AddToTable(int id) {
    if (L[id].InTable) return;
    MTable& t = T[L[id].Table];
    switch (L[id].State) {
      case msPending:
        t.Pending.push_back(id);
        break;
      case msPendingUpgrade:
        t.PendingUpgrade = id;
        break;
      case msGranted:
        (L[id].Snapshot ? t.SnapshotGranted : t.Granted).push_back(id);
        break;
      case msFailed:
        return;
    }
    L[id].InTable = true;
  }
  void RemoveFromTable(int id) {
    if (!L[id].InTable) return;
    MTable& t = T[L[id].Table];
    Erase(t.Pending, id);
    Erase(t.Granted, id);
    Erase(t.SnapshotGranted, id);
    if (t.PendingUpgrade == id) t.PendingUpgrade = -1;
    L[id].InTable = false;
  }
  void CompleteUpgrade(int id) {
    const int from = L[id].From;
    if (from >= 0) {
      RemoveFromMap(from);
      RemoveFromTable(from);
      if (L[from].Level == L[id].Level) {
        RemoveFromLevel(from);
        L[from].To = -1;
        L[id].From = -1;
        Delete(from);
      }
    }
    AddAll(id);
  }
  void Delete(int id) {
    MLink& k = L[id];
    if (k.To >= 0) L[k.To].From = -1;
    if (k.From >= 0) L[k.From].To = -1;
    k.To = k.From = -1;
    RemoveFromMap(id);
    RemoveFromLevel(id);
    if (k.InTable) {
      RemoveFromTable(id);
      Process(k.Table);
    }
    k.Alive = false;
  }
  void Grant(int id) {
    RemoveFromTable(id);
    L[id].State = msGranted;
    if (L[id].From >= 0)
      CompleteUpgrade(id);
    else
      AddToTable(id);
  }
  void Fail(int id) {
    RemoveFromTable(id);
    L[id].State = msFailed;
  }
  void Process(int t) {
    if (T[t].PendingUpgrade >= 0) {
      const int up = T[t].PendingUpgrade;
      const int decision = Check(up);
      if (decision == 1) return;
      if (decision == 0)
        Grant(up);
      else
        Fail(up);
    }
    while (!T[t].Pending.empty()) {
      const int head = T[t].Pending.front();
      const int decision = Check(head);
      if (decision == 1) return;
      if (decision == 0)
        Grant(head);
      else
        Fail(head);
    }
  }
  void Release(int c, int aLevel) {
    std::vector<int>& links = C[c].Levels[aLevel];
    while (!links.empty()) {
      const int id = links.front();
      const int from = L[id].From;
      if (from >= 0) {
        RemoveFromMap(id);
        RemoveFromTable(id);
        L[from].To = -1;
        L[id].From = -1;
        AddToMap(from);
        AddToTable(from);
        Process(L[id].Table);
      } else {
        RemoveFromTable(id);
        Process(L[id].Table);
      }
      Delete(id);
    }
  }
};

// ---- the real side ----

class CountingWaitHook : public TnxServerTransactionLevelTableLink::TnxWaitHook {
public:
  bool Wait(TnxServerTransactionLevelTableLink&, uint32_t aTimeout) override {
    ++Waits;
    LastTimeout = aTimeout;
    return false;
  }
  int Waits = 0;
  uint32_t LastTimeout = 0;
};

using Entry = std::tuple<int, bool, bool>;  // context, exclusive, snapshot

class TransactionModelTest : public ServerFixture {
protected:
  TransactionModelTest() {
    Start();
    for (auto& session : sessions) session = Open();
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(sessions[0]->DatabaseOpen(database, u"Path", platform::Utf8ToUtf16(dir.Dir()), nullptr, omReadWrite,
                                        smShared, 1000),
              0u);
    db = static_cast<TnxServerDatabase*>(database);
    auto dict = std::make_unique<TnxDataDictionary>();
    dict->FieldsDescriptor().AddField(u"Value", u"", nxtInt32, 0, 0, false);
    for (int i = 0; i < kTables; ++i) {
      const std::u16string name = u"M" + std::u16string(1, char16_t(u'1' + i));
      EXPECT_EQ(db->Folder()->sfTableCreate(name, u"", false, *dict, tsPersistent, tables[i]), 0u);
    }
    for (int i = 0; i < kContexts; ++i) {
      TnxAbstractTransContext* context = nullptr;
      EXPECT_EQ(sessions[kSessionOf[i]]->TransContextCreate(context, 10000), 0u);
      contexts[i] = static_cast<TnxServerTransContext*>(context);
    }
    TnxServerTransactionLevelTableLink::SetWaitHook(&hook);
  }
  ~TransactionModelTest() override {
    TnxServerTransactionLevelTableLink::SetWaitHook(nullptr);
    for (auto* context : contexts) context->Free();
  }

  int CtxOf(const TnxServerTransactionLevelTableLink* aLink) const {
    for (int i = 0; i < kContexts; ++i)
      if (contexts[i]->stcTransaction() == &aLink->Transaction()) return i;
    return -1;
  }
  std::vector<Entry> Real(TnxServerTransactionLevelTableLink* aHead) const {
    std::vector<Entry> list;
    for (auto* l = aHead; l; l = l->TableNext()) list.emplace_back(CtxOf(l), l->Exclusive(), l->Snapshot());
    return list;
  }
  std::vector<Entry> Modelled(const std::vector<int>& aIds) const {
    std::vector<Entry> list;
    for (int id : aIds) list.emplace_back(model.L[id].Ctx, model.L[id].Exclusive, model.L[id].Snapshot);
    return list;
  }

  void Compare(const std::string& aStep) {
    for (int t = 0; t < kTables; ++t) {
      SCOPED_TRACE(aStep + " table " + std::to_string(t));
      TnxServerRootTable& table = *tables[t];
      const MTable& m = model.T[t];
      ASSERT_EQ(Real(table.TransLinksGrantedHead()), Modelled(m.Granted));
      ASSERT_EQ(Real(table.TransLinksPendingHead()), Modelled(m.Pending));
      ASSERT_EQ(Real(table.TransLinksSnapshotGrantedHead()), Modelled(m.SnapshotGranted));
      auto* upgrade = table.TransLinksPendingUpgrade();
      ASSERT_EQ(upgrade != nullptr, m.PendingUpgrade >= 0);
      if (upgrade) {
        ASSERT_EQ(CtxOf(upgrade), model.L[m.PendingUpgrade].Ctx);
      }
    }
    for (int c = 0; c < kContexts; ++c) {
      SCOPED_TRACE(aStep + " context " + std::to_string(c));
      TnxServerTransaction* trans = contexts[c]->stcTransaction();
      const MCtx& m = model.C[c];
      ASSERT_EQ(trans != nullptr, m.Active);
      if (!trans) continue;
      ASSERT_EQ(trans->TransLevel()->LevelNumber() + 1, static_cast<int>(m.Levels.size()));
      ASSERT_EQ(trans->CheckState(), model.CheckState(c));
      int level = static_cast<int>(m.Levels.size()) - 1;
      for (auto* l = trans->ServerLevel(); l; l = l->ServerPrev(), --level) {
        std::vector<Entry> real;
        for (auto* k = l->TableLinksHead(); k; k = k->TransactionLevelNext())
          real.emplace_back(TableIndex(k->Table()), k->Exclusive(), k->State() == ttlsGranted);
        std::vector<Entry> modelled;
        for (int id : m.Levels[static_cast<size_t>(level)])
          modelled.emplace_back(model.L[id].Table, model.L[id].Exclusive, model.L[id].State == msGranted);
        ASSERT_EQ(real, modelled) << "level " << level;
      }
      for (int t = 0; t < kTables; ++t) {
        auto* link = trans->stFindTableLink(*tables[t]);
        auto it = m.Map.find(t);
        ASSERT_EQ(link != nullptr, it != m.Map.end()) << "map of table " << t;
        if (link) {
          ASSERT_EQ(link->Exclusive(), model.L[it->second].Exclusive);
        }
      }
    }
  }
  int TableIndex(const TnxServerRootTable& aTable) const {
    for (int t = 0; t < kTables; ++t)
      if (tables[t] == &aTable) return t;
    return -1;
  }

  TempDir dir;
  TnxServerSession* sessions[4] = {};
  TnxServerDatabase* db = nullptr;
  TnxServerRootTable* tables[kTables] = {};
  TnxServerTransContext* contexts[kContexts] = {};
  TnxServerTransactionLevelTableLink* blocked[kContexts] = {};
  CountingWaitHook hook;
  Model model;
};

TEST_F(TransactionModelTest, EveryStepOfSeededSchedulesMatchesTheModel) {
  TFakeDeadlineClock clock;
  const int schedules = TestSize(300, 10000);
  constexpr int kSteps = 60;
  int blockedSeen = 0, deadlocks = 0, upgrades = 0, timeouts = 0, sameSession = 0;
  for (int schedule = 0; schedule < schedules; ++schedule) {
    std::mt19937 random(static_cast<uint32_t>(schedule) * 2654435761u + 17u);
    auto pick = [&](int aCount) { return static_cast<int>(random() % static_cast<uint32_t>(aCount)); };
    sameSession += model.SameSessionRefusals;
    model = Model();
    for (int step = 0; step <= kSteps; ++step) {
      const bool last = step == kSteps;
      const int c = pick(kContexts);
      TnxServerTransContext& context = *contexts[c];
      std::string what;
      uint32_t real = 0, expected = 0;
      if (model.C[c].Blocked >= 0) {
        // Only a granted request ends now, unless the scheduler lets it
        // time out.
        if (model.L[model.C[c].Blocked].State != msGranted && pick(10) != 0 && !last) continue;
        what = "finish";
        const int waitsBefore = hook.Waits;
        // Only an undecided request waits; a refused one answers at once.
        const bool undecided = model.L[model.C[c].Blocked].State == msPending ||
                               model.L[model.C[c].Blocked].State == msPendingUpgrade;
        real = FinishTableLink(blocked[c]);
        blocked[c] = nullptr;
        expected = model.Finish(c);
        if (expected != 0) ++timeouts;
        EXPECT_EQ(hook.Waits, waitsBefore + (undecided ? 1 : 0));
      } else if (last) {
        continue;
      } else {
        const int op = pick(20);
        if (op < 4) {
          const bool snapshot = !model.C[c].Active && pick(6) == 0;
          what = snapshot ? "snapshot start" : "start";
          real = context.TransactionStart(false, snapshot);
          expected = model.Start(c, snapshot);
        } else if (op < 7) {
          what = "commit";
          real = context.TransactionCommit();
          expected = model.Commit(c);
        } else if (op < 9) {
          what = "rollback";
          real = context.TransactionRollback();
          expected = model.Rollback(c);
        } else {
          if (!model.C[c].Active) continue;
          const int t = pick(kTables);
          const bool exclusive = pick(2) == 0;
          const bool conditional = pick(5) == 0;
          what = std::string(exclusive ? "exclusive" : "shared") + (conditional ? " conditional" : "") +
                 " request on " + std::to_string(t);
          const bool upgrade = exclusive && contexts[c]->stcTransaction()->stFindTableLink(*tables[t]) &&
                               !contexts[c]->stcTransaction()->stFindTableLink(*tables[t])->Exclusive();
          nxSetTimeout(10000, true);
          TLinkRequest request =
              BeginTableLink(*contexts[c]->stcTransaction(), *tables[t], exclusive, conditional);
          bool waiting = false;
          expected = model.Request(c, t, exclusive, conditional, waiting);
          real = request.Code;
          ASSERT_EQ(request.Waiting, waiting) << what << " step " << step << " schedule " << schedule;
          if (waiting) {
            blocked[c] = request.Link;
            ++blockedSeen;
          }
          if (expected == nxeDeadlock) ++deadlocks;
          if (upgrade && expected == 0) ++upgrades;
        }
      }
      const std::string where = "schedule " + std::to_string(schedule) + " step " + std::to_string(step) + " " +
                                what + " by " + std::to_string(c);
      ASSERT_EQ(real, expected) << where;
      Compare(where);
      if (::testing::Test::HasFatalFailure()) return;
    }
    // Everything ends: the tables are free again.
    for (int c = 0; c < kContexts; ++c) {
      if (model.C[c].Blocked >= 0) {
        FinishTableLink(blocked[c]);
        blocked[c] = nullptr;
        model.Finish(c);
      }
    }
    for (int c = 0; c < kContexts; ++c)
      while (contexts[c]->stcTransaction()) {
        ASSERT_EQ(contexts[c]->TransactionRollback(), 0u);
        model.Rollback(c);
      }
    Compare("schedule " + std::to_string(schedule) + " end");
    for (auto* table : tables) ASSERT_FALSE(table->srtHasTransLinks());
  }
  // The schedules reached what they are for.
  EXPECT_GT(blockedSeen, 0);
  EXPECT_GT(deadlocks, 0);
  EXPECT_GT(upgrades, 0);
  EXPECT_GT(timeouts, 0);
  EXPECT_GT(sameSession, 0);
  EXPECT_GT(hook.Waits, 0);
  EXPECT_EQ(hook.LastTimeout, 10000u);
}

}  // namespace
}  // namespace revurov::testing
