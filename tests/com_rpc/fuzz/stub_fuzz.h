// The stub decoder's fuzz entry (stub_fuzz.cpp), shared by the libFuzzer
// program and the GoogleTest that runs it over a corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/com/com.h"

namespace krsoap::test::fuzz {

// Decodes `data` as one frame (header + body) and, when the header is well
// formed, hands the body to the interpreted stub of the interface it names
// (the probe module's interfaces, over objects of this process): S_OK with a
// reply, or the HRESULT the frame or the stub refused it with.
HRESULT RunFrame(const uint8_t* data, size_t size);

// Frames of well-formed calls of every probe method (made by real proxies
// writing into a recording channel): the seed corpus.
std::vector<std::vector<uint8_t>> SeedFrames();

}  // namespace krsoap::test::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
