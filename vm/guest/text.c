/* Line escaping for the guest's one-line protocol (see text.h). */
#include "text.h"

#include <stdio.h>
#include <string.h>

size_t text_escape(char *dst, size_t cap, const char *src, size_t n)
{
	size_t out = 0;

	if (cap == 0)
		return 0;
	for (size_t i = 0; i < n; i++) {
		unsigned char c = (unsigned char)src[i];
		char piece[5];
		size_t len;

		if (c == '\\')
			len = (size_t)snprintf(piece, sizeof(piece), "\\\\");
		else if (c == '\n')
			len = (size_t)snprintf(piece, sizeof(piece), "\\n");
		else if (c == '\t')
			len = (size_t)snprintf(piece, sizeof(piece), "\\t");
		else if (c < 0x20 || c >= 0x7f)
			len = (size_t)snprintf(piece, sizeof(piece), "\\x%02x", c);
		else
			len = (size_t)snprintf(piece, sizeof(piece), "%c", c);
		if (out + len >= cap)
			break;
		memcpy(dst + out, piece, len);
		out += len;
	}
	dst[out] = '\0';
	return out;
}

static int hex_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

size_t text_unescape(char *s)
{
	size_t in = 0, out = 0;

	while (s[in] != '\0') {
		if (s[in] == '\\' && s[in + 1] == '\\') {
			s[out++] = '\\';
			in += 2;
		} else if (s[in] == '\\' && s[in + 1] == 'n') {
			s[out++] = '\n';
			in += 2;
		} else if (s[in] == '\\' && s[in + 1] == 't') {
			s[out++] = '\t';
			in += 2;
		} else if (s[in] == '\\' && s[in + 1] == 'x' && hex_digit(s[in + 2]) >= 0 &&
			   hex_digit(s[in + 3]) >= 0) {
			s[out++] = (char)(hex_digit(s[in + 2]) * 16 + hex_digit(s[in + 3]));
			in += 4;
		} else {
			s[out++] = s[in++];
		}
	}
	s[out] = '\0';
	return out;
}
