// Readers of setting values, shared by the drivers' configuration readers.
#include <climits>
#include <cstdlib>

#include "values.h"

int __netlane_internal__read_int(const char *value)
{
  long v = strtol(value, NULL, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

int __netlane_internal__read_yes(const char *value)
{
  return (__netlane_internal__read_int(value) != 0 || value[0] == 'y') ? 1 : 0;
}
