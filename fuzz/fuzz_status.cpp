// SPDX-License-Identifier: BSD-2-Clause
// Fuzzes the picking of a labelled value out of the status tool's output.
//
// Input: the tool's output; when it holds a NUL byte, the text behind the
// first NUL is the label looked for, else "Product Name".
#include <string>

#include "fuzz_common.h"
#include "platform/status_tool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* bytes = reinterpret_cast<const char*>(data);
    const char* nul = static_cast<const char*>(std::memchr(bytes, '\0', size));
    // Own copies, NUL-terminated: the fuzzer's buffer has no terminator.
    const std::string output(bytes, nul ? static_cast<size_t>(nul - bytes) : size);
    const std::string key = nul ? std::string(nul + 1, bytes + size).substr(0, 64) : std::string("Product Name");
    const char* value = status_value(output.c_str(), key.c_str());
    if (!value)
        std::abort();
    const size_t len = std::strlen(value);
    // "N/A" or a value of 1 to 127 characters taken from the output.
    if (std::strcmp(value, "N/A") != 0 && (len == 0 || len > 127 || output.find(value) == std::string::npos))
        std::abort();
    return 0;
}
