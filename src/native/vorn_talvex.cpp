#include "glue.hpp"

NB_MODULE(vorn_talvex, m) { (void)m; }
