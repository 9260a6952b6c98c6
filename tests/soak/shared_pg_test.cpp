// One request queue served by two "krsoap serve" hosts, each in a data root
// of its own (two machines, as far as the product can tell) whose queue
// managers of the same name keep their queues in the one PostgreSQL
// database KRSOAP_TEST_PG names, both serving under units of work. One host
// is killed with SIGKILL halfway; the requests it held come back to the
// queue and the other host answers them. The run is krsoap_soak's phase 5
// (its checks: every request answered once, with its own result, none
// lost, none twice, the killed host held requests, nothing left queued);
// its figures are printed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/shell.h"
#include "tests/support/test_home.h"

TEST(SharedPgQueueManager, TheSurvivorAnswersWhatTheKilledHostHeld) {
  const char* pg = std::getenv("KRSOAP_TEST_PG");
  if (!pg || !*pg) GTEST_SKIP() << "KRSOAP_TEST_PG not set: no PostgreSQL server to test against";
  int status = -1;
  const std::string out =
      krsoap::test::Shell(krsoap::test::BinDir() + "/krsoap_soak --store '" + pg +
                              "' --phases 5 --unit-of-work --requests 2000 --requesters 8 --timeout 30 2>&1",
                          &status);
  std::printf("%s", out.c_str());
  EXPECT_EQ(0, status);
}
