// What a module exports: its PAM entry points and the helpers the platform
// calls by name. Everything else is hidden (-fvisibility=hidden) and bound
// inside the module.
#ifndef VESNAR_EXPORT_H
#define VESNAR_EXPORT_H

#define VESNAR_EXPORT __attribute__((visibility("default")))

#endif
