#include "node_layout.h"
