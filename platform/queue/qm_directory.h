// Which queue managers this machine knows, and where each keeps its store.
//
// Definitions live in the registry so that every process resolves a name the
// same way:
//   HKLM\SOFTWARE\Orvane\KRSoap\QueueManagers              value "Default" = name
//   HKLM\SOFTWARE\Orvane\KRSoap\QueueManagers\<name>       value "Store"   = "sqlite"
//                                                           or a PostgreSQL
//                                                           connection string
//                                                           value "Name" = name
// Registry keys compare case-insensitively, so two queue manager names that
// differ only in case are the same queue manager; "Name" keeps its spelling.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/queue/store.h"

namespace krsoap::queue {

struct QmDefinition {
  std::string name;
  std::string store;  // "sqlite" or a connection string
  bool is_default = false;
};

inline constexpr const char* kModelQueueName = "SYSTEM.DEFAULT.MODEL.QUEUE";

// Checks a queue or queue manager name: 1..48 bytes of A-Z a-z 0-9 . _ %
// (queue names also '/'); a queue manager name of dots alone is refused too
// (it names a directory). Returns 0, KRRC_NAME_TOO_LONG or KRRC_NAME_NOT_VALID.
int32_t CheckQueueName(std::string_view name);
int32_t CheckQmName(std::string_view name);

// A fixed-width character field as a name: up to the first zero byte, trailing
// blanks removed.
std::string FieldToName(const char* field, size_t width);
// Writes a name into a fixed-width field, zero-padded.
void NameToField(const std::string& name, char* field, size_t width);

// Message and correlation ids as text, as administrators see and type them:
// two upper-case hexadecimal digits a byte.
std::string IdToHex(const unsigned char* id, size_t n);
// Reads such text (either case) into a width-byte id, zero-padded at the end.
// False, leaving `out` undefined, unless it is an even number of hexadecimal
// digits for at most `width` bytes.
bool HexToId(const std::string& text, unsigned char* out, size_t width);

// True when the store value names PostgreSQL.
bool IsPgStore(const std::string& store);

// Finds a queue manager by name; the empty name is the default one.
// KRRC_UNKNOWN_Q_MGR when there is none.
int32_t ResolveQm(const std::string& name, QmDefinition* out);
int32_t ListQms(std::vector<QmDefinition>* out);
// Creates the definition and the store (embedded: its directory and model
// queue; PostgreSQL: its schema rows). KRRC_OBJECT_ALREADY_EXISTS if defined.
int32_t CreateQm(const std::string& name, const std::string& store, bool make_default);
// Makes a defined queue manager the default one.
int32_t SetDefaultQm(const std::string& name);
// Removes the definition and the store with its messages.
int32_t DeleteQm(const std::string& name);
// Opens the store of a defined queue manager.
int32_t OpenStore(const QmDefinition& def, bool create, std::unique_ptr<Store>* out);

}  // namespace krsoap::queue
