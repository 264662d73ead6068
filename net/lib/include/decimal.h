/* The one reader of decimal numbers in texts from outside (settings, port
 * parts of addresses, the chat's number packets), and the yes/no reader
 * built on it. */
#ifndef NETLANE_DECIMAL_H
#define NETLANE_DECIMAL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Reads `text` like atoi (leading blanks, a sign, digits up to the first
 * non-digit; none gives 0), but a number beyond int gives INT_MAX or
 * INT_MIN instead of atoi's undefined result. */
int __netlane_internal__read_decimal(const char *text);

/* 1 for a value that reads as a nonzero number or begins with a lowercase
 * "y" ("yes"), else 0: the drivers' "disable" keys. */
int __netlane_internal__read_yes(const char *value);

#ifdef __cplusplus
}
#endif

#endif
