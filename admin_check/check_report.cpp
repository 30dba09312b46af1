// The result lines, kept until the end and printed as text or as one JSON
// document written with the project's own JSON library.
#include "check.h"
#include "json.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr size_t DETAIL_SIZE = 2048;
constexpr const char *LEVEL_NAMES[] = {"ok", "warn", "fail"};

struct result_line {
    check_level level;
    char module[32];
    char check[160];
    char detail[DETAIL_SIZE];
};

result_line *lines = nullptr;
size_t line_count = 0, line_room = 0;
bool any_failed = false;

void copy_text(char *to, size_t size, const char *from)
{
    snprintf(to, size, "%s", from);
}

// Bytes below 0x20 and 0x7F as "#" and three octal digits, as the system's
// logger writes them: a daemon's reply or a file name cannot start a line
// of its own or drive the terminal.
void print_escaped(FILE *out, const char *text)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        if (*p < 0x20 || *p == 0x7F)
            fprintf(out, "#%03o", *p);
        else
            fputc(*p, out);
    }
}

void print_text(FILE *out)
{
    for (size_t i = 0; i < line_count; i++) {
        fprintf(out, "%s ", LEVEL_NAMES[lines[i].level]);
        print_escaped(out, lines[i].module);
        fputc(' ', out);
        print_escaped(out, lines[i].check);
        fputs(": ", out);
        print_escaped(out, lines[i].detail);
        fputc('\n', out);
    }
}

void print_json(FILE *out)
{
    json_node *doc = json_mkobject();
    json_node *checks = json_mkarray();
    for (size_t i = 0; i < line_count; i++) {
        json_node *line = json_mkobject();
        json_append_member(line, "result", json_mkstring(LEVEL_NAMES[lines[i].level]));
        json_append_member(line, "module", json_mkstring(lines[i].module));
        json_append_member(line, "check", json_mkstring(lines[i].check));
        json_append_member(line, "detail", json_mkstring(lines[i].detail));
        json_append_element(checks, line);
    }
    json_append_member(doc, "checks", checks);
    json_append_member(doc, "failed", json_mkbool(any_failed));
    char *text = json_stringify(doc, "  ");
    fprintf(out, "%s\n", text);
    free(text);
    json_delete(doc);
}

}  // namespace

void report_line(check_level level, const char *module, const char *check, const char *format, ...)
{
    if (line_count == line_room) {
        size_t room = line_room ? line_room * 2 : 32;
        auto *grown = static_cast<result_line *>(realloc(lines, room * sizeof *lines));
        if (!grown) {
            fputs("vesnar-pam-check: out of memory\n", stderr);
            exit(1);
        }
        lines = grown;
        line_room = room;
    }
    result_line *line = &lines[line_count++];
    line->level = level;
    copy_text(line->module, sizeof line->module, module);
    copy_text(line->check, sizeof line->check, check);
    va_list ap;
    va_start(ap, format);
    vsnprintf(line->detail, sizeof line->detail, format, ap);
    va_end(ap);
    if (level == CHECK_FAIL)
        any_failed = true;
}

bool report_failed() { return any_failed; }

void print_report(FILE *out, bool json)
{
    if (json)
        print_json(out);
    else
        print_text(out);
    fflush(out);
    free(lines);
    lines = nullptr;
    line_count = line_room = 0;
}
