#include <cstddef>
#include <cstdint>

#include "tests/fuzz/fuzz_props.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    props_json(data, size, &props_json_product);
    return 0;
}
