// Placeholder for the key-file inspection until the real one is merged:
// the file's own modes only.
#include "key_file.h"

#include <stdio.h>

unsigned inspect_key_file(int fd, const char *, const char *, unsigned describe, key_file_report *report)
{
    report->weaknesses = 0;
    report->reasons[0] = '\0';
    struct stat st;
    if (fstat(fd, &st) != 0)
        return 0;
    size_t used = 0;
    auto note = [&](unsigned weakness, const char *text) {
        report->weaknesses |= weakness;
        if ((describe & weakness) && used < sizeof report->reasons)
            used += size_t(snprintf(report->reasons + used, sizeof report->reasons - used, "%s%s",
                                    used ? "; " : "", text));
    };
    if (st.st_mode & S_IWOTH)
        note(KEY_WRITABLE_BY_OTHERS, "writable by others");
    if (st.st_mode & S_IWGRP)
        note(KEY_WRITABLE_BY_GROUP, "writable by the group");
    if (S_ISREG(st.st_mode) && (st.st_mode & S_IROTH))
        note(KEY_READABLE_BY_OTHERS, "readable by others");
    return report->weaknesses;
}
