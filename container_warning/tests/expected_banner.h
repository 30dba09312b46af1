// The banner as users must see it, written out again here on purpose: the
// tests' own expectation, independent of the module's copy.
#ifndef VESNAR_EXPECTED_BANNER_H
#define VESNAR_EXPECTED_BANNER_H

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

#endif
