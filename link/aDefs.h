#pragma once
// Fixed definitions of the product line.

// Display name of a module model number; "Unknown" for numbers without a name. Never null.
const char* aDefs_GetModelName(int model);
