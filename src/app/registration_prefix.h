#pragma once

// Nationality prefixes offered in the registration prefix box. The order matters twice: item i of the
// box is entry i, and a stored registration takes the first entry it begins with. A few prefixes appear
// twice; they stay, so that the box's indices keep matching this table.
inline constexpr int NUM_REGISTRATION_PREFIXES = 193;
extern const char* const REGISTRATION_PREFIXES[];
