// Prints the cost of the Win32 stand-ins on the hot paths the server and
// client use: event signalling between threads, zero-time-out waits,
// critical sections, message-sized global memory blocks and text
// conversion of a 4 kB message.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/memory/global_memory.h"
#include "platform/sync/critical_section.h"
#include "platform/sync/event.h"
#include "platform/sync/thread.h"
#include "platform/text/convert.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename Fn>
double NanosPerCall(long iterations, Fn&& fn) {
  auto start = Clock::now();
  for (long i = 0; i < iterations; ++i) fn(i);
  std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
  return elapsed.count() / double(iterations);
}

volatile DWORD g_sink;

}  // namespace

int main() {
  std::printf("win32 stand-ins (ns per operation)\n");

  std::printf("  GetCurrentThreadId            %8.1f\n",
              NanosPerCall(10000000, [](long) { g_sink = GetCurrentThreadId(); }));

  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::printf("  WaitForSingleObject(0), unset %8.1f\n",
              NanosPerCall(2000000, [&](long) { g_sink = WaitForSingleObject(e, 0); }));
  std::printf("  SetEvent + ResetEvent         %8.1f\n", NanosPerCall(2000000, [&](long) {
                SetEvent(e);
                ResetEvent(e);
              }));
  HANDLE pair[2] = {e, CreateEventW(nullptr, TRUE, TRUE, nullptr)};
  std::printf("  WaitForMultipleObjects(2, 0)  %8.1f\n",
              NanosPerCall(2000000, [&](long) { g_sink = WaitForMultipleObjects(2, pair, FALSE, 0); }));

  // Round trip: set an auto-reset event, the partner wakes and answers.
  HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  constexpr long kRounds = 100000;
  std::thread partner([&] {
    for (long i = 0; i < kRounds; ++i) {
      WaitForSingleObject(ping, INFINITE);
      SetEvent(pong);
    }
  });
  double round_trip = NanosPerCall(kRounds, [&](long) {
    SetEvent(ping);
    WaitForSingleObject(pong, INFINITE);
  });
  partner.join();
  std::printf("  event round trip, 2 threads   %8.1f\n", round_trip);

  krsoap::platform::CriticalSection cs;
  std::printf("  Enter + Leave critical section%8.1f\n", NanosPerCall(10000000, [&](long) {
                cs.Enter();
                cs.Leave();
              }));

  // The memory stream's life of one 4 kB message: allocate, grow by
  // appends of 512 bytes, read it through a lock, free.
  std::printf("  4 kB message block (8 appends)%8.1f\n", NanosPerCall(200000, [](long) {
                HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 513);
                for (int k = 1; k < 8; ++k) GlobalReAlloc(h, 513 + 512 * k, GMEM_ZEROINIT);
                void* p = GlobalLock(h);
                g_sink = static_cast<unsigned char*>(p)[0];
                GlobalUnlock(h);
                GlobalFree(h);
              }));

  std::string message;
  while (message.size() < 4096) message += "<SOAP-ENV:Body>caf\xC3\xA9 \xE2\x82\xAC</SOAP-ENV:Body>";
  message.resize(4096);
  std::u16string wide = krsoap::platform::Utf8ToUtf16(message);
  std::printf("  4 kB UTF-8 -> UTF-16          %8.1f\n", NanosPerCall(100000, [&](long) {
                g_sink = DWORD(krsoap::platform::Utf8ToUtf16(message).size());
              }));
  std::printf("  4 kB UTF-16 -> UTF-8          %8.1f\n", NanosPerCall(100000, [&](long) {
                g_sink = DWORD(krsoap::platform::Utf16ToUtf8(wide).size());
              }));

  CloseHandle(e);
  CloseHandle(pair[1]);
  CloseHandle(ping);
  CloseHandle(pong);
  return 0;
}
