#pragma once
// The program's number format: the decimal separator its number texts use.
// It follows the user's regional settings (LC_NUMERIC as the program chose
// it with setlocale) until the program sets one of its own, which then
// holds for the whole program, whatever the locale. Any thread.

/// The decimal separator: the program's own once set, else the one of the
/// current LC_NUMERIC when that is a single ASCII character, else '.'.
char DecimalSeparator();

/// Sets the program's decimal separator; '\0' goes back to the regional one.
void SetDecimalSeparator(char value);
