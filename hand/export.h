#pragma once

// Everything in the library is hidden unless marked here: the classes that an
// application uses are exported, the codecs and helpers behind them are not.
#define DEXHAND_EXPORT __attribute__((visibility("default")))
