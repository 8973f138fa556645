#include "engine/abstract_task_info.h"

#include <gtest/gtest.h>

#include <vector>

#include "lowlevel/startup.h"
#include "support/engine_fixture.h"
#include "support/fake_engine_clock.h"
#include "support/memory_engine.h"

namespace revurov::testing {
namespace {

class TaskInfoTest : public ::testing::Test {
protected:
  // Task infos left at the end keep the engine's clean-up pausing on it.
  TFakeEngineClock clock;
  TnxLowLevelStartupGuard library;
  ComponentPtr<MemoryEngine> engine{new MemoryEngine(nullptr)};
  MemorySession* session = engine->OpenMemory();
};

TEST_F(TaskInfoTest, FreeingCancelsOnceAndLeavesTheListWhole) {
  // Which of three to free: head, middle, tail.
  for (int victim = 0; victim < 3; ++victim) {
    int cancels[3] = {};
    std::vector<TnxAbstractTaskInfo*> infos;
    for (int& c : cancels) infos.push_back(session->AddTaskInfo(&c));
    EXPECT_EQ(session->TaskInfos(), infos);
    infos[size_t(victim)]->Free();
    EXPECT_EQ(cancels[victim], 1);
    infos.erase(infos.begin() + victim);
    EXPECT_EQ(session->TaskInfos(), infos);
    EXPECT_EQ(infos[0]->SessionPrev(), nullptr);
    EXPECT_EQ(infos[0]->SessionNext(), infos[1]);
    EXPECT_EQ(infos[1]->SessionPrev(), infos[0]);
    EXPECT_EQ(infos[1]->SessionNext(), nullptr);
    for (TnxAbstractTaskInfo* info : infos) info->Free();
    EXPECT_TRUE(session->TaskInfos().empty());
  }
}

TEST_F(TaskInfoTest, OnlyElementLeavesAnEmptyList) {
  int cancels = 0;
  TnxAbstractTaskInfo* info = session->AddTaskInfo(&cancels);
  EXPECT_EQ(info->Session(), session);
  info->Free();
  EXPECT_EQ(cancels, 1);
  EXPECT_TRUE(session->TaskInfos().empty());
  // A new one starts the list again.
  TnxAbstractTaskInfo* next = session->AddTaskInfo();
  EXPECT_EQ(session->TaskInfos(), std::vector<TnxAbstractTaskInfo*>{next});
}

TEST_F(TaskInfoTest, TaskInfoPathAnswersItsOwnInterface) {
  TnxAbstractTaskInfo* info = session->AddTaskInfo();
  void* got = nullptr;
  EXPECT_EQ(info->CreateInstanceFor(u"<TaskInfo>.<Self>", nxServerObjectClassID, nullptr,
                                    InxAbstractServerObject41100::IID, &got),
            0);
  EXPECT_EQ(got, static_cast<InxAbstractServerObject41100*>(info));
  got = nullptr;
  EXPECT_EQ(info->CreateInstanceFor(u"<TaskInfo>.<Self>", platform::TGUID{}, nullptr,
                                    InxAbstractServerObject41100::IID, &got),
            platform::E_NOINTERFACE);
}

}  // namespace
}  // namespace revurov::testing
