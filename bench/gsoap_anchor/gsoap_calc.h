// The gSOAP anchor of the end-to-end benchmarks: a gSOAP-generated
// Calculator Add served over HTTP keep-alive, and a gSOAP-generated client
// calling it, so that the benchmarks measure krsoap beside a well-known C
// SOAP stack in the same run. Built only when Debian's gsoap is installed
// (gsoap_anchor.cmake defines KRSOAP_BENCH_GSOAP then); never part of a
// product module. Plain declarations, so that the benchmarks need none of
// gSOAP's headers.
#pragma once

#include <sys/types.h>

namespace krsoap::bench::gsoap {

// Forks a process that serves Add on 127.0.0.1 at a free port, one thread per
// connection, connections kept alive. Returns its pid and sets `*port`, or
// returns -1 when it did not start. Stop it with SIGTERM.
pid_t StartServer(int* port);

// One client: one keep-alive connection to the server at `port`.
struct Client;
Client* NewClient(int port);
// One Add call; true when it answered with a result, set in `*result`.
bool Add(Client* client, double a, double b, double* result);
void FreeClient(Client* client);

}  // namespace krsoap::bench::gsoap
