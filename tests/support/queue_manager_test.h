// A test fixture with a fresh embedded queue manager of its own in the
// test's throwaway data root, deleted again afterwards, and its queues
// defined and removed through the store.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "common/queue/krqueue.h"
#include "platform/queue/qm_directory.h"
#include "platform/queue/store.h"
#include "tests/xml/toolkit_test_util.h"

namespace krsoap::test {

class QueueManagerTest : public ToolkitTest {
 protected:
  // Creates the queue manager PREFIX.<pid>.<n>: a name of its own per test,
  // since the process keeps the queue managers it opened in its pool and a
  // deleted one must not be met again under its name.
  void MakeQueueManager(const std::string& prefix) {
    static int counter = 0;
    qm_ = prefix + "." + std::to_string(::getpid()) + "." + std::to_string(++counter);
    ASSERT_EQ(KRRC_NONE, queue::CreateQm(qm_, "sqlite", true));
  }
  void TearDown() override {
    if (!qm_.empty()) queue::DeleteQm(qm_);
    ToolkitTest::TearDown();
  }

  void Define(const std::string& name) {
    std::unique_ptr<queue::Store> s;
    ASSERT_NO_FATAL_FAILURE(OpenStore(&s));
    queue::QueueAttributes a;
    a.name = name;
    ASSERT_EQ(KRRC_NONE, s->DefineQueue(a, false));
  }
  void Undefine(const std::string& name) {
    std::unique_ptr<queue::Store> s;
    ASSERT_NO_FATAL_FAILURE(OpenStore(&s));
    ASSERT_EQ(KRRC_NONE, s->DeleteQueue(name));
  }

  std::string qm_;

 private:
  void OpenStore(std::unique_ptr<queue::Store>* s) {
    queue::QmDefinition d;
    ASSERT_EQ(KRRC_NONE, queue::ResolveQm(qm_, &d));
    ASSERT_EQ(KRRC_NONE, queue::OpenStore(d, false, s));
  }
};

}  // namespace krsoap::test
