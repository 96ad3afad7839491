#include <cstddef>
#include <cstdint>

#include "tests/fuzz/fuzz_props.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    props_hotkey(data, size, &props_hotkey_product);
    return 0;
}
