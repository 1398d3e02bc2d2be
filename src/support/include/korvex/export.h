/* Marks what a korvex library hands to the programs and libraries linked
 * against it. Every library is built with hidden visibility: whatever is
 * not marked stays its own. */
#ifndef KORVEX_EXPORT_H
#define KORVEX_EXPORT_H

#if defined(__GNUC__)
#define KX_EXPORT __attribute__((visibility("default")))
#else
#define KX_EXPORT
#endif

#endif
