#pragma once

/// @file
/// Marks what the shared library exports.

/// Exports a function or class of the typed API from the shared library.
#define TESSARO_DEXHAND_API __attribute__((visibility("default")))
