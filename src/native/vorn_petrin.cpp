#include "glue.hpp"

NB_MODULE(vorn_petrin, m) { (void)m; }
