// pg_wake.h - the wake board: how the PostgreSQL store's waiting gets on one
// machine learn that a put may have given them a message.
//
// PostgreSQL signals every listening session of a database on every NOTIFY,
// whatever its channel. With one listening connection per waiting getter,
// each put would wake every getter's server process, and with a few dozen
// processes that costs more than the puts and gets themselves. So on each
// machine one connection listens for the whole board (the relay), and the
// waiters sleep on futex words in a file that every process of the machine
// using the same data root and connection string maps:
//
//  * A word per queue (by its id, modulo the board's size) counts wake-ups. A
//    getter reads its word before it looks at the queue and, finding nothing,
//    sleeps until the word moves. Whatever commits after the look started
//    moves the word after the look read it, so no put is missed.
//  * A put made through this board moves the word itself right after its
//    commit and tags its NOTIFY with the board's tag; the relay skips
//    notifications with its own tag and moves the word for every other (puts
//    from other machines or boards, and the server-side functions'
//    wake-ups). Listeners register with their tag, and a put leaves its
//    NOTIFY out while every listener has its own (ListenSql, pg_conn.h).
//  * Every process that waits runs a relay thread. The one that holds the
//    file's lock (an open-file-description lock, freed when its process ends
//    however it ends) listens; the others wait for the lock. A relay that
//    starts listening, or loses its connection, moves every word, so a
//    getter that slept through a time without a relay looks again.
//  * Beside each word, the word's value at which a look last found the
//    queue empty: a getter that comes to a queue no put has moved since
//    sleeps at once, and so does one handed the queue's waiter lock after
//    the getter before it took the last message.
//  * Beside each word, a waiter lock: of the plain getters of one queue
//    that must wait, only the lock's holder sleeps on the word, so that a
//    put sets one process looking rather than all of them. The holder lets
//    it go when its get ends, with a message or without. The lock is only a
//    saving: a getter that finds it held for another queue sharing the word,
//    or its holder's thread gone, waits without it (two sleepers cost a look
//    more, nothing else). A process frees the locks its threads hold when it
//    exits; those of a process killed outright are taken over.
//  * While no relay listens (the first moments of the first process, or the
//    server unreachable), Relaying() says so and the getter listens on its
//    own connection as before the board existed.
//  * Hand-off: a destructive getter outside any unit that is about to
//    sleep offers a slot with what it waits for (the queue, a message or
//    correlation id, its buffer's length). A put of a non-persistent message
//    outside any unit that finds such a slot claims it, and its statement
//    then inserts nothing if the queue holds no message that getter could
//    take instead: the message goes through the slot and never touches the
//    database, which saves the put's insert, the get's statement and the
//    vacuuming of the row. Otherwise the statement inserts as any put's and
//    the slot goes back to waiting. A getter that dies before it took the
//    message it was handed leaves it in its slot, and the relay puts it
//    into the queue. Persistent messages are always written: a persistent
//    put that returned must survive the machine.
//
// The board owns its mapping, its file descriptor and its relay thread, for
// the life of the process; a forked child makes its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

typedef struct pg_conn PGconn;

namespace krsoap::queue::pg {

class PgWakeBoard {
 public:
  using Clock = std::chrono::steady_clock;

  // The board of a connection string in this process's data root, made on
  // first use; null when its file cannot be made or mapped (the store then
  // listens on its own connections).
  static PgWakeBoard* For(const std::string& conninfo);

  // Whether a relay listens now. Starts this process's relay thread on the
  // first call, and waits for the first relay of the board to listen until
  // `deadline` (at most a second).
  bool Relaying(Clock::time_point deadline);
  // The queue's word, to be read before a look.
  uint32_t Read(int64_t queue_id) const;
  // Sleeps until the queue's word is no longer `seen` (true), or until
  // `until` (false).
  bool Wait(int64_t queue_id, uint32_t seen, Clock::time_point until);
  // Moves the queue's word and wakes its sleepers (a put through this board
  // committed).
  void Wake(int64_t queue_id);
  // A look at the queue that read `seen` before it started found it empty
  // (as a get's statement tells). Until the word moves, every getter of the
  // machine may wait without looking first.
  void NoteEmpty(int64_t queue_id, uint32_t seen);
  // Whether the queue is known empty so; *seen is then the word to wait on.
  bool KnownEmpty(int64_t queue_id, uint32_t* seen) const;
  // The queue's waiter lock (above). kTaken: this thread holds it until
  // UnlockWaiter; kOtherQueue: a getter of another queue sharing the word
  // holds it, so the caller waits without; kTimedOut: held by a getter of
  // this queue until `deadline`.
  enum class WaiterLock { kTaken, kOtherQueue, kTimedOut };
  WaiterLock LockWaiter(int64_t queue_id, Clock::time_point deadline);
  void UnlockWaiter(int64_t queue_id);
  // Tells the relays which notifications this board has seen to already.
  const std::string& tag() const { return tag_; }

  // ---- Hand-off (above) ----
  // The longest body and descriptor a slot carries.
  static constexpr size_t kHandOffBody = 16384;
  static constexpr size_t kHandOffMd = 512;
  // What a getter waits for: the queue, and the ids it selects by (null:
  // any).
  struct HandOffWish {
    int64_t queue_id = 0;
    const uint8_t* msg_id = nullptr;     // 24 bytes
    const uint8_t* correl_id = nullptr;  // 24 bytes
    int32_t max_length = 0;              // the getter's buffer
  };
  // A slot as offered or claimed (slot -1: none).
  struct Slot {
    int slot = -1;
    uint32_t state = 0;  // its word then
  };
  // A getter's slot, offered before it sleeps. The offer lasts until
  // Withdraw, which the getter must call before it looks at the queue again
  // or returns.
  Slot OfferHandOff(const HandOffWish& wish);
  // Ends an offer. True when a message was handed: its descriptor (md_size
  // bytes), its body (*length bytes, at most the wish's max_length) and its
  // expiry deadline in wall-clock ms (0: none) are then copied out. Waits
  // for a putter that claimed the slot to fill it or let it go, until the
  // get's `deadline`.
  bool Withdraw(const Slot& offer, Clock::time_point deadline, void* md, size_t md_size, void* body,
                int32_t* length, int64_t* expiry_ms);
  // A putter's claim on a slot whose getter takes this message, before its
  // statement (slot -1: no getter of this machine waits for it).
  // *by_msg_id and *by_correl_id say what the getter selects by (the
  // statement must find no other message it could take).
  Slot ClaimHandOff(int64_t queue_id, const uint8_t* msg_id, const uint8_t* correl_id, size_t length,
                    bool* by_msg_id, bool* by_correl_id);
  // After the statement: hands the message over and wakes the getter (false
  // when the getter gave the slot up, taking this putter for dead: the
  // message must then be put as any other). `seen`: the queue's word read
  // before the statement; `empty`: the statement found nothing else a get
  // could take, which the board then records as NoteEmpty would, unless
  // the word moved since `seen`...
  bool Fill(const Slot& claim, int64_t queue_id, uint32_t seen, bool empty, const void* md, size_t md_size,
            const void* body, size_t length, int64_t expiry_ms);
  // ...or gives the slot back to its getter, still waiting.
  void Unclaim(const Slot& claim);
  // Slots offered for a queue now, and messages handed over on this board
  // since its file was made (for tests).
  int Offered(int64_t queue_id) const;
  uint64_t HandedOver() const;

 private:
  struct Word;
  struct HandOff;
  struct Shared;
  PgWakeBoard(std::string conninfo, int fd, Shared* shared, std::string tag);
  // In a forked child: closes every board's descriptor (see pg_wake.cpp).
  static void CloseAfterFork();
  // At exit: frees the waiter locks this process's threads hold, so that
  // the next getters need not find out that their holder is gone.
  static void ReleaseWaiterLocksAtExit();
  Word& WordOf(int64_t queue_id) const;
  // Moves a word and wakes its sleepers.
  static void Move(Word& w);
  void WakeAll();
  void RelayLoop();
  // Frees the hand-off slots that getters which are gone left behind; false
  // when another getter did so less than a second ago.
  bool TakeBackSlots();
  // Puts into their queues the messages handed to getters that died before
  // they took them; false when the relay's connection failed.
  bool RescueHandOffs(PGconn* c);

  const std::string conninfo_;
  int fd_;  // -1 in a forked child
  Shared* shared_;
  const std::string tag_;
  std::once_flag relay_started_;
};

}  // namespace krsoap::queue::pg
