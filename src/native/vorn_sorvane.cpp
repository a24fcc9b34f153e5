#include "glue.hpp"

NB_MODULE(vorn_sorvane, m) { (void)m; }
