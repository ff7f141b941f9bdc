#pragma once

/// @file
/// Everything of the typed API: `#include <tessaro_dexhand/tessaro_dexhand.h>`.

#include "tessaro_dexhand/client.h"
#include "tessaro_dexhand/kinds.h"
#include "tessaro_dexhand/log.h"
#include "tessaro_dexhand/status.h"
