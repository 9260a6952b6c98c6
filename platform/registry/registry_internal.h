// Pieces of the registry shared between the Win32 calls (registry.cpp) and
// the administrative helpers the krsoap tool uses (registry_admin.cpp):
// the current store with its read cache, key path parsing, and the key
// behind a handle.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/registry/registry_store.h"

namespace krsoap::platform {

struct StoreRef;  // a store and the read cache in front of it

// The store of the current data root; a new one when KRSOAP_HOME changed.
std::shared_ptr<StoreRef> CurrentStoreRef();

// Splits "A\B\C" into names. A leading backslash or an empty component is
// ERROR_BAD_PATHNAME; one trailing backslash is accepted; a component over
// kMaxKeyNameChars or more than kMaxKeyDepth components is
// ERROR_INVALID_PARAMETER.
LONG ParseKeyPath(std::u16string_view path, std::vector<RegName>* out);

// The store and key id behind a handle (predefined or open).
LONG ResolveHandle(HKEY key, std::shared_ptr<RegistryStore>* store, RegKeyId* id);

}  // namespace krsoap::platform
