// Each service's auth stack as libpam builds and runs it, with pam_brud and
// pam_permit answering PAM_SUCCESS and every other module refusing, as for
// a wrong password: a stack that then succeeds lets any password in.
//
// Building follows libpam's configuration reader: the service's file, else
// "other"; "@include" and "include" put the named file's lines of the same
// type in place of the line, "substack" puts them one level down; a file
// that cannot be read, an unknown type or a line without a module becomes a
// line that always fails. A leading "-" only silences libpam's message
// about a missing module, and every module named here is taken as present.
// Running follows libpam's dispatcher: required, requisite, optional and
// sufficient are their bracket forms; a jump skips N lines of its own
// level (a substack counting as one); done and die end only the current
// substack; reset goes back to what held as the substack was entered.
#include "check.h"
#include "descriptor.h"

#include <security/_pam_types.h>

#include <ctype.h>
#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace {

constexpr const char *PAM_DIRS[] = {"/etc/pam.d", "/usr/lib/pam.d"};
constexpr char OTHER_SERVICE[] = "other";
constexpr int MAX_LEVEL = 16;  // of includes and substacks, as libpam
constexpr size_t LINE_SIZE = 8192;

enum action : int {
    ACTION_IGNORE = 0,
    ACTION_OK = -1,
    ACTION_DONE = -2,
    ACTION_BAD = -3,
    ACTION_DIE = -4,
    ACTION_RESET = -5,
    ACTION_UNDEF = -6
};
constexpr const char *ACTION_NAMES[] = {"ignore", "ok", "done", "bad", "die", "reset"};

// The names a bracket control gives return values, in libpam's order
// (matched by prefix, first match wins); "default" last.
constexpr const char *RETURN_NAMES[_PAM_RETURN_VALUES + 1] = {
    "success", "open_err", "symbol_err", "service_err", "system_err", "buf_err", "perm_denied",
    "auth_err", "cred_insufficient", "authinfo_unavail", "user_unknown", "maxtries",
    "new_authtok_reqd", "acct_expired", "session_err", "cred_unavail", "cred_expired", "cred_err",
    "no_module_data", "conv_err", "authtok_err", "authtok_recover_err", "authtok_lock_busy",
    "authtok_disable_aging", "try_again", "ignore", "abort", "authtok_expired", "module_unknown",
    "bad_item", "conv_again", "incomplete", "default"};
constexpr int DEFAULT_INDEX = _PAM_RETURN_VALUES;

enum module_type { TYPE_AUTH, TYPE_ACCOUNT, TYPE_SESSION, TYPE_PASSWORD, TYPES, TYPE_ANY = -1 };
constexpr const char *TYPE_NAMES[] = {"auth", "account", "session", "password"};

enum handler_kind { HANDLER_MODULE, HANDLER_MUST_FAIL, HANDLER_SUBSTACK };

struct handler {
    handler_kind kind;
    int level;
    int actions[_PAM_RETURN_VALUES];
    char module[64];  // as libpam names it: the file name up to its last "."
    char where[PATH_MAX + 16];
    char text[256];  // the line, blanks squeezed
};

struct chain {
    handler *items = nullptr;
    size_t count = 0, room = 0;
};

struct stack_config {
    chain types[TYPES];
};

void free_config(stack_config *config)
{
    for (chain &c : config->types) {
        free(c.items);
        c = chain();
    }
}

handler *add_handler(chain *c)
{
    if (c->count == c->room) {
        size_t room = c->room ? c->room * 2 : 16;
        auto *grown = static_cast<handler *>(realloc(c->items, room * sizeof *c->items));
        if (!grown) {
            fputs("vesnar-pam-check: out of memory\n", stderr);
            exit(1);
        }
        c->items = grown;
        c->room = room;
    }
    handler *h = &c->items[c->count++];
    memset(h, 0, sizeof *h);
    return h;
}

void set_default_action(int *actions, int action)
{
    for (int i = 0; i < _PAM_RETURN_VALUES; i++)
        if (actions[i] == ACTION_UNDEF)
            actions[i] = action;
}

// "[success=2 default=ignore]", its brackets taken off. A malformed one
// makes every value bad.
void parse_control(int *actions, const char *tok)
{
    while (*tok) {
        while (isspace(static_cast<unsigned char>(*tok)))
            tok++;
        if (!*tok)
            return;
        int ret = 0;
        size_t len = 0;
        for (; ret <= DEFAULT_INDEX; ret++) {
            len = strlen(RETURN_NAMES[ret]);
            if (strncmp(RETURN_NAMES[ret], tok, len) == 0)
                break;
        }
        if (ret > DEFAULT_INDEX || !*(tok += len))
            goto bad;
        while (isspace(static_cast<unsigned char>(*tok)))
            tok++;
        if (*tok != '=')
            goto bad;
        tok++;
        while (isspace(static_cast<unsigned char>(*tok)))
            tok++;
        if (!*tok)
            goto bad;
        {
            int act = 1;
            for (int a = 0; a < int(sizeof ACTION_NAMES / sizeof *ACTION_NAMES); a++) {
                len = strlen(ACTION_NAMES[a]);
                if (strncmp(ACTION_NAMES[a], tok, len) == 0) {
                    act = -a;
                    tok += len;
                    break;
                }
            }
            if (act > 0) {  // a jump
                if (!isdigit(static_cast<unsigned char>(*tok)))
                    goto bad;
                act = 0;
                while (isdigit(static_cast<unsigned char>(*tok)) && act < 100000)
                    act = act * 10 + (*tok++ - '0');
            }
            if (ret == DEFAULT_INDEX)
                set_default_action(actions, act);
            else
                actions[ret] = act;
        }
    }
    return;
bad:
    for (int i = 0; i < _PAM_RETURN_VALUES; i++)
        actions[i] = ACTION_BAD;
}

// Next token of a line: blank-separated, or a whole "[...]" (without its
// brackets, "\]" read as "]"). Null at the line's end.
char *next_token(char **cursor)
{
    char *p = *cursor;
    while (*p == ' ' || *p == '\t' || *p == '\n')
        p++;
    if (!*p) {
        *cursor = p;
        return nullptr;
    }
    char *start = p;
    if (*p == '[') {
        start = ++p;
        char *out = p;
        for (; *p; p++) {
            if (*p == ']')
                break;
            if (*p == '\\' && p[1] == ']')
                p++;
            *out++ = *p;
        }
        if (*p)
            p++;
        *out = '\0';
        *cursor = p;
        return start;
    }
    while (*p && *p != ' ' && *p != '\t' && *p != '\n')
        p++;
    if (*p)
        *p++ = '\0';
    *cursor = p;
    return start;
}

// One logical line: everything from a "#" on dropped, a line ending in "\"
// joined with the next. *number is the first physical line's. False at the
// file's end.
bool read_logical_line(FILE *f, char *line, size_t size, int *lineno, int *number)
{
    char physical[LINE_SIZE];
    size_t used = 0;
    bool started = false;
    line[0] = '\0';
    while (fgets(physical, sizeof physical, f)) {
        ++*lineno;
        if (!started) {
            *number = *lineno;
            started = true;
        }
        char *hash = strchr(physical, '#');
        bool commented = hash != nullptr;
        if (hash)
            *hash = '\0';
        size_t n = strlen(physical);
        while (n > 0 && (physical[n - 1] == '\n' || physical[n - 1] == ' ' || physical[n - 1] == '\t'))
            n--;
        bool continued = !commented && n > 0 && physical[n - 1] == '\\';
        if (continued)
            physical[n - 1] = ' ';
        physical[n] = '\0';
        if (used < size)
            used += size_t(snprintf(line + used, size - used, "%s", physical));
        if (continued)
            continue;
        if (line[strspn(line, " \t")] == '\0') {  // blank: read on
            used = 0;
            line[0] = '\0';
            started = false;
            continue;
        }
        return true;
    }
    return started && line[strspn(line, " \t")] != '\0';
}

void squeeze_blanks(const char *from, char *to, size_t size)
{
    size_t used = 0;
    bool blank = true;
    for (; *from && used + 1 < size; from++) {
        bool is_blank = *from == ' ' || *from == '\t';
        if (is_blank && blank)
            continue;
        to[used++] = is_blank ? ' ' : *from;
        blank = is_blank;
    }
    while (used > 0 && to[used - 1] == ' ')
        used--;
    to[used] = '\0';
}

int type_of(const char *tok)
{
    for (int t = 0; t < TYPES; t++)
        if (strcasecmp(tok, TYPE_NAMES[t]) == 0)
            return t;
    return TYPE_ANY;
}

void module_name(const char *path, char *out, size_t size)
{
    const char *base = strrchr(path, '/');
    snprintf(out, size, "%s", base ? base + 1 : path);
    if (char *dot = strrchr(out, '.'))
        *dot = '\0';
}

bool load_file(stack_config *config, const char *name, int requested, int include_level, int level);

// One line's handler, as libpam adds it: a must-fail line gets every
// unset value bad.
void add_line(stack_config *config, int type, handler_kind kind, int level, const int *actions,
              const char *module, const char *where, const char *text)
{
    handler *h = add_handler(&config->types[type]);
    h->kind = kind;
    h->level = level;
    memcpy(h->actions, actions, sizeof h->actions);
    module_name(module ? module : "<*unknown module*>", h->module, sizeof h->module);
    snprintf(h->where, sizeof h->where, "%s", where);
    snprintf(h->text, sizeof h->text, "%s", text);
}

void parse_line(stack_config *config, char *line, const char *where, int requested, int include_level,
                int level)
{
    char text[256];
    squeeze_blanks(line, text, sizeof text);
    char *cursor = line;
    char *tok = next_token(&cursor);
    int actions[_PAM_RETURN_VALUES];
    for (int &a : actions)
        a = ACTION_UNDEF;

    if (strcmp(tok, "@include") == 0) {
        char *name = next_token(&cursor);
        if (name && load_file(config, name, requested, include_level + 1, level))
            return;
        set_default_action(actions, ACTION_BAD);
        add_line(config, requested == TYPE_ANY ? TYPE_AUTH : requested, HANDLER_MUST_FAIL, level, actions,
                 nullptr, where, text);
        return;
    }

    handler_kind kind = HANDLER_MODULE;
    if (tok[0] == '-')
        tok++;
    int type = type_of(tok);
    if (type == TYPE_ANY) {
        type = requested == TYPE_ANY ? TYPE_AUTH : requested;  // the most sensitive
        kind = HANDLER_MUST_FAIL;
    }
    if (requested != TYPE_ANY && type != requested)
        return;

    bool include = false, substack = false;
    char *control = next_token(&cursor);
    if (!control) {
        set_default_action(actions, ACTION_BAD);
        kind = HANDLER_MUST_FAIL;
    } else if (strcasecmp(control, "required") == 0 || strcasecmp(control, "requisite") == 0) {
        actions[PAM_SUCCESS] = ACTION_OK;
        actions[PAM_NEW_AUTHTOK_REQD] = ACTION_OK;
        actions[PAM_IGNORE] = ACTION_IGNORE;
        set_default_action(actions, strcasecmp(control, "required") == 0 ? ACTION_BAD : ACTION_DIE);
    } else if (strcasecmp(control, "optional") == 0) {
        actions[PAM_SUCCESS] = ACTION_OK;
        actions[PAM_NEW_AUTHTOK_REQD] = ACTION_OK;
        set_default_action(actions, ACTION_IGNORE);
    } else if (strcasecmp(control, "sufficient") == 0) {
        actions[PAM_SUCCESS] = ACTION_DONE;
        actions[PAM_NEW_AUTHTOK_REQD] = ACTION_DONE;
        set_default_action(actions, ACTION_IGNORE);
    } else if (strcasecmp(control, "include") == 0) {
        include = true;
    } else if (strcasecmp(control, "substack") == 0) {
        include = substack = true;
    } else {
        parse_control(actions, control);
        set_default_action(actions, ACTION_BAD);
    }

    char *module = next_token(&cursor);
    if (include) {
        if (substack)
            add_line(config, type, HANDLER_SUBSTACK, level, actions, module, where, text);
        if (module && load_file(config, module, type, include_level + 1, level + (substack ? 1 : 0)))
            return;
        set_default_action(actions, ACTION_BAD);
        kind = HANDLER_MUST_FAIL;
        module = nullptr;
    } else if (!module) {
        kind = HANDLER_MUST_FAIL;
    }
    add_line(config, type, kind, level, actions, module, where, text);
}

bool load_file(stack_config *config, const char *name, int requested, int include_level, int level)
{
    if (include_level >= MAX_LEVEL || level >= MAX_LEVEL)
        return false;
    char path[PATH_MAX];
    unique_file f;
    if (name[0] == '/') {
        snprintf(path, sizeof path, "%s", name);
        f.reset(fopen(path, "re"));
    } else {
        for (const char *dir : PAM_DIRS) {
            snprintf(path, sizeof path, "%s/%s", dir, name);
            f.reset(fopen(path, "re"));
            if (f)
                break;
        }
    }
    if (!f)
        return false;
    char line[LINE_SIZE], where[PATH_MAX + 16];
    int lineno = 0, number = 0;
    while (read_logical_line(f.get(), line, sizeof line, &lineno, &number)) {
        snprintf(where, sizeof where, "%s:%d", path, number);
        parse_line(config, line, where, requested, include_level, level);
    }
    return true;
}

// ---- Running the auth stack -------------------------------------------------

enum impression { IMPRESSION_NEGATIVE = -1, IMPRESSION_UNDEF = 0, IMPRESSION_POSITIVE = 1 };

int module_answer(const handler &h)
{
    if (strcmp(h.module, "pam_brud") == 0 || strcmp(h.module, "pam_permit") == 0)
        return PAM_SUCCESS;
    return PAM_AUTH_ERR;
}

struct outcome {
    int status;
    const handler *brud_line;   // the first pam_brud line run
    const handler *granted_by;  // the first line whose success made the impression
};

outcome run_stack(const chain &c)
{
    outcome out = {PAM_PERM_DENIED, nullptr, nullptr};
    if (c.count == 0)
        return out;  // "no modules loaded"
    struct {
        int impression, status;
    } entered[MAX_LEVEL + 1];
    int impression = IMPRESSION_UNDEF, status = PAM_PERM_DENIED;
    entered[0] = {impression, status};
    int prev_level = 0, level = 0;
    for (size_t i = 0; i < c.count; prev_level = level, i++) {
        const handler &h = c.items[i];
        level = h.level;
        if (prev_level < level)
            entered[level] = {impression, status};
        int retval;
        if (h.kind == HANDLER_SUBSTACK)
            continue;
        if (h.kind == HANDLER_MUST_FAIL) {
            retval = PAM_PERM_DENIED;
        } else {
            retval = module_answer(h);
            if (!out.brud_line && strcmp(h.module, "pam_brud") == 0)
                out.brud_line = &h;
        }
        int action = h.actions[retval];
        bool decided = false;
        switch (action) {
        case ACTION_RESET:
            impression = entered[level].impression;
            status = entered[level].status;
            break;
        case ACTION_OK:
        case ACTION_DONE:
            if (impression == IMPRESSION_UNDEF || (impression == IMPRESSION_POSITIVE && status == PAM_SUCCESS)) {
                if (retval != PAM_IGNORE) {
                    impression = IMPRESSION_POSITIVE;
                    status = retval;
                    if (retval == PAM_SUCCESS && !out.granted_by)
                        out.granted_by = &h;
                }
            }
            decided = impression == IMPRESSION_POSITIVE && action == ACTION_DONE;
            break;
        case ACTION_BAD:
        case ACTION_DIE:
            if (impression != IMPRESSION_NEGATIVE) {
                impression = IMPRESSION_NEGATIVE;
                status = retval == PAM_IGNORE ? PAM_PERM_DENIED : retval;
            }
            decided = action == ACTION_DIE;
            break;
        case ACTION_IGNORE:
            break;
        default:
            // A jump skips that many lines of this level, a substack as one.
            while (action > 0 && i + 1 < c.count && c.items[i + 1].level >= level) {
                do
                    i++;
                while (i + 1 < c.count && c.items[i + 1].level > level);
                action--;
            }
            if (action) {  // past the end: "bad jump in stack"
                impression = IMPRESSION_NEGATIVE;
                status = PAM_PERM_DENIED;
            }
        }
        if (decided)  // the rest of this level is not run
            while (i + 1 < c.count && c.items[i + 1].level >= level)
                i++;
    }
    if (status == PAM_SUCCESS && impression != IMPRESSION_POSITIVE)
        status = PAM_PERM_DENIED;
    out.status = status;
    return out;
}

bool holds_module(const chain &c, const char *module)
{
    for (size_t i = 0; i < c.count; i++)
        if (c.items[i].kind == HANDLER_MODULE && strcmp(c.items[i].module, module) == 0)
            return true;
    return false;
}

// pam_tamlo answers PAM_SUCCESS to every account and session call (and
// refuses every password change): sufficient there decides alone.
void warn_tamlo_sufficient(const char *service, const stack_config &config)
{
    char check[160];
    snprintf(check, sizeof check, "stack %s", service);
    for (int t = TYPE_ACCOUNT; t < TYPES; t++) {
        const chain &c = config.types[t];
        for (size_t i = 0; i < c.count; i++) {
            const handler &h = c.items[i];
            if (h.kind == HANDLER_MODULE && strcmp(h.module, "pam_tamlo") == 0 &&
                h.actions[PAM_SUCCESS] == ACTION_DONE)
                report_line(CHECK_WARN, "pam_tamlo", check,
                            "%s (%s): sufficient, but pam_tamlo's %s calls answer without checking anything",
                            h.where, h.text, TYPE_NAMES[t]);
        }
    }
}

// True when the stack lets any password in.
bool check_stack(const char *service, bool named)
{
    stack_config own = {}, other = {};
    load_file(&own, service, TYPE_ANY, 0, 0);
    const chain *auth = &own.types[TYPE_AUTH];
    bool fallback = auth->count == 0 && strcmp(service, OTHER_SERVICE) != 0;
    if (fallback) {
        load_file(&other, OTHER_SERVICE, TYPE_ANY, 0, 0);
        auth = &other.types[TYPE_AUTH];
    }
    outcome o = run_stack(*auth);
    bool has_brud = holds_module(*auth, "pam_brud");
    const char *module = has_brud ? "pam_brud" : "pam";
    char check[160];
    snprintf(check, sizeof check, "stack %s", service);
    const char *via = fallback ? " (through \"other\")" : "";
    if (o.status == PAM_SUCCESS) {
        const handler *line = o.brud_line ? o.brud_line : o.granted_by;
        report_line(CHECK_FAIL, module, check, "any password gets in%s: %s (%s)", via,
                    line ? line->where : "?", line ? line->text : "?");
    } else if (named || has_brud) {
        report_line(CHECK_OK, module, check, "a wrong password is refused%s", via);
    }
    warn_tamlo_sufficient(service, fallback ? other : own);
    free_config(&own);
    free_config(&other);
    return o.status == PAM_SUCCESS;
}

int compare_names(const void *a, const void *b)
{
    const char *x = *static_cast<char *const *>(a), *y = *static_cast<char *const *>(b);
    return x && y ? strcmp(x, y) : (x != nullptr) - (y != nullptr);
}

// Every regular file of /etc/pam.d, in name order.
void check_every_stack()
{
    DIR *dir = opendir(PAM_DIRS[0]);
    if (!dir) {
        report_line(CHECK_WARN, "pam", "stacks", "%s cannot be read", PAM_DIRS[0]);
        return;
    }
    char **names = nullptr;
    size_t count = 0, room = 0;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN)
            continue;
        if (entry->d_name[0] == '.')
            continue;
        if (count == room) {
            room = room ? room * 2 : 64;
            auto *grown = static_cast<char **>(realloc(names, room * sizeof *names));
            if (!grown)
                break;
            names = grown;
        }
        names[count++] = strdup(entry->d_name);
    }
    closedir(dir);
    qsort(names, count, sizeof *names, compare_names);
    bool any_lets_in = false;
    for (size_t i = 0; i < count; i++) {
        if (names[i] && check_stack(names[i], false))
            any_lets_in = true;
        free(names[i]);
    }
    free(names);
    if (!any_lets_in)
        report_line(CHECK_OK, "pam", "stacks", "no stack in %s lets any password in", PAM_DIRS[0]);
}

}  // namespace

void check_stacks(char *const *services, int count)
{
    if (count == 0) {
        check_every_stack();
        return;
    }
    for (int i = 0; i < count; i++)
        check_stack(services[i], true);
}
