/* Readers of setting values, shared by the drivers' load_config routines. */
#ifndef NETLANE_VALUES_H
#define NETLANE_VALUES_H

#ifdef __cplusplus
extern "C" {
#endif

/* A decimal integer read like atoi (leading blanks, a sign, the digits up to
 * the first other character; 0 for none), held at INT_MIN..INT_MAX instead
 * of overflowing. */
int __netlane_internal__read_int(const char *value);

/* 1 for a value that reads as a nonzero integer or begins with a lowercase
 * "y" ("yes"), else 0: the "disable" keys. */
int __netlane_internal__read_yes(const char *value);

#ifdef __cplusplus
}
#endif

#endif
