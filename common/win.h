#pragma once
// The one way into the Windows headers, so every file sees the same macros.
#include <winsock2.h>
#include <windows.h>
