// One transfer: clean the capture, make its previews, describe it to the service,
// PUT the files to the storage targets it hands out and fetch the share link.
#pragma once

#include <cstdint>

// The "ivra-upload" pool job; arg is the item id (cast from uintptr_t). Reports its
// outcome through upload_finish.
void upload_transfer(void* arg);
