/*
 * The portability layer: rep_* replacements for system library functions,
 * global functions of the program.  Plain C signatures; strings are byte
 * strings ended by a zero byte, and a destination size always counts the
 * whole buffer, terminator included.
 */
#ifndef KOV_PORTABILITY_H
#define KOV_PORTABILITY_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The string and error-text replacements are declared below this line. */

/* The terminal password prompt is declared below this line. */

#ifdef __cplusplus
}
#endif

#endif /* KOV_PORTABILITY_H */
