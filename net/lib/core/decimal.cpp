// The saturating decimal reader shared by the library's setting and
// address readers (and the chat).
#include <limits.h>
#include <stdlib.h>

#include "decimal.h"

int __netlane_internal__read_decimal(const char *text)
{
  // strtol itself stops at LONG_MIN or LONG_MAX, which may be wider than int.
  long value = strtol(text, NULL, 10);
  if (value > INT_MAX)
    return INT_MAX;
  if (value < INT_MIN)
    return INT_MIN;
  return (int)value;
}

int __netlane_internal__read_yes(const char *value)
{
  return (__netlane_internal__read_decimal(value) != 0 || value[0] == 'y') ? 1 : 0;
}
