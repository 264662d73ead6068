/* Readers of the configuration file, used by each driver's load_config. */
#ifndef NETLANE_CONFIG_H
#define NETLANE_CONFIG_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 0: found, fp is on the line after "[section]"; 1: not found. */
int __netlane_internal__seek_section(FILE *fp, const char *section);
/* 0: *option and *value point at the next setting (valid until the next
 * call); 1: no further setting in this section. */
int __netlane_internal__get_setting(FILE *fp, char **option, char **value);

#ifdef __cplusplus
}
#endif

#endif
