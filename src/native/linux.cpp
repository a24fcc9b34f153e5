#include "glue.hpp"

NB_MODULE(linux, m) { (void)m; }
