// Decimal numbers read from settings, registry values and folder names, the
// way atoi and "%d" read them but without their overflow: a number beyond
// the int range stops at the range's end.
#pragma once

// Reads leading blanks, an optional sign and at least one digit; advances
// `p` past them. False, with `p` and `out` untouched, when there is no number.
bool ReadSaturatedInt(const char*& p, int& out);

// atoi without the overflow: 0 when the text holds no leading number.
int SaturatedAtoi(const char* text);
