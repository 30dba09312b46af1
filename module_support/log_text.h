// The text of a log line as the system's logger would keep it, shared by the
// modules' logger and any other sink of their messages.
#ifndef VESNAR_LOG_TEXT_H
#define VESNAR_LOG_TEXT_H

#include <stddef.h>
#include <string.h>

inline bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

// Control characters become "#" and three octal digits, as the system's
// logger writes them, so that a line feed or a terminal escape in a reply of
// the daemon's can neither start a line of its own nor rewrite a screen. One
// line end at the very end is dropped, as the loggers drop it. The text is
// escaped in place, in room bytes, and cut before an escape that would not
// fit; returns its new length.
inline size_t escape_controls(char *text, size_t room)
{
    size_t length = strlen(text);
    if (length > 0 && text[length - 1] == '\n')
        length--;
    size_t escaped = 0, kept = 0;
    for (; kept < length; kept++) {
        size_t size = is_control(text[kept]) ? 4 : 1;
        if (escaped + size >= room)
            break;
        escaped += size;
    }
    text[escaped] = '\0';
    for (size_t from = kept, to = escaped; from-- > 0;) {
        unsigned char c = static_cast<unsigned char>(text[from]);
        if (!is_control(char(c))) {
            text[--to] = char(c);
            continue;
        }
        to -= 4;
        text[to] = '#';
        text[to + 1] = char('0' + (c >> 6));
        text[to + 2] = char('0' + ((c >> 3) & 7));
        text[to + 3] = char('0' + (c & 7));
    }
    return escaped;
}

#endif
