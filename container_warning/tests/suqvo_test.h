// Shared by the pam_suqvo tests: the banner as users must see it, and a PAM
// application whose only stack line is the built module.
#pragma once
#include "pam_app.h"

#include <string>
#include <vector>

inline const std::vector<std::string> expected_banner = {
    "***************************************************************************",
    "*                                                                         *",
    "*             !!!!  WARNING: YOU ARE INSIDE QVO !!!!                      *",
    "*IF YOU RESTART ANY SERVICES STABILITY OF YOUR SYSTEM WILL BE COMPROMIZED *",
    "*        CHANGE YOUR USER'S GROUP TO wheel to safely use SU/SUDO          *",
    "*                             MORE INFO:                                  *",
    "*      https://docs.vesnar.example/pam/suqvo                              *",
    "*                                                                         *",
    "***************************************************************************",
};

inline const char container_marker[] = "/etc/zelvaronix-container";

inline std::vector<std::string> suqvo_stack()
{
    return {std::string("session optional ") + PAM_SUQVO_SO};
}
