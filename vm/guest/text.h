/* Line escaping shared by the guest agent and the board check: a reply or a
 * request is one line; inside it '\\' is "\\\\", a newline "\\n", a tab "\\t"
 * and any other byte below 0x20 or from 0x7f on "\\xHH". */
#ifndef LUMO_VM_TEXT_H
#define LUMO_VM_TEXT_H

#include <stddef.h>

/* Escapes n bytes of src into dst (capacity cap, always NUL-terminated when
 * cap > 0). Returns the length written; stops early rather than overflow. */
size_t text_escape(char *dst, size_t cap, const char *src, size_t n);

/* Decodes the escapes of src in place; returns the decoded length (the bytes
 * may contain NUL). Unknown or cut escapes are kept as they stand. */
size_t text_unescape(char *s);

#endif
