// The stores the queue conformance suite runs against, and helpers the suite
// shares: starting processes and reading what they print.
#pragma once

#include <sys/types.h>

#include <ostream>
#include <string>
#include <vector>

namespace krsoap::test {

// One store the suite runs against: `store` is the value a queue manager's
// definition carries ("sqlite", or a PostgreSQL connection string).
struct StoreParam {
  std::string name;   // for test names: "sqlite", "postgresql"
  std::string store;  // empty: no server named
};

// Names the store in test output instead of dumping the object's bytes.
inline void PrintTo(const StoreParam& param, std::ostream* os) { *os << param.name; }

// "sqlite", and "postgresql" with the connection string KRSOAP_TEST_PG holds.
// Both always, so that the list of tests does not depend on the environment
// of whoever lists them (CTest lists them when the tree is built); without
// the variable the PostgreSQL cases skip themselves when they run.
std::vector<StoreParam> QueueStores();

// The reason a PostgreSQL case gives when it skips.
inline constexpr char kNoPgServer[] = "KRSOAP_TEST_PG not set: no PostgreSQL server to test against";

// A started child process with its standard input and output on pipes.
struct Child {
  pid_t pid = -1;
  int in = -1;   // write end of its stdin
  int out = -1;  // read end of its stdout
};

Child StartChild(const std::vector<std::string>& argv);
// Reads one line (without the newline) from the child's stdout; false at EOF.
bool ReadLine(Child& c, std::string* line);
// Reads everything until EOF.
std::string ReadAll(Child& c);
// Closes the pipes and waits; returns the exit status (or 128 + signal).
int Finish(Child& c);
// Runs a program to its end; returns the exit status and what it printed.
int RunProgram(const std::vector<std::string>& argv, std::string* out = nullptr, const std::string& input = "");

}  // namespace krsoap::test
