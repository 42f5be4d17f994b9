#pragma once
#include <QString>

// The number that a text begins with. Blanks, tabs and line feeds anywhere in
// the text are ignored; then an optional sign, digits, a decimal point with
// digits and an exponent are read, or a &H (hex) / &O (octal) number. Reading
// stops at the first character that cannot continue the number; a text that
// begins with no number gives 0. Never fails.
double LeadingNumber(const QString &text);

// The whole text read as one number (blanks around it allowed), rounded to the
// nearest whole number with halves to the even neighbour, as a signed 32-bit
// integer. Any other text, or a value out of range, raises a Failure.
qint32 WholeNumber(const QString &text);

// Rounds halves to the even neighbour; raises a Failure outside 32 bits.
qint32 RoundToInt32(double value);

// A number in its shortest form: 0, 70000, -5, 0.5, 1E+20.
QString ShortestNumber(double value);
