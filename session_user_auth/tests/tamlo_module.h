// The built pam_tamlo.so, loaded with dlopen so that tests call the shipped
// code through its exported names.
#pragma once
#include <security/pam_modules.h>

#include <dlfcn.h>
#include <stddef.h>
#include <stdio.h>

#include <string>

#include <gtest/gtest.h>

struct tamlo_module {
    using validate_fn = int (*)(const char *, char *);
    using name_check_fn = int (*)(const char *);
    using iseq_fn = bool (*)(const char *, const char *, size_t);
    using readline_fn = int (*)(char *, FILE *, int);
    using entry_fn = int (*)(pam_handle_t *, int, int, const char **);

    void *handle = nullptr;
    validate_fn validate = nullptr;
    name_check_fn has_invalid_chars = nullptr;
    iseq_fn strn_iseq = nullptr;
    readline_fn readline = nullptr;
    const char *const *version = nullptr;

    tamlo_module()
    {
        handle = dlopen(PAM_TAMLO_SO, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            ADD_FAILURE() << "dlopen: " << dlerror();
            return;
        }
        validate = reinterpret_cast<validate_fn>(sym("validate_tamlo_user_pass"));
        has_invalid_chars = reinterpret_cast<name_check_fn>(sym("has_invalid_username_chars"));
        strn_iseq = reinterpret_cast<iseq_fn>(sym("strn_iseq"));
        readline = reinterpret_cast<readline_fn>(sym("readline"));
        version = static_cast<const char *const *>(sym("pam_tamlo_version"));
    }
    ~tamlo_module()
    {
        if (handle)
            dlclose(handle);
    }
    tamlo_module(const tamlo_module &) = delete;
    tamlo_module &operator=(const tamlo_module &) = delete;

    void *sym(const char *name)
    {
        void *p = handle ? dlsym(handle, name) : nullptr;
        if (!p)
            ADD_FAILURE() << "missing symbol " << name;
        return p;
    }
    entry_fn entry(const char *name) { return reinterpret_cast<entry_fn>(sym(name)); }
};

inline const std::string tamlo_key_dir = "/var/vesnar/tamlo/keys";

inline std::string tamlo_key_path(const std::string &user, const std::string &session_user)
{
    return tamlo_key_dir + "/" + user + ":tamlo_" + session_user;
}
