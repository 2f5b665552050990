// Moved: the Windows helpers are shared with the engine library.
#pragma once
#include <vorn/SystemMessage_windows.h>
